"""VideoNode.frames(): the prefetching frame iterator, synchronous and asynchronous."""
import asyncio
import contextlib
import gc
import threading
import time
import weakref

import pytest

import lumeq

GRAY8 = (1 << 28) | (8 << 16)


def numbered_clip(core, count=256, width=16, height=8):
    """A GRAY8 clip whose frame n is filled with the value n."""
    return core.std.Splice(
        clips=[core.std.BlankClip(width=width, height=height, length=1, format=GRAY8, color=[i]) for i in range(count)]
    )


@pytest.fixture
def numbered(vcore):
    return numbered_clip(vcore)


def value(frame):
    return bytes(frame[0])[0]


def blurred(core, clip, passes):
    # Blurring a flat frame keeps its value, only slower.
    for _ in range(passes):
        clip = core.std.BoxBlur(clip=clip, hradius=20, vradius=20, hpasses=3, vpasses=3)
    return clip


def big_slow_clip(core, passes=4):
    clip = core.std.BlankClip(width=1920, height=1080, length=1000, format=GRAY8)
    return blurred(core, clip, passes)


def carrying_failure(core, pattern):
    """A GRAY8 clip whose frame n renders if pattern[n] is true and fails otherwise."""
    base = core.std.BlankClip(width=16, height=8, length=1, format=GRAY8)
    carrying = core.std.ClipToProp(clip=base, mclip=base)
    return core.std.PropToClip(clip=core.std.Splice(clips=[carrying if ok else base for ok in pattern]))


def test_type_and_protocol(numbered):
    it = numbered.frames()
    assert iter(it) is it
    cls = type(it)
    assert cls is lumeq.FrameIter
    assert (cls.__name__, cls.__module__) == ("FrameIter", "lumeq")
    assert cls.__doc__.startswith("Frame iterator that keeps up to `prefetch` frames rendering concurrently\n")
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("prefetch, backlog", [(None, None), (1, None), (2, 2), (16, 64), (0, -5), (300, 1)])
def test_all_frames_in_order_then_exhausted(numbered, prefetch, backlog):
    it = numbered.frames(prefetch=prefetch, backlog=backlog)
    assert [value(f) for f in it] == list(range(256))
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_order_kept_when_later_frames_finish_first(vcore):
    # The first eight frames are much slower than the rest of the window.
    frames = numbered_clip(vcore, 64, 640, 480)
    clip = blurred(vcore, frames[:8], 3) + frames[8:]
    assert [value(f) for f in clip.frames(prefetch=24)] == list(range(64))


@pytest.mark.parametrize(
    "kwargs, error, note",
    [
        ({"prefetch": "2"}, TypeError, "prefetch"),
        ({"backlog": 2**40}, OverflowError, "backlog"),
    ],
)
def test_bad_limits_are_argument_errors(numbered, kwargs, error, note):
    with pytest.raises(error) as info:
        numbered.frames(**kwargs)
    assert info.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("prefetch", [1, 3, 10])
def test_failing_middle_frame_raises_once_then_stops(vcore, prefetch):
    clip = carrying_failure(vcore, [True] * 5 + [False] + [True] * 4)
    it = clip.frames(prefetch=prefetch)
    assert len([next(it) for _ in range(5)]) == 5
    with pytest.raises(RuntimeError, match="^PropToClip: ") as info:
        next(it)
    assert len(info.value.args) == 1
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_failure_behind_the_front_still_yields_what_is_before_it(vcore):
    # Frame 1 fails; every frame in front of it comes out first.
    clip = carrying_failure(vcore, [True, False] * 8)
    it = clip.frames(prefetch=8)
    time.sleep(0.05)  # let the whole window finish, so the failure is seen early
    assert isinstance(next(it), lumeq.VideoFrame)
    with pytest.raises(RuntimeError):
        next(it)
    assert list(it) == []


def test_deleting_a_fresh_iterator_waits_for_its_requests(vcore):
    clip = big_slow_clip(vcore)
    start = time.perf_counter()
    clip.get_frame(500)
    render = time.perf_counter() - start
    it = clip.frames(prefetch=2)
    start = time.perf_counter()
    del it
    assert time.perf_counter() - start > render / 3


def test_gil_is_released_while_waiting(vcore):
    clip = big_slow_clip(vcore)
    stamps = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.002)

    it = clip.frames(prefetch=1)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        time.sleep(0.005)
        enter = time.monotonic()
        next(it)
        leave = time.monotonic()
    finally:
        stop.set()
        thread.join()
    # Python code ran on the other thread while __next__ waited (a stamp
    # taken just after it returned does not count).
    assert leave - enter > 0.02
    assert any(enter < t < leave - 0.01 for t in stamps)


