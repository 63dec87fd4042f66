"""Awaitable frames: get_frame_async, the Coroutine protocol, the executor thread."""
import asyncio
import gc
import json
import os
import threading
import weakref

import pytest

import lumeq
from vsformat import video_id


GRAY8 = video_id(1, 0, 8)
YUV420P10 = video_id(3, 0, 10, 1, 1)
RGBS = video_id(2, 1, 32)
REUSE = "cannot reuse already awaited coroutine"


@pytest.fixture
def numbered(vcore):
    """A 256-frame GRAY8 clip whose frame n is filled with the value n."""
    return vcore.std.Splice(
        clips=[vcore.std.BlankClip(width=16, height=8, length=1, format=GRAY8, color=[i]) for i in range(256)]
    )


def slow_clip(core, length=100000, passes=2):
    """A clip that takes a few milliseconds per frame."""
    clip = core.std.BlankClip(width=640, height=480, length=length, format=GRAY8)
    for _ in range(passes):
        clip = core.std.BoxBlur(clip=clip, hradius=20, vradius=20, hpasses=3, vpasses=3)
    return clip


def value(frame):
    return bytes(frame[0])[0]


def planes(frame):
    return [bytes(frame[i]) for i in range(len(frame))]


@pytest.mark.parametrize(
    "fmt, color",
    [(GRAY8, [77]), (YUV420P10, [700, 100, 900]), (RGBS, [0.25, 0.5, 0.75])],
    ids=["GRAY8", "YUV420P10", "RGBS"],
)
def test_awaited_frame_matches_get_frame(vcore, fmt, color):
    clip = vcore.std.BlankClip(width=40, height=30, length=3, format=fmt, color=color)

    async def main():
        return await clip.get_frame_async(2)

    frame = asyncio.run(main())
    expected = clip.get_frame(2)
    assert isinstance(frame, lumeq.VideoFrame)
    assert (frame.width, frame.height) == (expected.width, expected.height)
    assert frame.format.name == expected.format.name
    assert planes(frame) == planes(expected)


class PortableLoop(asyncio.SelectorEventLoop):
    """A loop that cannot watch a descriptor: wakes come through call_soon_threadsafe."""

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError


@pytest.mark.parametrize("loop_factory", [None, PortableLoop], ids=["descriptor", "portable"])
def test_gather_returns_each_requested_frame_in_order(numbered, loop_factory):
    order = [(i * 37) % 256 for i in range(200)]

    async def main():
        return await asyncio.gather(*(numbered.get_frame_async(n) for n in order))

    assert [value(f) for f in asyncio.run(main(), loop_factory=loop_factory)] == order


def test_each_loop_lets_its_wake_descriptor_go(numbered):
    async def main():
        return await numbered.get_frame_async(1)

    asyncio.run(main())
    gc.collect()  # loops of earlier tests, now collectable, go with their descriptors first
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(20):
        assert value(asyncio.run(main())) == 1
    gc.collect()
    # A descriptor counted before may go late (its last waker is let go on
    # VapourSynth's thread); one per loop would add 20.
    assert len(os.listdir("/proc/self/fd")) <= before


def test_finished_request_keeps_nothing_of_its_loop(vcore):
    # Frames that are not cached finish on VapourSynth's thread, which may be
    # the last to let go of the waker it woke.
    clip = slow_clip(vcore, passes=1)
    loops = []
    for n in range(5):
        loop = asyncio.new_event_loop()
        assert loop.run_until_complete(clip.get_frame_async(n)).width == 640
        loop.close()
        loops.append(weakref.ref(loop))
        del loop
    gc.collect()
    assert [ref() for ref in loops] == [None] * 5


