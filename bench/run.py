"""Runs lumeq's workloads against their baselines, side by side.

Every figure is a series of pairs: lumeq and its baseline (the native C API
program bench/native, or for the asyncio floors a plain Python thread), each
in a fresh process, alternating, after one warm-up run of each. A pair gives
one ratio; a figure reports the median of its pairs' ratios with their
minimum and maximum. Latency figures run both pinned to one CPU and unpinned.
Writes every pair to bench/results.json and the sweeps to bench/results.png;
bench/table.py turns results.json into the table of docs/performance.md and README.md.

    python bench/run.py [--full] [--pairs N] [--quick] [--only NAME,...]
"""
import argparse
import importlib.util
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

ROOT = pathlib.Path(__file__).resolve().parent.parent
NATIVE = ROOT / "build" / "bench" / "native"
WORKLOADS = ROOT / "bench" / "lumeq_workloads.py"
PREVIEW_WORKLOADS = ROOT / "bench" / "preview_workloads.py"
VS_DIR = pathlib.Path(importlib.util.find_spec("vapoursynth").submodule_search_locations[0])
# A plain install (the library and lumeq, no third-party plugins): what
# starting a core costs before any plugin the user installed loads itself.
BARE = ROOT / "build" / "bench" / "bare"
BARE_PYTHON = BARE / "bin" / "python"

GRAY8 = (1 << 28) | (8 << 16)
GRAY16 = (1 << 28) | (16 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1
YUV422P10 = (3 << 28) | (10 << 16) | (1 << 8)
FORMAT_NAMES = {YUV420P8: "4:2:0 8-bit", YUV422P10: "4:2:2 10-bit"}


# ------------------------------------------------------------ one run

def pin_to_one_cpu():
    # On this kind of virtual machine a cross-CPU wake-up of VapourSynth's
    # worker costs tens of microseconds and varies from run to run, which
    # swamps a per-call cost of a microsecond; pinned, both sides are stable.
    cpu = min(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})


def run_json(command, pinned):
    out = subprocess.run(command, capture_output=True, text=True, check=True,
                         preexec_fn=pin_to_one_cpu if pinned else None)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    result.pop("checksum", None)
    return result


def preview(*args):
    return [sys.executable, str(PREVIEW_WORKLOADS), *map(str, args)]


def native(*args):
    return [str(NATIVE), str(VS_DIR), *map(str, args)]


def lumeq(*args):
    return [sys.executable, str(WORKLOADS), *map(str, args)]


def whole_process(command, frames, into_pipe, pinned=False, timed_inside=None):
    """Times a Y4M writer from outside, start to exit; into a pipe read by
    `cat > /dev/null`, or straight into /dev/null. With `timed_inside`, the
    seconds are instead the writer's own time for its writing loop, which
    `timed_inside` reads from the writer's standard error."""
    start = time.perf_counter()
    errors = subprocess.PIPE if timed_inside else subprocess.DEVNULL
    if into_pipe:
        writer = subprocess.Popen(command + ["-"], stdout=subprocess.PIPE, stderr=errors, text=True,
                                  preexec_fn=pin_to_one_cpu if pinned else None)
        reader = subprocess.Popen(["cat"], stdin=writer.stdout, stdout=subprocess.DEVNULL)
        writer.stdout.close()
        text = writer.stderr.read() if timed_inside else ""
        status = writer.wait(), reader.wait()
    else:
        done = subprocess.run(command + ["/dev/null"], stdout=subprocess.PIPE if timed_inside else subprocess.DEVNULL,
                              stderr=errors, text=True, preexec_fn=pin_to_one_cpu if pinned else None)
        status, text = (done.returncode,), (done.stdout or "") + (done.stderr or "")
    if any(status):
        raise subprocess.CalledProcessError(max(status), command)
    seconds = timed_inside(text) if timed_inside else time.perf_counter() - start
    return {"seconds": seconds, "items": frames}


