"""Leak measurement shared by the leak, thread and fault suites.

Three independent signals, each checked after a warm-up:
- live instances of every lumeq class: heap-type instances hold a reference
  to their type, and lumeq objects are invisible to `gc`, so the type's
  reference count is the exact number of live instances;
- Python memory: pymalloc blocks (traced bytes when pymalloc is off, as in the
  sanitizer run) and `gc`-tracked objects, within a slack;
- process RSS within a small bound (not under AddressSanitizer, whose
  quarantine keeps freed memory on purpose);
and, on the VapourSynth side, a probe plugin (leakprobe.cpp) that watches a
core from inside: it records the warnings VapourSynth logs when a core is
freed with filter instances or frame buffers still alive, and records the
core's destruction itself, so a core that is never freed is noticed too.
"""
import asyncio
import atexit
import contextlib
import ctypes
import functools
import gc
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

import lumeq

SCALE = float(os.environ.get("LUMEQ_STRESS_SCALE", "1"))


def scaled(full, minimum=1):
    """Count for this run: `full` under `make stress` (scale 20), a twentieth by default."""
    return max(minimum, round(full * SCALE / 20))


# ---------------------------------------------------------------- lumeq objects


@functools.cache
def _create_lazy_types():
    """Builds the classes that the module creates on first use, so that they
    are counted from the first sample on."""
    core = lumeq.Core()
    clip = core.std.BlankClip(width=8, height=8, length=1)
    frame = clip.get_frame(0)
    frame.format
    frame[0]
    clip.frames()
    core.plugins()
    core.std.functions()
    clip.get_frame_async(0).close()
    # asyncio caches the types it has seen as coroutines; each cache holds a
    # reference to the type, which would otherwise read as a live instance.
    async def gathered():
        await asyncio.gather(clip.get_frame_async(0))

    asyncio.run(gathered())


def lumeq_types():
    """Every class of the module, including those reachable only through
    instances: the heap types named "lumeq.X" or plain "X" (builtins)."""
    _create_lazy_types()
    return [t for t in gc.get_objects()
            if isinstance(t, type) and t.__flags__ & HEAP_TYPE and t.__module__ in ("lumeq", "builtins")
            and not issubclass(t, BaseException)]


HEAP_TYPE = 1 << 9


def live_instances():
    return {t.__qualname__: sys.getrefcount(t) for t in lumeq_types()}


PYMALLOC = sys.getallocatedblocks() > 0
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def python_memory():
    return sys.getallocatedblocks() if PYMALLOC else tracemalloc.get_traced_memory()[0]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    """Runs the releases that are still pending: any call into lumeq drains the
    references dropped on threads without the GIL, then the cycle collector."""
    lumeq.has_policy()
    gc.collect()
    lumeq.has_policy()


@dataclass
class Sample:
    live: dict
    blocks: int
    gc_objects: int
    rss: int


def sample():
    settle()
    return Sample(live_instances(), python_memory(), len(gc.get_objects()), rss_bytes())


@dataclass
class Growth:
    rounds: int
    live: dict
    blocks: int
    gc_objects: int
    rss: int


def live_growth(before):
    """Classes with more live instances than in `before`. Fewer is no leak:
    something made before the baseline finished its release meanwhile (and
    a class defined in a test, once collected, drops its references to its
    lumeq base class)."""
    after = live_instances()
    return {k: after[k] - before[k] for k in before.keys() & after.keys() if after[k] > before[k]}


RELEASE_TIMEOUT = 3.0


def settled_growth(before, timeout=None):
    """Live objects made since `before` that are still alive. References the
    executor or VapourSynth's threads drop land a moment later, so this waits
    a little for them before reporting."""
    deadline = time.monotonic() + (RELEASE_TIMEOUT if timeout is None else timeout)
    while True:
        settle()
        growth = live_growth(before)
        if not growth or time.monotonic() > deadline:
            return growth
        time.sleep(0.01)


def baseline():
    """Live instances once pending releases have run: the "before" of a check."""
    settle()
    return live_instances()


def assert_released(before):
    growth = settled_growth(before)
    assert growth == {}, f"lumeq objects still alive: {growth}"