def test_two_threads_receive_distinct_consecutive_frames(numbered):
    it = numbered.frames(prefetch=4)
    barrier = threading.Barrier(2)
    seen = [[], []]

    def consume(mine):
        barrier.wait()
        for frame in it:
            mine.append(value(frame))

    threads = [threading.Thread(target=consume, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(seen[0] + seen[1]) == list(range(256))
    assert all(s == sorted(s) for s in seen)


def test_frames_outlive_iterator_clip_and_core():
    core = lumeq.Core()
    clip = core.std.BlankClip(width=32, height=16, length=6, format=GRAY8, color=[9])
    it = clip.frames(prefetch=2)
    frames = [next(it) for _ in range(4)]
    del it, clip, core
    gc.collect()
    assert [bytes(f[0]) for f in frames] == [bytes([9]) * 512] * 4
    assert all(f.width == 32 for f in frames)


def test_iterator_keeps_its_clip(vcore):
    it = vcore.std.BlankClip(width=8, height=8, length=5).frames()
    assert len(list(it)) == 5


# ------------------------------------------------------------ async for


async def collect(it, limit=None):
    out = []
    async for frame in it:
        out.append(frame)
        if len(out) == limit:
            break
    return out


@pytest.mark.parametrize("prefetch, backlog", [(None, None), (1, None), (2, 2), (16, 64), (300, 1)])
def test_async_for_delivers_what_the_synchronous_form_does(numbered, prefetch, backlog):
    frames = asyncio.run(collect(numbered.frames(prefetch=prefetch, backlog=backlog)))
    assert [value(f) for f in frames] == list(range(256))


def test_async_for_over_audio_matches_the_synchronous_form(vcore):
    clip = vcore.std.BlankAudio(length=30000, waveform="sine", frequency=441.5)
    frames = asyncio.run(collect(clip.frames(prefetch=4)))
    assert [bytes(f[1]) for f in frames] == [bytes(f[1]) for f in clip.frames()]
    assert all(isinstance(f, lumeq.AudioFrame) for f in frames)


def test_a_rendered_frame_is_handed_over_without_a_loop(numbered):
    it = numbered.frames(prefetch=4)
    deadline = time.monotonic() + 10
    while True:
        time.sleep(0.05)
        try:
            it.__anext__().send(None)
        except StopIteration as done:
            assert value(done.value) == 0
            return
        except RuntimeError:  # not rendered yet, so it needs a running loop
            assert time.monotonic() < deadline


@pytest.mark.parametrize("prefetch", [3, 16])
def test_async_failure_arrives_at_its_frame_then_the_iteration_ends(vcore, prefetch):
    it = carrying_failure(vcore, [True] * 5 + [False] + [True] * 4).frames(prefetch=prefetch)

    async def main():
        got = [value(await it.__anext__()) for _ in range(5)]
        with pytest.raises(RuntimeError, match="^PropToClip: "):
            await it.__anext__()
        return got, await collect(it)

    assert asyncio.run(main()) == ([0] * 5, [])


def test_awaitables_outlive_their_iterator_and_are_never_awaited_twice(numbered):
    async def main():
        first = await anext(numbered.frames(prefetch=8))  # the iterator is dropped at once
        it = numbered.frames(prefetch=8)
        held = it.__anext__()
        got = [await held]
        got.append(await it.__anext__())
        with pytest.raises(RuntimeError, match="already awaited"):
            await held
        got += await collect(it, 3)
        return value(first), [value(f) for f in got]

    assert asyncio.run(main()) == (0, [0, 1, 2, 3, 4])


@pytest.mark.parametrize("first", ["sync", "async"])
def test_one_iterator_serves_one_kind_of_iteration(numbered, first):
    it = numbered.frames()
    if first == "sync":
        next(it)
        with pytest.raises(RuntimeError, match="iterated synchronously; it cannot also be used with 'async for'"):
            it.__anext__()
    else:
        asyncio.run(collect(it, 1))
        with pytest.raises(RuntimeError, match="used with 'async for'; it cannot also be iterated synchronously"):
            next(it)


def test_a_second_concurrent_anext_is_refused(vcore):
    it = big_slow_clip(vcore).frames(prefetch=1)

    async def main():
        first = asyncio.ensure_future(it.__anext__())
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="already awaiting"):
            await it.__anext__()
        with pytest.raises(RuntimeError, match="awaiting a frame"):
            await it.aclose()
        return await first

    assert asyncio.run(main()).width == 1920


def test_waiting_for_a_frame_never_blocks_the_loop(vcore):
    it = big_slow_clip(vcore).frames(prefetch=2)

    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        ticking = asyncio.create_task(ticker())
        await collect(it, 3)
        ticking.cancel()
        return ticks

    assert asyncio.run(main()) > 5


@pytest.fixture
def watched():
    from leakcheck import watching

    with watching() as make:
        yield make


@pytest.mark.parametrize("how", ["break", "aclose", "cancel", "unfinished task"])
def test_leaving_early_lets_every_request_and_frame_go_at_once(watched, how):
    clip = big_slow_clip(watched(), passes=2)
    start = time.perf_counter()
    clip.get_frame(999)
    render = time.perf_counter() - start
    left = []

    async def consume():
        it = clip.frames(prefetch=8)
        try:
            if how == "aclose":
                await collect(it, 1)
                await it.aclose()
                assert await collect(it) == []
            else:
                await collect(it, 1 if how == "break" else None)
        finally:
            left.append(time.perf_counter())

    async def main():
        task = asyncio.create_task(consume())
        if how in ("cancel", "unfinished task"):
            await asyncio.sleep(render * 2)
            if how == "unfinished task":
                return  # asyncio.run cancels it
            task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    asyncio.run(main())
    # Waiting for the eight frames in flight would take four renders.
    assert time.perf_counter() - left[0] < render * 2


def test_a_closed_loop_with_a_waiting_iterator_is_collected_whole(watched):
    clip = big_slow_clip(watched(), passes=2)
    loop = asyncio.new_event_loop()
    # The pending task is reported as destroyed by asyncio itself.
    loop.set_exception_handler(lambda loop, context: None)
    task = loop.create_task(collect(clip.frames(prefetch=8)))
    loop.run_until_complete(asyncio.sleep(0.2))
    loop.close()
    gone = weakref.ref(loop)
    del task, loop, clip
    gc.collect()
    assert gone() is None


def test_an_abandoned_iterator_frees_its_frames_before_its_core(watched):
    # The iterator holds the core's last reference, and rendered frames.
    it = watched().std.BlankClip(width=16, height=16, length=100).frames(prefetch=8)
    asyncio.run(collect(it, 1))
    time.sleep(0.05)
    del it
