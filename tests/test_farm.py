"""lumeq-farm: chunked renders on a loopback Dask cluster (one per module), joined frame-exact."""
import json
import resource
import subprocess
import sys

import pytest

from test_pipe import FFMPEG, FFPROBE, child_env, pipe_command

pytest.importorskip("distributed")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None or FFPROBE is None, reason="ffmpeg is not installed")

# 23 frames of distinct colours: not a multiple of the chunk size used here.
SCRIPT = '''
from lumeq import core
def frame(n):
    return core.std.BlankClip(format=(3 << 28) | (8 << 16) | (1 << 8) | 1, width=64, height=32, length=1,
                              fpsnum=25, fpsden=1, color=[(29 * n) % 256, (71 * n) % 256, (113 * n) % 256])
clip = frame(0)
for n in range(1, 23):
    clip = clip + frame(n)
clip.set_output()
'''
# Flat scenes whose lumas differ by at least 40: every cut is exact.
SCENES = [(0, 9), (9, 12), (12, 40), (40, 47), (47, 60)]
SCENE_SCRIPT = '''
from lumeq import core
lumas = [16, 200, 60, 235, 110]
clip = None
for luma, (start, end) in zip(lumas, SCENES):
    part = core.std.BlankClip(format=(3 << 28) | (8 << 16) | (1 << 8) | 1, width=64, height=32,
                              length=end - start, fpsnum=25, fpsden=1, color=[luma, 128 + luma % 7, 128])
    clip = part if clip is None else clip + part
clip.set_output()
'''.replace("SCENES", repr(SCENES))
FFV1 = "ffmpeg -v error -f yuv4mpegpipe -i - -c:v ffv1 -y {out}"
FIXED = ["--chunk-frames", "5"]
TWO = ["--chunk-frames", "12"]

# An encoder that, the first time it runs, kills halfway through its chunk
# the worker process that started it, or itself (as the kernel does when
# memory runs out); every later run is plain ffv1.
KILL_ONCE = '''
import os, signal, subprocess, sys
victim, marker, out = sys.argv[1:4]
try:
    os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
except FileExistsError:
    sys.exit(subprocess.run(["ffmpeg", "-v", "error", "-f", "yuv4mpegpipe", "-i", "-", "-c:v", "ffv1",
                             "-y", out]).returncode)
sys.stdin.buffer.read(30000)
os.kill(os.getppid() if victim == "worker" else os.getpid(), signal.SIGKILL)
'''

# The 23 frames, except that the first time frame 7 is made it takes ever
# more memory (2 GiB if nothing stops it), each piece touched.
GREEDY_SCRIPT = SCRIPT.replace("clip.set_output()", '''
import os, time
def greedy(n):
    if n == 7 and not os.path.exists(marker):
        open(marker, "w").close()
        hoard = []
        for _ in range(64):
            hoard.append(b"x" * (32 << 20))
            time.sleep(0.02)
    return clip
core.std.FrameEval(clip=clip, eval=greedy).set_output()
''')

# An encoder that fails the way a real one does: its own words on stderr,
# without reading its input (so lumeq-pipe meets a broken pipe); once only
# if a marker file is given.
REFUSE = '''
import os, sys
marker = sys.argv[1] if len(sys.argv) > 2 else None
if marker:
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        os.execvp("ffmpeg", ["ffmpeg", "-v", "error", "-f", "yuv4mpegpipe", "-i", "-", "-c:v", "ffv1", "-y",
                             sys.argv[-1]])
sys.stderr.write("x264 [error]: not compiled with MP4 output support\\n")
sys.exit(1)
'''

# ffv1, except that the encoder of the last chunk first waits for chunk 0
# to be finished and deletes its file: a chunk gone before the join.
LOSE_CHUNK_0 = '''
import os, sys, time
out = sys.argv[-1]
if os.path.basename(out).startswith("chunk-000004"):
    first = os.path.join(os.path.dirname(out), "chunk-000000.mkv")
    for _ in range(600):
        if os.path.exists(first + ".done"):
            break
        time.sleep(0.05)
    os.unlink(first)
os.execvp("ffmpeg", ["ffmpeg", "-v", "error", "-f", "yuv4mpegpipe", "-i", "-", "-c:v", "ffv1", "-y", out])
'''