def measure(step, rounds, warmup=None):
    """Runs `step` `rounds` times after a warm-up and reports what grew.

    Memory is compared over each half of the rounds and the smaller growth
    is reported: a leak grows in both halves, while a one-off allocation by
    something else in the process (a thread winding down, a cache filling)
    lands in one of them only."""
    lumeq_types()
    tracing = not PYMALLOC and not tracemalloc.is_tracing()
    if tracing:
        tracemalloc.start()
    try:
        for _ in range(warmup if warmup is not None else max(3, rounds // 10)):
            step()
        first = sample()
        for _ in range(rounds // 2):
            step()
        middle = sample()
        for _ in range(rounds - rounds // 2):
            step()
        live = settled_growth(first.live)
        last = sample()
    finally:
        if tracing:
            tracemalloc.stop()

    def grew(field):
        return min(getattr(middle, field) - getattr(first, field), getattr(last, field) - getattr(middle, field))

    return Growth(rounds, live, grew("blocks"), grew("gc_objects"), grew("rss"))


# Caches inside CPython (method caches, free lists, interned names) settle
# within the warm-up but may still move by a few blocks; a per-round leak over
# hundreds of rounds is far above these bounds.
BLOCK_SLACK = 64 if PYMALLOC else 16 << 10  # blocks, or bytes when traced
GC_SLACK = 16
RSS_SLACK = 4 << 20


def assert_steady(step, rounds, warmup=None, rss_slack=RSS_SLACK):
    growth = measure(step, rounds, warmup)
    assert growth.live == {}, f"live lumeq objects grew over {rounds} rounds: {growth.live}"
    assert growth.gc_objects <= GC_SLACK, f"{growth.gc_objects} more gc-tracked objects after {rounds} rounds"
    unit = "blocks" if PYMALLOC else "bytes"
    assert growth.blocks <= BLOCK_SLACK, f"Python memory grew by {growth.blocks} {unit} over {rounds} rounds"
    assert SANITIZED or growth.rss <= rss_slack, f"RSS grew by {growth.rss >> 10} KiB over {rounds} rounds"
    return growth


# ------------------------------------------------------------ VapourSynth side


def vapoursynth_include():
    spec = importlib.util.find_spec("vapoursynth")
    return Path(list(spec.submodule_search_locations)[0]) / "include"


class Probe:
    def __init__(self, path):
        self.path = str(path)
        # Keeps the library mapped after the cores that loaded it are gone,
        # and shares its records with them (same handle, same globals).
        self.lib = ctypes.CDLL(self.path)
        self.lib.leakprobe_records.restype = ctypes.c_char_p
        self._serial = 0

    def watch(self, core, tag=None):
        """Loads the probe into `core` (a `Core`) and starts watching it."""
        if tag is None:
            self._serial += 1
            tag = f"core{self._serial}"
        core.std.LoadPlugin(path=self.path)
        core.leakprobe.Watch(tag=tag)
        return tag

    def records(self, tag):
        text = self.lib.leakprobe_records().decode("utf-8", "replace")
        rows = [line.split("\t", 2) for line in text.splitlines()]
        return [(kind, message) for t, kind, message in rows if t == tag]

    def wait_freed(self, tag, cores=1, timeout=10.0):
        """The records of `tag` once `cores` watched cores have been freed."""
        deadline = time.monotonic() + timeout
        while True:
            settle()
            rows = self.records(tag)
            if sum(kind == "freed" for kind, _ in rows) >= cores or time.monotonic() > deadline:
                return rows
            time.sleep(0.01)

    def assert_clean(self, tag, cores=1, timeout=10.0):
        """Every watched core of `tag` was freed, with no filter or frame left alive."""
        rows = self.wait_freed(tag, cores, timeout)
        freed = sum(kind == "freed" for kind, _ in rows)
        leaks = [message for kind, message in rows if kind != "freed" and "still" in message]
        assert leaks == [], f"VapourSynth reported live objects at core release: {leaks}"
        assert freed == cores, f"{cores - freed} of {cores} watched cores were never freed"


@functools.cache
def probe():
    source = Path(__file__).with_name("leakprobe.cpp")
    directory = tempfile.mkdtemp(prefix="lumeq-leakprobe-")
    atexit.register(shutil.rmtree, directory, True)  # a mapped library outlives its file
    target = Path(directory) / "libleakprobe.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the compiler needs no sanitizer
    subprocess.run([os.environ.get("CXX", "c++"), "-std=c++17", "-O1", "-shared", "-fPIC", "-DVS_USE_API_41",
                    f"-I{vapoursynth_include()}", str(source), "-o", str(target)],
                   check=True, env=env, capture_output=True)
    return Probe(target)


@contextlib.contextmanager
def watching(threads=2):
    """Yields a factory of private cores watched by the probe. On leaving,
    every lumeq object made inside is gone and each of those cores was freed
    with nothing alive in it. Meant for a fixture: its teardown runs once the
    test's own references are out of reach."""
    before = baseline()
    tags = []

    def make():
        core = lumeq.Core(threads=threads)
        tags.append(probe().watch(core))
        return core

    yield make
    assert_released(before)
    for tag in tags:
        probe().assert_clean(tag)