def test_two_event_loops_in_two_threads(numbered):
    barrier = threading.Barrier(2)
    results = {}

    def worker(key, numbers):
        async def main():
            return await asyncio.gather(*(numbered.get_frame_async(n) for n in numbers))

        barrier.wait()
        results[key] = [value(f) for f in asyncio.run(main())]

    jobs = {"even": list(range(0, 256, 2)), "odd": list(range(255, 0, -2))}
    threads = [threading.Thread(target=worker, args=item) for item in jobs.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == jobs


def test_awaiting_twice_is_refused(numbered):
    async def main():
        c = numbered.get_frame_async(3)
        first = await c
        with pytest.raises(RuntimeError, match=REUSE):
            await c
        return first

    assert value(asyncio.run(main())) == 3


@pytest.mark.parametrize("finish", ["close", "throw"])
def test_finished_coroutine_refuses_every_resumption(numbered, finish):
    c = numbered.get_frame_async(0)
    if finish == "close":
        assert c.close() is None
    else:
        with pytest.raises(ValueError):
            c.throw(ValueError("x"))
    for resume in (lambda: c.send(None), lambda: next(c), lambda: c.throw(KeyError)):
        with pytest.raises(RuntimeError, match=REUSE):
            resume()
    assert c.close() is None  # closing again is allowed


def test_throw_raises_instance_class_or_type_error(numbered):
    error = ValueError("x")
    with pytest.raises(ValueError) as info:
        numbered.get_frame_async(0).throw(error)
    assert info.value is error
    with pytest.raises(ValueError) as info:
        numbered.get_frame_async(0).throw(ValueError)
    assert info.value.args == ()
    c = numbered.get_frame_async(0)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        c.throw(1)
    with pytest.raises(RuntimeError, match=REUSE):
        c.send(None)


def test_send_without_running_loop_keeps_the_computation(vcore):
    clip = slow_clip(vcore)
    c = clip.get_frame_async(11)
    with pytest.raises(RuntimeError, match="no running event loop"):
        c.send(None)

    async def main():
        return await c

    assert isinstance(asyncio.run(main()), lumeq.VideoFrame)


def test_coroutine_names_and_type(numbered):
    c = numbered.get_frame_async(0)
    assert c.__name__ == "get_frame_async"
    assert c.__qualname__ == "VideoNode.get_frame_async"
    assert c.__await__() is c
    cls = type(c)
    assert (cls.__name__, cls.__module__) == ("Coroutine", "lumeq")
    assert cls.__doc__ == "Python coroutine wrapping a [`Future`]."
    with pytest.raises(TypeError):
        cls()
    assert not hasattr(lumeq, "release_waiter")
    c.close()


def test_reentry_during_resumption_is_refused(numbered):
    class Reentrant:
        def __index__(self):
            return coro.send(None)

    coro = numbered.get_frame_async(Reentrant())

    async def main():
        await coro

    with pytest.raises(RuntimeError, match="Already borrowed") as info:
        asyncio.run(main())
    assert "while processing 'n'" in info.value.__notes__


@pytest.mark.parametrize(
    "n, error, message",
    [("x", TypeError, None), (2**31, OverflowError, "out of range integral type conversion attempted")],
)
def test_frame_number_is_converted_at_first_await(numbered, n, error, message):
    c = numbered.get_frame_async(n)  # the call itself never converts

    async def main():
        await c

    with pytest.raises(error) as info:
        asyncio.run(main())
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'n'"]
    with pytest.raises(RuntimeError, match=REUSE):
        c.send(None)


def test_argument_must_be_given(numbered):
    with pytest.raises(TypeError, match=r"^VideoNode.get_frame_async\(\) missing 1 required positional argument: 'n'$"):
        numbered.get_frame_async()
    assert numbered.get_frame_async(n=1).__name__ == "get_frame_async"


@pytest.mark.parametrize("n", [-1, 256])
def test_out_of_range_frame_reports_vapoursynth_text(numbered, n):
    with pytest.raises(RuntimeError) as sync:
        numbered.get_frame(n)

    async def main():
        await numbered.get_frame_async(n)

    with pytest.raises(RuntimeError) as awaited:
        asyncio.run(main())
    assert awaited.value.args == sync.value.args


def failing_from(core, good):
    """A 10-frame clip whose frames from `good` on fail to render."""
    base = core.std.BlankClip(width=16, height=8, length=10, format=GRAY8)
    carrying = core.std.ClipToProp(clip=base, mclip=base)
    return core.std.PropToClip(clip=carrying[:good] + base[good:])


def test_failing_frame_raises_vapoursynth_text(vcore):
    broken = failing_from(vcore, 1)

    async def main():
        await broken.get_frame_async(1)

    with pytest.raises(RuntimeError, match="^PropToClip: "):
        asyncio.run(main())


def test_wait_for_timeout_cancels_the_request(vcore):
    clip = slow_clip(vcore, passes=6)

    async def main():
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(clip.get_frame_async(5), 0.001)
        # The clip stays usable after the cancelled request.
        return await clip.get_frame_async(6)

    assert isinstance(asyncio.run(main()), lumeq.VideoFrame)


THREADS_CODE = """
import asyncio, gc, glob, json, threading
import lumeq

def names():
    return sorted(open(p).read().strip() for p in glob.glob('/proc/self/task/*/comm'))

core = lumeq.Core()
clip = core.std.BlankClip(width=16, height=8, length=1000)
out = {}
c = clip.get_frame_async(0)
del c
gc.collect()
out["never_awaited"] = names().count("lumeq-frame-asy")

async def one():
    return await clip.get_frame_async(1)

asyncio.run(one())
out["after_first"] = names().count("lumeq-frame-asy")

def many(start):
    async def main():
        await asyncio.gather(*(clip.get_frame_async(n) for n in range(start, 1000, 2)))
    asyncio.run(main())

threads = [threading.Thread(target=many, args=(s,)) for s in (0, 1)]
for t in threads: t.start()
for t in threads: t.join()
out["after_many"] = names().count("lumeq-frame-asy")
print(json.dumps(out))
"""


def test_one_executor_thread_started_by_the_first_await(run_py):
    proc = run_py(THREADS_CODE)
    out = json.loads(proc.stdout)
    # A frame rendered before its await is handed over without the thread, so
    # the first await starts it only when it has to wait (a slow build may not).
    assert out["never_awaited"] == 0 and out["after_first"] <= 1 and out["after_many"] == 1


CLOSED_LOOP_CODE = """
import asyncio, time
import lumeq

core = lumeq.Core()
clip = core.std.BlankClip(width=640, height=480, length=1000)
for _ in range(4):
    clip = core.std.BoxBlur(clip=clip, hradius=20, vradius=20, hpasses=3, vpasses=3)
loop = asyncio.new_event_loop()

# The abandoned tasks are collected at exit, and asyncio reports each one
# as destroyed while pending; that report is asyncio's, anything else ours.
def quiet_pending(loop, context):
    if context.get("message") != "Task was destroyed but it is pending!":
        loop.default_exception_handler(context)

loop.set_exception_handler(quiet_pending)

async def start():
    tasks = [asyncio.ensure_future(clip.get_frame_async(n)) for n in range(8)]
    await asyncio.sleep(0)
    return tasks

tasks = loop.run_until_complete(start())
loop.close()
if WAIT:
    clip.get_frame(999)  # the requests ahead of it finish and wake a closed loop
    time.sleep(0.2)
print("done")
"""


@pytest.mark.parametrize("wait", [True, False], ids=["wake-after-close", "exit-while-rendering"])
def test_closing_the_loop_while_frames_render_reports_nothing(run_py, wait):
    proc = run_py(CLOSED_LOOP_CODE.replace("WAIT", str(wait)))
    assert proc.stdout.strip() == "done"
    assert proc.stderr == ""


STORM_CODE = """
import asyncio, json
import lumeq

def rss_mib():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS'):
            return int(line.split()[1]) // 1024

def storm():
    core = lumeq.Core()
    clip = core.std.BlankClip(width=640, height=480, length=100000, format=%d)
    clip = core.std.BoxBlur(clip=clip, hradius=2, vradius=2)

    async def main():
        tasks = [asyncio.ensure_future(clip.get_frame_async(n)) for n in range(1000)]
        await asyncio.sleep(0.005)
        for t in tasks:
            t.cancel()
        return await asyncio.gather(*tasks, return_exceptions=True)

    results = asyncio.run(main())
    assert all(isinstance(r, (asyncio.CancelledError, lumeq.VideoFrame)) for r in results)
    cancelled = sum(isinstance(r, asyncio.CancelledError) for r in results)
    clip.get_frame(99999)  # queued behind the abandoned requests
    return cancelled

counts = [storm()]
first = rss_mib()
counts += [storm(), storm()]
print(json.dumps({"cancelled": counts, "growth": rss_mib() - first}))
""" % GRAY8


def test_cancelled_storm_leaves_nothing_behind(run_py):
    proc = run_py(STORM_CODE)
    out = json.loads(proc.stdout)
    assert min(out["cancelled"]) > 500  # most were still rendering when cancelled
    # Every abandoned 300 KiB frame kept alive would add about 300 MiB a round
    # (two rounds are measured); frames still rendering account for the rest.
    assert out["growth"] < 300
    assert proc.stderr == ""


START_FAILURE_CODE = """
import glob, json, resource
import lumeq

core = lumeq.Core()
clip = core.std.BlankClip(width=16, height=8, length=10)
clip.get_frame(0)  # VapourSynth's own threads exist before the cap
pending = [clip.get_frame_async(1), clip.get_frame_async(2)]
size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize')) * 1024
# Too little address space left for a 2 MiB thread stack.
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 20), resource.RLIM_INFINITY))
seen = []
for c in pending:
    try:
        c.send(None)
    except BaseException as e:
        seen.append([type(e).__name__, isinstance(e, Exception), str(e)])
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
threads = [open(p).read().strip() for p in glob.glob('/proc/self/task/*/comm')]
print(json.dumps({"seen": seen, "executor_threads": threads.count("lumeq-frame-asy")}))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer runtime needs the address space")
def test_executor_start_failure_is_cached(run_py):
    out = json.loads(run_py(START_FAILURE_CODE).stdout)
    (first_type, first_plain, first), (second_type, _, second) = out["seen"]
    assert (first_type, second_type) == ("PanicException", "PanicException")
    assert not first_plain  # not an Exception: it ends the program unless caught
    assert first.startswith("failed to spawn lumeq frame executor thread: ")
    assert first != second and "earlier" in second  # no second attempt
    assert out["executor_threads"] == 0


@pytest.mark.parametrize("how", ["pending", "finished"])
def test_abandoned_task_on_closed_loop_is_collected(vcore, how):
    import gc
    import sys
    import weakref

    clip = vcore.std.BlankClip(width=16, height=8, length=10)
    baseline = (sys.getrefcount(clip), sys.getrefcount(vcore))

    async def main():
        return await clip.get_frame_async(3)

    loop = asyncio.new_event_loop()
    task = loop.create_task(main())
    loop.run_until_complete(asyncio.sleep(0))  # the task now waits on its future
    if how == "finished":
        clip.get_frame(3)  # the executor has long delivered by the time the loop closes
    loop.close()
    gone = weakref.ref(task)
    del task, loop
    gc.collect()
    assert gone() is None
    assert (sys.getrefcount(clip), sys.getrefcount(vcore)) == baseline


ATEXIT_CODE = """
import asyncio, atexit
import lumeq

class PortableLoop(asyncio.SelectorEventLoop):
    def add_reader(self, fd, callback, *args):
        raise NotImplementedError

core = lumeq.Core()
clip = core.std.BlankClip(width=640, height=480, length=10)
clip = core.std.BoxBlur(clip=clip, hradius=20, vradius=20, hpasses=3, vpasses=3)

def run(coro):
    loop = PortableLoop() if PORTABLE else asyncio.new_event_loop()
    try:
        return loop.run_until_complete(coro)
    finally:
        loop.close()

def hook():
    async def main():
        return await clip.get_frame_async(1)
    try:
        run(main())
        print("completed")
    except RuntimeError as e:
        print("RuntimeError:", e)

atexit.register(hook)

async def first():
    return await clip.get_frame_async(0)

if AWAIT_FIRST:
    run(first())
"""


@pytest.mark.parametrize("portable", [False, True], ids=["descriptor", "portable"])
@pytest.mark.parametrize("await_first", [True, False], ids=["after-first-await", "no-await-before"])
def test_awaiting_in_an_exit_hook_never_hangs(run_py, await_first, portable):
    code = ATEXIT_CODE.replace("AWAIT_FIRST", str(await_first)).replace("PORTABLE", str(portable))
    proc = run_py(code, timeout=60)
    # A wake through the loop's descriptor needs no GIL and still arrives;
    # one through the executor would be dropped, so that await fails at once.
    expected = "RuntimeError: cannot await a frame while the interpreter is exiting" if portable else "completed"
    assert (proc.stdout.strip(), proc.stderr) == (expected, "")
