"""lumeq-farm's own figures: what scheduling and joining cost a long job, and
what scene-aware chunks give against fixed ones. Each returns a results
entry in the form bench/table.py reads."""
import json
import math
import pathlib
import statistics
import subprocess
import sys
import tempfile

# ------------------------------------------------------------ scale

SCALE_FRAMES = 100_000
SCALE_CHUNKS = 1_000
SCALE_WORKERS = 2
SCALE_SCRIPT = f"""from lumeq import core
core.std.BlankClip(width=32, height=32, format={(3 << 28) | (8 << 16) | (1 << 8) | 1}, length={SCALE_FRAMES},
                   fpsnum=25, fpsden=1).set_output()
"""


def overhead_of(events, workers):
    """The job's worker time past the sum of its chunk times, as a fraction
    of that sum: from the moment the chunks are planned (the job event, just
    before they are submitted) to the join's end, every worker counted, less
    the time they spent inside chunks. Submitting, idle workers between
    chunks, an uneven tail and the join all count."""
    chunk_seconds = sum(e["seconds"] for e in events if e["event"] == "chunk_done")
    begun = next(e for e in events if e["event"] == "job")["time"]
    done = next(e for e in events if e["event"] == "job_done")
    span = done["time"] - begun
    return (span * workers - chunk_seconds) / chunk_seconds, chunk_seconds, span


def where_it_goes(events):
    """The overhead's parts: from the job event to the first chunk's start,
    the median idle time of a worker between two chunks (as the client hears
    of their starts), and from the last chunk's end to the join's."""
    starts = {e["chunk"]: e for e in events if e["event"] == "chunk_start"}
    dones = {e["chunk"]: e for e in events if e["event"] == "chunk_done"}
    by_worker = {}
    for index, start in starts.items():
        by_worker.setdefault(start["worker"], []).append((start["time"], dones[index]["seconds"]))
    gaps = [b[0] - (a[0] + a[1]) for runs in by_worker.values() for a, b in zip(sorted(runs), sorted(runs)[1:])]
    begun = next(e for e in events if e["event"] == "job")["time"]
    finished = next(e for e in events if e["event"] == "job_done")["time"]
    return {"submit_seconds": round(min(e["time"] for e in starts.values()) - begun, 4),
            "gap_per_task_seconds": round(statistics.median(gaps), 5),
            "join_seconds": round(finished - max(e["time"] for e in dones.values()), 4)}


def measure_scale(runs):
    """The 100,000-frame, 1,000-chunk job (32×32 frames, no encoder) on a
    2-worker local cluster; the baseline is the sum of its own chunk times."""
    values, details = [], []
    with tempfile.TemporaryDirectory() as workdir:
        work = pathlib.Path(workdir)
        script = work / "scale.py"
        script.write_text(SCALE_SCRIPT)
        for _ in range(runs):
            events = work / "events.jsonl"
            subprocess.run([sys.executable, "-m", "lumeq_farm", "--workers", str(SCALE_WORKERS), "--split", "fixed",
                            "--chunk-frames", str(SCALE_FRAMES // SCALE_CHUNKS), "--work-dir", str(work / "chunks"),
                            "--events", str(events), str(script), str(work / "out.y4m")],
                           check=True, capture_output=True)
            log = [json.loads(line) for line in events.read_text().splitlines()]
            overhead, chunk_seconds, span = overhead_of(log, SCALE_WORKERS)
            values.append(overhead)
            details.append({"overhead": overhead, "chunk_seconds": chunk_seconds, "span_seconds": span,
                            **where_it_goes(log)})
            (work / "out.y4m").unlink()
            subprocess.run(["rm", "-rf", str(work / "chunks")], check=True)
    median = statistics.median(values)
    return {"label": "11 lumeq-farm scheduling and join, 100,000 frames in 1,000 chunks, 2 workers, over the "
                     "sum of chunk times", "kind": "percent", "baseline": "chunk_sum", "pinned": False,
            "target": 0.02, "median": median, "min": min(values), "max": max(values),
            "verdict": "PASS" if median <= 0.02 else "FAIL", "pairs": details}


# ------------------------------------------------------------ scenes

# Scenes from ffmpeg's own sources, of different lengths and kinds of motion.
SCENE_SOURCES = [("testsrc2", 60), ("mandelbrot", 45), ("life=mold=10:ratio=0.1", 90), ("cellauto=rule=18", 30),
                 ("gradients=speed=0.02", 75), ("smptehdbars", 50), ("sierpinski", 40), ("testsrc", 70)]
SCENE_SIZE = "640x360"
SCENE_SCRIPT = """from lumeq import core
core.bs.VideoSource(source=src).set_output()
"""
X264_CRF = "ffmpeg -v error -f yuv4mpegpipe -i - -c:v libx264 -threads 1 -preset medium -crf 23 -y {out}"


def make_scene_file(path):
    """The scene-cut test file: each source's first frames in turn, lossless."""
    inputs, chains = [], []
    for i, (source, frames) in enumerate(SCENE_SOURCES):
        name, _, options = source.partition("=")
        spec = f"{name}=s={SCENE_SIZE}:r=25" + (f":{options}" if options else "")
        inputs += ["-f", "lavfi", "-i", spec]
        chains.append(f"[{i}]trim=end_frame={frames},format=yuv420p,setpts=PTS-STARTPTS[s{i}]")
    graph = ";".join(chains) + ";" + "".join(f"[s{i}]" for i in range(len(SCENE_SOURCES))) + \
        f"concat=n={len(SCENE_SOURCES)}:v=1:a=0[v]"
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, "-filter_complex", graph, "-map", "[v]", "-c:v", "ffv1",
                    str(path)], check=True)