@pytest.fixture(scope="module")
def scheduler():
    from distributed import LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0", silence_logs=50) as cluster:
        yield cluster.scheduler_address


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "script.py"
    path.write_text(SCRIPT)
    return path


@pytest.fixture
def scene_script(tmp_path):
    path = tmp_path / "scenes.py"
    path.write_text(SCENE_SCRIPT)
    return path


def farm(*args, scheduler=None, **kwargs):
    extra = ["--scheduler", scheduler] if scheduler else []
    return subprocess.run([sys.executable, "-m", "lumeq_farm", *extra, *map(str, args)], capture_output=True,
                          text=True, env=child_env(), timeout=120, **kwargs)


def tool(tmp_path, name, source):
    path = tmp_path / f"{name}.py"
    path.write_text(source)
    return f"{sys.executable} {path}"


def framemd5(path):
    done = subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-f", "framemd5", "-"],
                          capture_output=True, text=True, check=True)
    return [line for line in done.stdout.splitlines() if not line.startswith("#")]


def single_render(script, tmp_path, *args):
    whole = tmp_path / "whole.y4m"
    subprocess.run(pipe_command(*args, script, whole), check=True, env=child_env(), capture_output=True)
    return whole


def read_events(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def mtimes(work):
    return {p.name: p.stat().st_mtime_ns for p in work.glob("chunk-??????.*") if not p.name.endswith(".done")}


@needs_ffmpeg
@pytest.mark.parametrize("name, encoder, frames", [("out.y4m", None, (0, 22)), ("out.mkv", FFV1, (0, 22)),
                                                    ("out.mkv", FFV1, (3, 16))])
def test_joined_chunks_match_one_render(scheduler, script, tmp_path, name, encoder, frames):
    out = tmp_path / name
    first, last = frames
    extra = ["--encoder", encoder] if encoder else []
    done = farm(*FIXED, *extra, "--start", first, "--end", last, script, out, scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    whole = single_render(script, tmp_path, "--start", first, "--end", last)
    assert len(framemd5(out)) == last - first + 1
    assert framemd5(out) == framemd5(whole)
    assert "frames in" in done.stderr.splitlines()[-1]
    if encoder is None:
        # One header, then the FRAME records: byte-identical to the single render.
        assert out.read_bytes() == whole.read_bytes()


@pytest.mark.parametrize("start, end", [(None, None), (5, 44)])
def test_scene_split_is_exact_on_flat_cuts_and_the_events_tell_the_job(scheduler, scene_script, tmp_path,
                                                                       start, end):
    out, work, events = tmp_path / "out.y4m", tmp_path / "work", tmp_path / "events.jsonl"
    frames = (start or 0, 59 if end is None else end)
    rng = ["--start", frames[0], "--end", frames[1]] if start is not None else []
    done = farm("--min-chunk", 2, "--max-chunk", 20, "--work-dir", work, "--events", events, *rng,
                scene_script, out, scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    # The scenes, counted from the first frame rendered.
    cuts = [s - frames[0] for s, _ in SCENES if frames[0] < s <= frames[1]]
    bounds = [0, *cuts, frames[1] - frames[0] + 1]
    assert json.loads((work / "scenes.json").read_text()) == {
        "frames": bounds[-1], "scenes": [[a, b] for a, b in zip(bounds, bounds[1:])]}
    log = read_events(events)
    assert [e["event"] for e in log[:2]] == ["scenes", "job"] and log[-1]["event"] == "job_done"
    assert log[0] == {"event": "scenes", "time": log[0]["time"], "count": len(bounds) - 1, "source": "detected"}
    assert [e["time"] for e in log] == sorted(e["time"] for e in log)
    chunks = sorted((e["start"], e["end"]) for e in log if e["event"] == "chunk_done")
    # Every scene starts a chunk; a scene longer than 20 frames is split evenly.
    assert set(bounds[:-1]) <= {start - frames[0] for start, _ in chunks}
    assert all(end - start <= 20 for start, end in chunks) and chunks[-1][1] == frames[1] + 1
    assert log[1]["chunks"] == len(chunks) and log[1]["workers"] == 2
    for e in log:
        if e["event"] == "chunk_done":
            started = [s for s in log[:log.index(e)] if s["event"] == "chunk_start" and s["chunk"] == e["chunk"]]
            assert started and started[-1]["worker"] == e["worker"]
            assert e["bytes"] > 0 and e["seconds"] > 0 and e["fps"] > 0
    assert log[-1]["frames"] == frames[1] - frames[0] + 1 and log[-1]["bytes"] == out.stat().st_size
    assert out.read_bytes() == single_render(scene_script, tmp_path, "--start", frames[0],
                                             "--end", frames[1]).read_bytes()


def test_a_scene_list_from_the_user_is_used_and_redo_renders_only_what_it_names(scheduler, scene_script,
                                                                                tmp_path):
    out, work, events = tmp_path / "out.y4m", tmp_path / "work", tmp_path / "events.jsonl"
    scenes = tmp_path / "mine.json"
    scenes.write_text(json.dumps({"frames": 60, "scenes": [[0, 30], [30, 60]]}))
    done = farm("--scenes", scenes, "--work-dir", work, "--events", events, scene_script, out,
                scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    log = read_events(events)
    assert log[0]["source"] == "file" and log[1]["chunks"] == 2
    before = mtimes(work)
    again = farm("--scenes", scenes, "--redo", 1, "--work-dir", work, "--events", events, scene_script, out,
                 scheduler=scheduler)
    assert again.returncode == 0, again.stderr
    after = mtimes(work)
    assert after["chunk-000000.y4m"] == before["chunk-000000.y4m"]
    assert after["chunk-000001.y4m"] != before["chunk-000001.y4m"]
    kept = [e for e in read_events(events) if e["event"] == "chunk_done"]
    assert [(e["chunk"], e.get("kept", False)) for e in kept] == [(0, True), (1, False)]
    assert out.read_bytes() == single_render(scene_script, tmp_path).read_bytes()


@pytest.mark.parametrize("change, reason", [("script", "script content"), ("arg", "--arg values")])
def test_resume_renders_again_what_another_job_made(scheduler, script, tmp_path, change, reason):
    out, work = tmp_path / "out.y4m", tmp_path / "work"
    assert farm(*TWO, "--work-dir", work, script, out, scheduler=scheduler).returncode == 0
    args = []
    if change == "script":
        script.write_text(SCRIPT.replace("29 * n", "31 * n"))
    else:
        args = ["--arg", "unused=1"]
    again = farm(*TWO, *args, "--resume", "--work-dir", work, script, out, scheduler=scheduler)
    assert again.returncode == 0, again.stderr
    assert again.stderr.count(f"is rendered again: it was made with another {reason}") == 2
    assert out.read_bytes() == single_render(script, tmp_path).read_bytes()


def test_an_audio_output_is_split_every_n_frames_unless_scenes_are_asked_for(scheduler, tmp_path):
    script = tmp_path / "audio.py"
    script.write_text("from lumeq import core\ncore.std.BlankAudio(channels=[0, 1], bits=16, samplerate=48000, "
                      "length=100000).set_output(1)\n")
    out = tmp_path / "out.raw"
    done = farm("-o", 1, "-c", "none", script, out, scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    whole = tmp_path / "whole.raw"
    subprocess.run(pipe_command("-o", 1, "-c", "none", script, whole), check=True, env=child_env())
    assert out.read_bytes() == whole.read_bytes()
    refused = farm("-o", 1, "-c", "none", "--split", "scenes", script, tmp_path / "o2.raw", scheduler=scheduler)
    assert refused.returncode == 2 and "output 1 is audio" in refused.stderr


@needs_ffmpeg
@pytest.mark.parametrize("victim", ["worker", "encoder"])
def test_a_killed_worker_or_encoder_costs_only_a_retry(scheduler, script, tmp_path, victim):
    out, events = tmp_path / "out.mkv", tmp_path / "events.jsonl"
    encoder = f"{tool(tmp_path, 'kill_once', KILL_ONCE)} {victim} {tmp_path / 'killed'} {{out}}"
    done = farm(*FIXED, "--worker-memory", "1GiB", "--events", events, "--encoder", encoder, script, out,
                scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "killed").exists()
    assert framemd5(out) == framemd5(single_render(script, tmp_path))
    retries = [e for e in read_events(events) if e["event"] == "chunk_retry"]
    said = "killed by signal 9 (by the kernel when memory ran out" if victim == "encoder" else "was lost while it ran"
    assert len(retries) == 1 and said in retries[0]["error"]


def test_a_chunk_past_its_workers_memory_is_stopped_and_tried_again(script, tmp_path, request):
    if request.config.getoption("--sanitized", default=False):
        pytest.skip("the sanitizer's shadow memory and quarantine take a chunk's processes past the limit by themselves")
    # A local cluster of its own: its workers get the limit, and render one chunk at a time on two threads.
    greedy, marker = tmp_path / "greedy.py", tmp_path / "hoarded"
    greedy.write_text(GREEDY_SCRIPT)
    out, events = tmp_path / "out.y4m", tmp_path / "events.jsonl"
    done = farm(*FIXED, "--workers", 2, "--worker-memory", "400MiB", "--events", events, "-a", f"marker={marker}",
                greedy, out)
    assert done.returncode == 0, done.stderr
    assert marker.exists()
    assert out.read_bytes() == single_render(script, tmp_path).read_bytes()
    retries = [e for e in read_events(events) if e["event"] == "chunk_retry"]
    assert [e["chunk"] for e in retries] == [1] and "ran out of memory" in retries[0]["error"]


def test_a_constant_rate_that_no_chunk_length_divides_stays_constant(scheduler, tmp_path):
    # At 24000/1001 a 5-frame chunk ends between two nanoseconds.
    script = tmp_path / "ntsc.py"
    script.write_text(SCRIPT.replace("fpsnum=25, fpsden=1", "fpsnum=24000, fpsden=1001"))
    out = tmp_path / "out.y4m"
    done = farm(*FIXED, script, out, scheduler=scheduler)
    assert done.returncode == 0, done.stderr
    assert "durations vary" not in done.stderr and not (tmp_path / "out.y4m.timecodes.txt").exists()


@needs_ffmpeg
def test_a_failing_encoder_speaks_for_itself_retries_and_resume_keeps_finished(scheduler, script, tmp_path):
    out, work, events = tmp_path / "out.mkv", tmp_path / "work", tmp_path / "events.jsonl"
    refuse = tool(tmp_path, "refuse", REFUSE)
    done = farm(*TWO, "--retries", 1, "--work-dir", work, "--events", events, "--encoder", f"{refuse} {{out}}",
                script, out, scheduler=scheduler)
    assert done.returncode == 1
    assert "not compiled with MP4 output support" in done.stderr and "frames" in done.stderr
    assert "status 141" not in done.stderr and not out.exists()
    names = [e["event"] for e in read_events(events)]
    assert "chunk_retry" in names and "chunk_failed" in names and names[-1] == "job_failed"
    # Once only: the retry succeeds.
    once = f"{refuse} {tmp_path / 'refused'} {{out}}"
    assert farm(*TWO, "--work-dir", work, "--events", events, "--encoder", once, script, out,
                scheduler=scheduler).returncode == 0
    retry = next(e for e in read_events(events) if e["event"] == "chunk_retry")
    assert "not compiled with MP4 output support" in retry["error"]
    kept = mtimes(work)
    again = farm(*TWO, "--resume", "--work-dir", work, "--encoder", once, script, out, scheduler=scheduler)
    assert again.returncode == 0, again.stderr
    assert mtimes(work) == kept
    assert framemd5(out) == framemd5(single_render(script, tmp_path))


def _limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (40000, 40000))


@needs_ffmpeg
@pytest.mark.parametrize("name, encoder", [("out.y4m", None), ("out.mkv", FFV1.replace("ffv1", "rawvideo")),
                                           ("out.mkv", "lose")])
def test_a_join_that_fails_leaves_out_as_it_was(scheduler, script, tmp_path, name, encoder):
    out, work = tmp_path / name, tmp_path / "work"
    out.write_bytes(b"earlier")
    extra, limit = [], None
    if encoder == "lose":
        extra = ["--encoder", f"{tool(tmp_path, 'lose', LOSE_CHUNK_0)} {{out}}"]
    else:
        # The join (in the command, or its ffmpeg) hits a full disk past 40 kB, of 70; the workers
        # write the chunks.
        extra, limit = (["--encoder", encoder] if encoder else []), _limit_file_size
    done = farm(*FIXED, *extra, "--work-dir", work, script, out, scheduler=scheduler, preexec_fn=limit)
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1].startswith(f"lumeq-farm: cannot write {out}: ")
    assert "Traceback" not in done.stderr
    assert out.read_bytes() == b"earlier"
    assert sorted(p.name for p in tmp_path.iterdir() if ".part" in p.name) == []


@pytest.mark.parametrize("args, message", [
    (["-a", "not a pair"], "expected KEY=VALUE with KEY a Python name"),
    (["--workers", "1", "--start", "30"], "--start 30 is past the last frame of output 0 (22)"),
    (["--workers", "1", "--start", "9", "--end", "4"], "--end 4 is before --start 9"),
    (["--encoder", "x264 --demuxer y4m -o out.mkv -"], "--encoder must name the chunk file it writes as {out}"),
    (["--encoder", "no-such-encoder-here {out}"], "the program 'no-such-encoder-here' is not found"),
    (["--split", "scenes", "--chunk-frames", "10"], "--chunk-frames goes with --split fixed"),
    (["--min-chunk", "50", "--max-chunk", "10"], "--min-chunk 50 is more than --max-chunk 10"),
    (["--redo", "3,x"], "expected chunk indices like 3,7-9"),
    (["--worker-memory", "1KB"], "less than a worker needs"),
    (["--events", "/nonexistent/dir/ev.jsonl"], "cannot write the events file"),
    (["--scenes", "/nonexistent/s.json"], "--scenes /nonexistent/s.json: no such file"),
    (["--workers", "1", "--redo", "1"], "--redo: "),
])
def test_option_errors_are_one_line_and_write_nothing(script, tmp_path, args, message):
    done = farm(*args, "--work-dir", tmp_path / "work", script, tmp_path / "out.y4m")
    assert done.returncode == 2
    assert message in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr
    assert not (tmp_path / "out.y4m").exists()


@pytest.mark.parametrize("scenes, message", [
    ({"frames": 59, "scenes": [[0, 59]]}, "is for 59 frames; the range to render has 60"),
    ({"frames": 60, "scenes": [[0, 20], [25, 60]]}, "does not start where the one before ends (20)"),
    ({"frames": 60, "scenes": [[0, "20"], [20, 60]]}, "a scene is [start, end] in frames"),
    ("not json", "is not JSON"),
])
def test_a_scene_list_that_does_not_fit_is_refused(scheduler, scene_script, tmp_path, scenes, message):
    path = tmp_path / "bad.json"
    path.write_text(scenes if isinstance(scenes, str) else json.dumps(scenes))
    done = farm("--scenes", path, "--work-dir", tmp_path / "work", scene_script, tmp_path / "out.y4m",
                scheduler=scheduler)
    assert done.returncode == 2
    assert message in done.stderr
    assert not (tmp_path / "out.y4m").exists()


def test_without_distributed_the_command_says_how_to_install(script, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "distributed.py").write_text("raise ImportError('blocked')\n")
    env = child_env()
    env["PYTHONPATH"] = f"{blocker}:{env['PYTHONPATH']}"
    done = subprocess.run([sys.executable, "-m", "lumeq_farm", str(script), str(tmp_path / "o.y4m")],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 1
    assert "pip install 'lumeq[farm]'" in done.stderr


@pytest.mark.parametrize("scenes, expected", [
    ([(0, 30), (30, 33), (33, 80)], [(0, 30), (30, 80)]),        # a short scene stays with the next
    ([(0, 50), (50, 60)], [(0, 60)]),                            # a short last scene joins the one before
    ([(0, 2500)], [(0, 833), (833, 1666), (1666, 2500)]),        # a long one is split evenly
    ([(0, 10)], [(0, 10)]),                                      # a range shorter than the minimum
    ([(0, 24), (24, 1024), (1024, 1100)], [(0, 24), (24, 1024), (1024, 1100)]),  # within bounds: as it was
])
def test_scenes_become_chunks_within_the_bounds(scenes, expected):
    from lumeq_farm.scenes import chunks_from_scenes
    assert chunks_from_scenes(scenes, 24, 1000) == expected


@pytest.mark.parametrize("diffs, cuts", [
    ([0, 0, 0.5, 0, 0], [2]),
    ([0.2, 0.2, 0.2, 0.21, 0.2], []),                            # steady motion is no cut
    ([0, 0.05, 0.4, 0.45, 0.05], [2]),
])
def test_a_cut_is_a_jump_in_the_difference(diffs, cuts):
    from lumeq_farm.scenes import find_cuts
    assert find_cuts(diffs) == cuts


@pytest.mark.parametrize("num, den", [(24000, 1001), (30000, 1001), (25, 1), (2 * 10**9, 1)])  # the last: halves
def test_nominal_times_round_as_lumeq_pipe_writes_them(num, den):
    from fractions import Fraction

    from lumeq_farm.timing import nominal_ns
    from lumeq_pipe.timecodes import format_milliseconds
    for k in range(0, 3000, 7):
        whole, fraction = format_milliseconds(Fraction(k * den, num)).split(".")
        assert nominal_ns(k, Fraction(num, den)) == int(whole) * 10**6 + int(fraction)


@needs_ffmpeg
def test_detection_finds_the_cuts_ffmpegs_scdet_finds(tmp_path):
    # Textured, moving and flat scenes: a smoothing downscale misses the cellauto → gradients cut.
    sources = ["testsrc2", "cellauto=rule=18", "gradients=speed=0.02", "sierpinski", "smptehdbars"]
    inputs, chains = [], []
    for i, source in enumerate(sources):
        name, _, options = source.partition("=")
        inputs += ["-f", "lavfi", "-i", f"{name}=s=320x180:r=25" + (f":{options}" if options else "")]
        chains.append(f"[{i}]trim=end_frame={20 + 7 * i},format=yuv420p,setpts=PTS-STARTPTS[s{i}]")
    graph = ";".join(chains) + ";" + "".join(f"[s{i}]" for i in range(len(sources))) + \
        f"concat=n={len(sources)}:v=1:a=0[v]"
    video = tmp_path / "cuts.mkv"
    subprocess.run([FFMPEG, "-v", "error", *inputs, "-filter_complex", graph, "-map", "[v]", "-c:v", "ffv1",
                    str(video)], check=True, timeout=120)
    marked = subprocess.run([FFMPEG, "-v", "error", "-i", str(video), "-vf", "scdet,metadata=print:file=-",
                             "-f", "null", "-"], capture_output=True, text=True, check=True).stdout
    scdet = [int(block.split()[0]) for block in marked.split("frame:")[1:] if "lavfi.scd.time" in block]
    script = tmp_path / "src.py"
    script.write_text("from lumeq import core\ncore.bs.VideoSource(source=src, cachemode=0).set_output()\n")
    frames = sum(20 + 7 * i for i in range(len(sources)))
    scored = subprocess.run([sys.executable, "-m", "lumeq_farm.metric", "-a", f"src={video}", "--start", "0",
                             "--end", str(frames - 1), str(script)],
                            capture_output=True, text=True, env=child_env(), check=True)
    from lumeq_farm.scenes import find_cuts
    assert len(scdet) >= len(sources) - 1
    assert find_cuts(json.loads(scored.stdout)) == scdet