def native_loop_seconds(text):
    """The native writer's JSON report of its own writing loop."""
    return json.loads(text.strip().splitlines()[-1])["seconds"]


def pipe_loop_seconds(text):
    """lumeq-pipe's summary line (with -p): "... N frames ... (R frames/s)",
    timed from before the first frame is requested to the last one written."""
    last = text.strip().splitlines()[-1]
    frames = int(last.split(": ", 1)[1].split("/", 1)[0])
    return frames / float(last.rsplit("(", 1)[1].split(" ", 1)[0])


class PipeScript:
    """The script lumeq-pipe renders: the same clip the native writer makes."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="lumeq-bench-")

    def path(self, width, height, fmt, frames):
        path = pathlib.Path(self.dir) / f"clip_{width}x{height}_{fmt}_{frames}.py"
        if not path.exists():
            path.write_text("from lumeq import core\n"
                            f"core.std.BlankClip(width={width}, height={height}, format={fmt}, "
                            f"length={frames}).set_output()\n")
        return str(path)

    def audio_path(self, samples):
        """Stereo 48 kHz float, as the native Wave64 writer makes it."""
        path = pathlib.Path(self.dir) / f"audio_{samples}.py"
        if not path.exists():
            path.write_text("from lumeq import core\n"
                            "core.std.BlankAudio(channels=[0, 1], bits=32, sampletype=1, samplerate=48000, "
                            f"length={samples}).set_output()\n")
        return str(path)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


# ------------------------------------------------------------ figures

@dataclass
class Figure:
    key: str
    label: str
    run_lumeq: object       # () -> {"seconds": ..., "items": ...}
    run_baseline: object
    kind: str               # "throughput", "time", "added_us" or "ms": how a pair becomes a value
    target: float | None = None
    pinned: bool = False
    baseline: str = "native"
    pairs: list = field(default_factory=list)

    def value(self, mine, theirs):
        if self.kind == "throughput":  # lumeq throughput over the baseline's
            return theirs["seconds"] / mine["seconds"]
        if self.kind == "time":  # lumeq's time over the baseline's
            return mine["seconds"] / theirs["seconds"]
        if self.kind == "ms":  # lumeq's own time; the baseline is for reference
            return mine["seconds"] * 1e3
        if self.kind == "fps":  # lumeq's own rate; the baseline is for reference
            return mine["items"] / mine["seconds"]
        return (mine["seconds"] - theirs["seconds"]) / mine["items"] * 1e6

    def passes(self, value):
        if self.target is None:
            return None
        return value >= self.target if self.kind in ("throughput", "fps") else value <= self.target

    def measure(self, count):
        self.run_lumeq(), self.run_baseline()  # warm-up: page cache, CPU frequency
        for i in range(count):
            # Alternate which side goes first, so a drift favours neither.
            if i % 2 == 0:
                mine = self.run_lumeq()
                theirs = self.run_baseline()
            else:
                theirs = self.run_baseline()
                mine = self.run_lumeq()
            self.pairs.append({"lumeq": mine, self.baseline: theirs, "value": self.value(mine, theirs)})

    def summary(self):
        values = [p["value"] for p in self.pairs]
        median = statistics.median(values)
        return {
            "label": self.label, "kind": self.kind, "baseline": self.baseline, "pinned": self.pinned,
            "target": self.target, "median": median, "min": min(values), "max": max(values),
            "verdict": {None: "", True: "PASS", False: "FAIL"}[self.passes(median)],
            "lumeq_seconds": statistics.median(p["lumeq"]["seconds"] for p in self.pairs),
            "baseline_seconds": statistics.median(p[self.baseline]["seconds"] for p in self.pairs),
            "pairs": self.pairs,
        }


def latency(key, label, lumeq_args, native_args, kind, target):
    """A sequential latency figure, pinned (with the target) and unpinned."""
    return [
        Figure(key, label, lambda: run_json(lumeq(*lumeq_args), True), lambda: run_json(native(*native_args), True),
               kind, target, pinned=True),
        Figure(key + "_unpinned", label, lambda: run_json(lumeq(*lumeq_args), False),
               lambda: run_json(native(*native_args), False), kind),
    ]


def figures(scale, script):
    def n(count):
        return max(1, int(count * scale))

    w1080 = (1920, 1080, YUV420P8, 0)
    w16 = (16, 16, GRAY8, 1)
    out = []

    def side_by_side(key, label, lumeq_args, native_args, kind="throughput", target=None):
        out.append(Figure(key, label, lambda: run_json(lumeq(*lumeq_args), False),
                          lambda: run_json(native(*native_args), False), kind, target))

    for window, frames, target in ((32, 3000, 0.95), (2, 3000, 0.9)):
        side_by_side(f"asyncio_1080p_w{window}",
                     f"1 asyncio window of {window}, 1920×1080 YUV420P8, vs native getFrameAsync window",
                     ("window", *w1080, n(frames), window), ("window", *w1080, n(frames), window), target=target)
    frames16 = n(20000)
    out.append(Figure("asyncio_16x16_w32_floor", "1 asyncio window of 32, 16×16 GRAY8, vs the pure-asyncio floor",
                      lambda: run_json(lumeq("window", *w16, frames16, 32), False),
                      lambda: run_json(lumeq("floorwindow", 16, 16, GRAY8, frames16, 32), False),
                      "throughput", 0.9, baseline="floor"))
    side_by_side("asyncio_16x16_w32", "1 asyncio window of 32, 16×16 GRAY8, vs native getFrameAsync window",
                 ("window", *w16, frames16, 32), ("window", *w16, frames16, 32))
    # `async for` against the native in-order window of the same depth (the
    # frames workload with that prefetch), the backlog at its default of 3 × prefetch.
    for key, size, count, target in (("1080p", w1080, 3000, 0.97), ("16x16", w16, 100000, 0.6)):
        name = "1920×1080 YUV420P8" if key == "1080p" else "16×16 GRAY8"
        side_by_side(f"async_frames_{key}", f"1 `async for` over `frames(prefetch=32)`, {name}, "
                     "vs native in-order window of 32", ("asyncframes", *size, n(count), 32, 0),
                     ("frames", *size, n(count), 32, 0), target=target)
    awaits = n(10000)  # timed inside the process: half a second each is plenty
    for pinned in (False, True):
        out.append(Figure("await_cached" + ("_pinned" if pinned else ""),
                          "2 one cached `await get_frame_async(0)`, time vs the pure-asyncio floor",
                          lambda p=pinned: run_json(lumeq("await", awaits), p),
                          lambda p=pinned: run_json(lumeq("floorawait", awaits), p),
                          "time", None if pinned else 1.2, pinned=pinned, baseline="floor"))
    side_by_side("await_cached_native", "2 one cached await, vs native getFrameAsync one at a time",
                 ("await", awaits), ("window", *w16, awaits, 1), kind="time")

    calls = n(20000)
    out += latency("get_frame", "3 `get_frame` on a cached 16×16 frame, added µs per call",
                   ("getframe", *w16, calls), ("getframe", *w16, calls), "added_us", 1.0)
    # lumeq's get_frame waits the way this native one does; against it, what lumeq itself adds.
    out += latency("get_frame_wait", "3 `get_frame` on a cached 16×16 frame, added µs vs native getFrameAsync + wait",
                   ("getframe", *w16, calls), ("getframewait", *w16, calls), "added_us", None)
    out += latency("invoke_held", "4 `std.Trim` held, time per call vs native `invoke`",
                   ("invoke", calls), ("invoke", calls), "time", 1.25)
    out += latency("invoke_lookup", "4 `core.std.Trim(...)` looked up per call, vs native `invoke`",
                   ("invokelookup", calls), ("invoke", calls), "time", 1.5)
    out.append(Figure("invoke_positional", "4 `std.Trim(clip, 0, 0)` positional, added µs per call vs keywords",
                      lambda: run_json(lumeq("invokepositional", calls), True),
                      lambda: run_json(lumeq("invoke", calls), True), "added_us", 0.3, pinned=True,
                      baseline="keywords"))

    # About 6 and 8 GB through the writer: long enough to swamp start-up, short
    # enough that the 4:2:2 10-bit pairs into `cat` do not dominate the run.
    for fmt, count in ((YUV420P8, 2000), (YUV422P10, 1000)):
        frames = n(count)
        for into_pipe in (False, True):
            where = "a pipe to `cat`" if into_pipe else "/dev/null"
            into = "pipe" if into_pipe else "devnull"
            pipe_cmd = [sys.executable, "-m", "lumeq_pipe", script.path(1920, 1080, fmt, frames)]
            native_cmd = native("y4m", 1920, 1080, fmt, frames, 0)
            # Whole process: the interpreter's start, the imports and the
            # script count against lumeq-pipe. Loop: each writer's own time.
            out.append(Figure(f"pipe_{fmt}_{into}",
                              f"5 `lumeq-pipe` Y4M 1080p {FORMAT_NAMES[fmt]} into {where}, whole process",
                              lambda c=pipe_cmd, f=frames, p=into_pipe: whole_process(c, f, p),
                              lambda c=native_cmd, f=frames, p=into_pipe: whole_process(c, f, p),
                              "throughput", None))
            out.append(Figure(f"pipe_{fmt}_{into}_loop",
                              f"5 `lumeq-pipe` Y4M 1080p {FORMAT_NAMES[fmt]} into {where}, both in-process",
                              lambda c=pipe_cmd[:3] + ["-p"] + pipe_cmd[3:], f=frames, p=into_pipe: whole_process(
                                  c, f, p, timed_inside=pipe_loop_seconds),
                              lambda c=native_cmd, f=frames, p=into_pipe: whole_process(
                                  c, f, p, timed_inside=native_loop_seconds),
                              "throughput", 1.0))

    side_by_side("frames_1080p", "6 `frames()` 1920×1080 YUV420P8", ("frames", *w1080, n(1000), 0, 0),
                 ("frames", *w1080, n(1000), 0, 0), target=0.97)
    side_by_side("frames_16x16", "6 `frames()` 16×16 GRAY8", ("frames", *w16, n(50000), 0, 0),
                 ("frames", *w16, n(50000), 0, 0), target=0.9)
    for key, size, count in (("1080p", w1080, 1000), ("16x16", w16, 50000)):
        plain = ("frames", *size, n(count), 0, 0)
        modified = ("modifyframe", *size, n(count))
        name = "1920×1080 YUV420P8" if key == "1080p" else "16×16 GRAY8"
        out.append(Figure(f"modify_frame_{key}", f"7 identity `std.ModifyFrame` callback, {name}, added µs per frame",
                          lambda a=modified: run_json(lumeq(*a), False), lambda a=plain: run_json(lumeq(*a), False),
                          "added_us", 10.0, baseline="plain"))
    out.append(Figure("modify_frame_1080p_throughput", "7 identity `std.ModifyFrame` callback, 1080p, `frames()` vs without",
                      lambda: run_json(lumeq("modifyframe", *w1080, n(1000)), False),
                      lambda: run_json(lumeq("frames", *w1080, n(1000), 0, 0), False), "throughput", 0.8,
                      baseline="plain"))
    side_by_side("plane_copy", "6 `bytes(frame[0])` 3840×2160 GRAY16 vs one `memcpy`",
                 ("copy", 3840, 2160, GRAY16, n(100)), ("copy", 3840, 2160, GRAY16, n(100)), target=0.95)
    two_hours = n(2 * 3600 * 48000)
    side_by_side("audio_frames", "10 `frames()` on a 2-hour stereo 48 kHz float BlankAudio",
                 ("audioframes", two_hours, 0, 0), ("audioframes", two_hours, 0, 0), target=0.95)
    side_by_side("async_audio_frames", "10 `async for` over `frames(prefetch=32)`, 2-hour stereo 48 kHz float, "
                 "vs native in-order window of 32", ("asyncaudioframes", two_hours, 32, 0),
                 ("audioframes", two_hours, 32, 0), target=0.95)
    audio_frames = -(-two_hours // 3072)
    w64_cmd = [sys.executable, "-m", "lumeq_pipe", "-c", "w64", script.audio_path(two_hours)]
    out.append(Figure("pipe_w64_devnull", "10 `lumeq-pipe -c w64` of that clip into /dev/null, whole process",
                      lambda: whole_process(w64_cmd, audio_frames, False),
                      lambda: whole_process(native("w64", two_hours), audio_frames, False), "throughput", 1.0))
    bare_vs_dir = next(BARE.glob("lib/python*/site-packages/vapoursynth"), VS_DIR)
    out.append(Figure("first_core", "6 first core creation in a fresh process (library load included), "
                      "plain install, ms",
                      lambda: run_json([str(BARE_PYTHON), str(WORKLOADS), "firstcore"], False),
                      lambda: run_json([str(NATIVE), str(bare_vs_dir), "firstcore"], False), "ms", 5))
    side_by_side("first_core_plugins", "6 first core creation, the test set-up's plugins autoloaded, ms",
                 ("firstcore",), ("firstcore",), kind="ms")
    out += preview_figures(n)
    return out


def preview_figures(n):
    """lumeq-preview, each figure a fresh server (and browser) per run."""
    def pair(workload, count):
        return (lambda: run_json(preview(workload, "lumeq" if workload != "request" else "rgba", count), False),
                lambda: run_json(preview(workload, "floor", count), False))

    requests = n(30)
    png = (lambda: run_json(preview("request", "png", requests), False),
           lambda: run_json(preview("request", "floor", requests), False))
    nominal = lambda: {"seconds": 1.0, "items": 24}  # noqa: E731 (the clip's own rate)
    return [
        Figure("preview_request_rgba", "11 lumeq-preview: request → the RGBA pixels of a cached 1080p frame, ms",
               *pair("request", requests), "ms", 30, baseline="transfer"),
        Figure("preview_request_png", "11 lumeq-preview: request → a level-1 PNG of a cached 1080p frame, ms",
               *png, "ms", None, baseline="transfer"),
        Figure("preview_step", "11 lumeq-preview in Chromium: ArrowRight → the next 1080p frame painted, "
               "steps 250 ms apart, ms", lambda: run_json(preview("step", "lumeq", n(20), 250), False),
               lambda: run_json(preview("step", "floor", n(20)), False), "ms", 50, baseline="transfer"),
        Figure("preview_step_back_to_back", "11 lumeq-preview in Chromium: ArrowRight → the next 1080p frame "
               "painted, steps back to back, ms", *pair("step", n(20)), "ms", None, baseline="transfer"),
        Figure("preview_drag", "11 lumeq-preview in Chromium: 500-frame slider drag → the last frame painted, ms "
               "(frames cost < 1 ms)", *pair("drag", 500), "ms", 100, baseline="transfer"),
        Figure("preview_play", "11 lumeq-preview in Chromium: playback of 1080p 24 fps, frames painted per second",
               lambda: run_json(preview("play", "lumeq", 5), False), nominal, "fps", 24, baseline="nominal"),
        # What the browser moves at all: ready RGBA frames, fetched and painted three at a time.
        Figure("preview_play_floor", "11 Chromium alone: ready 1080p RGBA frames fetched and painted, per second",
               lambda: run_json(preview("play", "floor", 5), False), nominal, "fps", None, baseline="nominal"),
    ]


# ------------------------------------------------------------ the rest

def measure_farm(count):
    """lumeq-farm (2-worker LocalCluster, 4 chunks of a 240-frame job) against one lumeq-pipe | x264 pipeline."""
    with tempfile.TemporaryDirectory() as workdir:
        def farm():
            shutil.rmtree(pathlib.Path(workdir) / "chunks", ignore_errors=True)
            return run_farm_job(True, workdir)

        fig = Figure("farm_x264", "9 lumeq-farm, 2 workers, vs one `lumeq-pipe | x264`, time",
                     farm, lambda: run_farm_job(False, workdir), "time", 0.6, baseline="single")
        fig.measure(count)
        return fig.summary()


# What a farm is for: a slow encoder preset, about half a minute through one
# pipeline. The farm's start-up (the cluster, the script's first run) is a
# second or two whatever the job, and a real job is far longer than this.
FARM_FRAMES = 240
FARM_CHUNK = FARM_FRAMES // 4

# A 720p grid of blocks whose colours cycle at different periods: flat enough
# to render in no time, busy enough that a single-threaded x264 is the cost.
FARM_SCRIPT = """from lumeq import core
LENGTH = FARM_FRAMES

