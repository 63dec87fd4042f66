"""lumeq-farm's target quality against the fixed CRF a user would need for the
same worst chunk: bytes of each, on a file whose scenes differ in difficulty.

The target-quality job runs through lumeq-farm. The fixed CRF is found by
encoding each chunk with the same preset at a CRF, bisecting (to the same
0.25 step the target search uses) for the highest CRF whose worst chunk
scores at least the target job's worst chunk; that CRF then runs through
lumeq-farm too, so both sizes are of joined files."""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

from lumeq_farm.encoders import make_preset

METRIC, TARGET = "psnr", 40.0
CHUNK = 48
# An easy card, a fractal zoom, film-like grain over motion: what one CRF
# serves badly, since the hardest scene decides it.
SCENES = ["testsrc2=size=320x240:rate=24", "mandelbrot=size=320x240:rate=24",
          "testsrc=size=320x240:rate=24,noise=alls=24:allf=t"]
SCRIPT = "from lumeq import core\ncore.bs.VideoSource(src, cachemode=0).set_output()\n"
ENCODER, PRESET = "x264", "faster"


def make_source(folder):
    source = folder / "scenes.mkv"
    inputs = [a for s in SCENES for a in ("-f", "lavfi", "-i", f"{s},trim=end_frame={CHUNK}")]
    streams = "".join(f"[{n}]" for n in range(len(SCENES)))
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, "-lavfi",
                    f"{streams}concat=n={len(SCENES)},format=yuv420p", "-c:v", "ffv1", str(source)], check=True)
    return source


def farm(folder, source, out, *args):
    script = folder / "script.py"
    script.write_text(SCRIPT)
    done = subprocess.run([sys.executable, "-m", "lumeq_farm", "--workers", "2", "--chunk-frames", str(CHUNK),
                           "--work-dir", str(folder / (out.name + ".chunks")), "-a", f"src={source}",
                           "--encoder", ENCODER, "--preset", PRESET, *args, str(script), str(out)],
                          capture_output=True, text=True, check=True)
    return done.stderr


def chunk_score(encoded, source, first, whole=True):
    """The score of the chunk starting at `first`: cut from both files, or
    (whole=False) `encoded` is that chunk alone."""
    cut = f"trim=start_frame={first}:end_frame={first + CHUNK},setpts=PTS-STARTPTS"
    distorted = f"[0:v]{cut}[a];" if whole else "[0:v]null[a];"
    done = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", str(encoded), "-i", str(source), "-lavfi",
                           f"{distorted}[1:v]{cut}[b];[a][b]{METRIC}", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    return float(re.findall(r"average:([\d.]+)", done.stderr)[-1])


def fixed_crf_worst(folder, source, crf):
    """The worst chunk's score at one CRF, each chunk encoded as the farm would."""
    preset = make_preset(ENCODER, "x.mkv", crf, PRESET)
    worst = float("inf")
    for first in range(0, CHUNK * len(SCENES), CHUNK):
        out = folder / f"fixed-{first}.mkv"
        cut = f"trim=start_frame={first}:end_frame={first + CHUNK},setpts=PTS-STARTPTS"
        argv = preset.command(source=("-i", str(source)), filters=cut)
        subprocess.run([str(out) if t == "{out}" else t for t in argv], check=True)
        worst = min(worst, chunk_score(out, source, first, whole=False))
    return worst


def highest_crf_meeting(folder, source, worst_target):
    low, high = 0.0, 51.0          # low meets, high is not yet known to
    while high - low > 0.25:
        middle = round((low + high) / 2 * 4) / 4
        if fixed_crf_worst(folder, source, middle) >= worst_target:
            low = middle
        else:
            high = middle
    return low


def measure():
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        source = make_source(folder)
        target_out = folder / "target.mkv"
        log = farm(folder, source, target_out, "--target-quality", f"{METRIC}:{TARGET}")
        chunks = [(float(q), float(s)) for q, s in re.findall(r"quantizer ([\d.]+), score ([\d.]+)", log)]
        worst = min(chunk_score(target_out, source, first) for first in range(0, CHUNK * len(SCENES), CHUNK))
        crf = highest_crf_meeting(folder, source, worst)
        fixed_out = folder / "fixed.mkv"
        farm(folder, source, fixed_out, "--crf", f"{crf:g}")
        fixed_worst = min(chunk_score(fixed_out, source, f) for f in range(0, CHUNK * len(SCENES), CHUNK))
        target_bytes, fixed_bytes = os.path.getsize(target_out), os.path.getsize(fixed_out)
    ratio = target_bytes / fixed_bytes
    return {"label": f"14 lumeq-farm --target-quality {METRIC}:{TARGET:g} vs the fixed CRF meeting its worst chunk, "
                     "bytes", "baseline": "fixed_crf", "median": ratio, "min": ratio, "max": ratio, "target": 1.0,
            "kind": "time", "pinned": False, "verdict": "PASS" if ratio < 1.0 else "FAIL",
            "pairs": [{"target_bytes": target_bytes, "fixed_bytes": fixed_bytes, "fixed_crf": crf,
                       "target_worst_chunk": worst, "fixed_worst_chunk": fixed_worst, "target_chunks": chunks}]}


if __name__ == "__main__":
    print(measure())