def scdet_cuts(path):
    """The frames ffmpeg's scdet marks as scene changes at its default threshold."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-vf", "scdet,metadata=print:file=-", "-f",
                           "null", "-"], capture_output=True, text=True, check=True)
    cuts, frame = [], None
    for line in done.stdout.splitlines():
        if line.startswith("frame:"):
            frame = int(line.split()[0].split(":")[1])
        elif line.startswith("lavfi.scd.time="):
            cuts.append(frame)
    return cuts


def psnr(encoded, source):
    done = subprocess.run(["ffmpeg", "-v", "info", "-i", str(encoded), "-i", str(source), "-lavfi", "psnr", "-f",
                           "null", "-"], capture_output=True, text=True, check=True)
    line = next(line for line in done.stderr.splitlines() if "PSNR" in line and "average:" in line)
    return float(line.split("average:")[1].split()[0])


def farm_encode(work, script, source, out, *split):
    subprocess.run([sys.executable, "-m", "lumeq_farm", "--workers", "2", *split, "--work-dir",
                    str(work / (out.stem + ".chunks")), "--encoder", X264_CRF, "-a", f"src={source}", str(script),
                    str(out)], check=True, capture_output=True)
    return out.stat().st_size, psnr(out, source)


def measure_scenes():
    """Agreement with scdet, then scene-split against fixed-split chunks of
    the same count at the same x264 CRF: bytes and PSNR. x264 runs on one
    thread, so the encodes are deterministic and one of each is enough."""
    frames = sum(n for _, n in SCENE_SOURCES)
    with tempfile.TemporaryDirectory() as workdir:
        work = pathlib.Path(workdir)
        source, script = work / "cuts.mkv", work / "src.py"
        make_scene_file(source)
        script.write_text(SCENE_SCRIPT)
        theirs = scdet_cuts(source)
        scene_bytes, scene_psnr = farm_encode(work, script, source, work / "scenes.mkv", "--split", "scenes")
        scenes = json.loads((work / "scenes.chunks" / "scenes.json").read_text())["scenes"]
        mine = [start for start, _ in scenes[1:]]
        chunks = len(json.loads((work / "scenes.chunks" / "manifest.json").read_text())["chunks"])
        fixed_bytes, fixed_psnr = farm_encode(work, script, source, work / "fixed.mkv", "--split", "fixed",
                                              "--chunk-frames", str(math.ceil(frames / chunks)))
    found = len(set(mine) & set(theirs))
    agreement = {"label": f"12 scene detection: scdet's cuts found ({len(theirs)} on {len(SCENE_SOURCES)} ffmpeg "
                          f"sources), {len(set(mine) - set(theirs))} more", "kind": "percent",
                 "baseline": "scdet", "pinned": False, "target": None, "median": found / len(theirs),
                 "min": found / len(theirs), "max": found / len(theirs), "verdict": "",
                 "pairs": [{"scdet": theirs, "lumeq": mine}]}
    size = {"label": f"13 scene-split vs fixed-split chunks ({chunks} each), x264 CRF 23, bytes "
                     f"(PSNR {scene_psnr:.2f} vs {fixed_psnr:.2f} dB)", "kind": "time", "baseline": "fixed",
            "pinned": False, "target": 1.0, "median": scene_bytes / fixed_bytes, "min": scene_bytes / fixed_bytes,
            "max": scene_bytes / fixed_bytes, "verdict": "PASS" if scene_bytes <= fixed_bytes else "FAIL",
            "pairs": [{"scenes": {"bytes": scene_bytes, "psnr": scene_psnr},
                       "fixed": {"bytes": fixed_bytes, "psnr": fixed_psnr}}]}
    return {"farm_scdet": agreement, "farm_scenes_bytes": size}