def block(r, c):
    period = 3 + (r * 16 + c) % 7
    cycle = [core.std.BlankClip(width=80, height=80, format=FORMAT, length=1,
                                color=[(37 * k + 11 * r) % 256, (53 * k + 7 * c) % 256, (19 * k * c) % 256])
             for k in range(period)]
    return (core.std.Splice(clips=cycle) * (LENGTH // period + 1))[:LENGTH]

rows = [core.std.StackHorizontal(clips=[block(r, c) for c in range(16)]) for r in range(9)]
core.std.StackVertical(clips=rows).set_output()
""".replace("FORMAT", str(YUV420P8)).replace("FARM_FRAMES", str(FARM_FRAMES))
X264 = "ffmpeg -v error -f yuv4mpegpipe -i - -c:v libx264 -threads 1 -preset slower -y {out}"


def run_farm_job(farm, workdir):
    script = pathlib.Path(workdir) / "farm_script.py"
    script.write_text(FARM_SCRIPT)
    out = pathlib.Path(workdir) / ("farm.mkv" if farm else "single.mkv")
    start = time.perf_counter()
    if farm:
        subprocess.run([sys.executable, "-m", "lumeq_farm", "--workers", "2", "--chunk-frames", str(FARM_CHUNK),
                        "--work-dir", str(pathlib.Path(workdir) / "chunks"), "--encoder", X264, str(script),
                        str(out)], check=True, capture_output=True)
    else:
        render = subprocess.Popen([sys.executable, "-m", "lumeq_pipe", str(script), "-"], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        subprocess.run(X264.replace("{out}", str(out)).split(), stdin=render.stdout, check=True)
        render.stdout.close()
        render.wait()
    return {"seconds": time.perf_counter() - start, "items": FARM_FRAMES}


def sweep(pairs, scale):
    """Per-frame figures for the plot: medians of a few alternating pairs."""
    def median_pair(a, b):
        runs = [(run_json(a, False), run_json(b, False)) for _ in range(pairs)]
        return (statistics.median(r[0]["seconds"] for r in runs), statistics.median(r[1]["seconds"] for r in runs))

    out = {"prefetch": {}, "frame_size": {}, "asyncio_1080p": {}, "asyncio_16x16": {}}
    frames = max(1, int(1000 * scale))
    for prefetch in (1, 2, 4, 8, 16):
        args = ("frames", 1920, 1080, YUV420P8, 0, frames, prefetch, 0)
        mine, theirs = median_pair(lumeq(*args), native(*args))
        out["prefetch"][prefetch] = {"lumeq_fps": frames / mine, "native_fps": frames / theirs}
    for w, h in ((16, 16), (64, 64), (320, 240), (640, 480), (1280, 720), (1920, 1080), (3840, 2160)):
        count = max(10, int(max(100, min(20000, int(2e8 // (w * h * 1.5)))) * scale))
        args = ("frames", w, h, YUV420P8, 0, count, 0, 0)
        mine, theirs = median_pair(lumeq(*args), native(*args))
        out["frame_size"][f"{w}x{h}"] = {"pixels": w * h, "lumeq_us": mine / count * 1e6,
                                         "native_us": theirs / count * 1e6}
    for name, (w, h, fmt, keep, count) in (("asyncio_1080p", (1920, 1080, YUV420P8, 0, 1000)),
                                           ("asyncio_16x16", (16, 16, GRAY8, 1, 20000))):
        count = max(10, int(count * scale))
        for window in (1, 2, 8, 32):
            args = ("window", w, h, fmt, keep, count, window)
            mine, theirs = median_pair(lumeq(*args), native(*args))
            row = {"lumeq_fps": count / mine, "native_fps": count / theirs}
            if name == "asyncio_16x16":
                floor = statistics.median(run_json(lumeq("floorwindow", w, h, fmt, count, window), False)["seconds"]
                                          for _ in range(pairs))
                row["floor_fps"] = count / floor
            out[name][window] = row
    return out


def plot(sweeps, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ((a, b), (c, d)) = plt.subplots(2, 2, figsize=(11, 8))
    for axis, rows, title, xlabel in ((a, sweeps["prefetch"], "frames() on 1920x1080 YUV420P8",
                                       "prefetch (requests in flight)"),
                                      (c, sweeps["asyncio_1080p"], "asyncio window on 1920x1080 YUV420P8",
                                       "awaits in flight (native: getFrameAsync requests)"),
                                      (d, sweeps["asyncio_16x16"], "asyncio window on 16x16 GRAY8",
                                       "awaits in flight (native: getFrameAsync requests)")):
        xs = [int(k) for k in rows]
        axis.plot(xs, [v["lumeq_fps"] for v in rows.values()], "o-", label="lumeq")
        axis.plot(xs, [v["native_fps"] for v in rows.values()], "s--", label="native C API")
        if rows and "floor_fps" in next(iter(rows.values())):
            axis.plot(xs, [v["floor_fps"] for v in rows.values()], "^:", label="asyncio floor (Python thread)")
        axis.set_xscale("log", base=2)
        axis.set_yscale("log" if axis is d else "linear")
        axis.set_xlabel(xlabel)
        axis.set_ylabel("frames per second")
        axis.set_title(title)
        axis.legend()
    sizes = sweeps["frame_size"]
    px = [v["pixels"] for v in sizes.values()]
    b.loglog(px, [v["lumeq_us"] for v in sizes.values()], "o-", label="lumeq")
    b.loglog(px, [v["native_us"] for v in sizes.values()], "s--", label="native C API")
    b.set_xlabel("pixels per frame (16x16 .. 3840x2160)")
    b.set_ylabel("microseconds per frame")
    b.set_title("frames(), per-frame time against frame size")
    b.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def extras(results, pairs, scale):
    """Figures that are not pairs of processes."""
    w = ("frames", 1920, 1080, YUV420P8, 0, max(1, int(1000 * scale)), 0, 0)
    rss = [(run_json(lumeq(*w), False)["peak_rss_kb"] - run_json(native(*w), False)["peak_rss_kb"]) / 1024
           for _ in range(max(1, pairs // 3))]
    results["peak_rss"] = {"label": "7 peak RSS of `frames()` 1080p over native, MiB", "median": statistics.median(rss),
                           "min": min(rss), "max": max(rss), "target": 64, "kind": "mib", "pinned": False,
                           "verdict": "PASS" if statistics.median(rss) <= 64 else "FAIL", "pairs": rss}
    sizes = run_json(lumeq("asarray", GRAY16, max(100, int(20000 * scale)), 5 * pairs), False)
    ratio = sizes["large_seconds"] / sizes["small_seconds"]
    results["asarray"] = {"label": "8 `numpy.asarray(frame[0])` 3840×2160 over 16×16, time", "median": ratio,
                          "min": ratio, "max": ratio, "target": 1.5, "kind": "time", "pinned": False,
                          "verdict": "PASS" if ratio <= 1.5 else "FAIL", "pairs": [sizes]}


def farm_figures_run(figures_out, opts, pairs):
    """lumeq-farm's scale and scene figures: in a default run, or by name with --only."""
    sys.path.insert(0, str(ROOT / "bench"))
    import farm_figures
    import farm_quality

    wanted = {"farm_scale": lambda: {"farm_scale": farm_figures.measure_scale(max(5, pairs // 3))},
              "farm_scenes": farm_figures.measure_scenes,
              # Bytes, not time: one run gives the figure.
              "farm_target_quality": lambda: {"farm_target_quality": farm_quality.measure()}}
    for key, measure in wanted.items():
        chosen = any(key.startswith(k) or k.startswith(key) for k in opts.only.split(",")) if opts.only \
            else not opts.no_farm
        if not chosen:
            continue
        try:
            measured = measure()
        except (subprocess.CalledProcessError, FileNotFoundError) as e:
            measured = {key: {"label": key, "error": str(e)}}
        figures_out.update(measured)
        for name, s in measured.items():
            if "median" in s:
                print(f"{name:28} {s['median']:9.3f} [{s['min']:.3f}..{s['max']:.3f}] {s['verdict']}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help="21 pairs per figure instead of 9")
    parser.add_argument("--pairs", type=int, help="pairs per figure")
    parser.add_argument("--quick", action="store_true", help="a tenth of the work per run (a smoke test)")
    parser.add_argument("--only", help="comma-separated figure keys (prefixes); skips the sweeps and the farm_x264 figure "
                        "(farm_scale, farm_scenes and farm_target_quality run when named)")
    parser.add_argument("--no-farm", action="store_true", help="skip the lumeq-farm figure")
    opts = parser.parse_args()
    pairs = opts.pairs or (21 if opts.full else 9)
    scale = 0.1 if opts.quick else 1.0
    script = PipeScript()
    run_started = time.perf_counter()
    results = {"pairs_per_figure": pairs, "scale": scale, "figures": {}}
    try:
        for fig in figures(scale, script):
            if opts.only and not any(fig.key.startswith(k) for k in opts.only.split(",")):
                continue
            began = time.perf_counter()
            try:
                fig.measure(pairs)
            except (subprocess.CalledProcessError, FileNotFoundError) as e:
                results["figures"][fig.key] = {"label": fig.label, "error": str(e)}
                continue
            results["figures"][fig.key] = fig.summary()
            results["figures"][fig.key]["wall_seconds"] = time.perf_counter() - began
            s = results["figures"][fig.key]
            print(f"{fig.key:28} {s['median']:9.3f} [{s['min']:.3f}..{s['max']:.3f}] {s['verdict']}", flush=True)
    finally:
        script.close()
    if not opts.only:
        extras(results["figures"], pairs, scale)
        if not opts.no_farm:
            try:
                results["figures"]["farm_x264"] = measure_farm(max(2, pairs // 3))
            except (subprocess.CalledProcessError, FileNotFoundError) as e:
                results["figures"]["farm_x264"] = {"label": "9 lumeq-farm", "error": str(e)}
    farm_figures_run(results["figures"], opts, pairs)
    if not opts.only:
        results["sweeps"] = sweep(max(1, pairs // 3), scale)
    results["wall_seconds"] = time.perf_counter() - run_started
    results["machine"] = {"cpu_count": os.cpu_count(), "platform": platform.platform(),
                          "python": platform.python_version(), "processor": platform.processor()}
    out = ROOT / "bench" / ("results.json" if not opts.only else "results-partial.json")
    out.write_text(json.dumps(results, indent=1))
    plotted = not opts.only and plot(results["sweeps"], ROOT / "bench" / "results.png")
    sys.path.insert(0, str(ROOT / "bench"))
    import table

    print(table.markdown(results))
    print(f"{results['wall_seconds'] / 60:.1f} minutes; wrote {out.relative_to(ROOT)}" +
          (" and bench/results.png" if plotted else "")
          + "; `python bench/table.py --readme` puts the table into docs/performance.md and README.md")


if __name__ == "__main__":
    main()
