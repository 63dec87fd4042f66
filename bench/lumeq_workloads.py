"""The benchmark workloads in lumeq, with the same command line as bench/native.

    lumeq_workloads.py frames   WIDTH HEIGHT FORMAT KEEP FRAMES PREFETCH BACKLOG
    lumeq_workloads.py getframe WIDTH HEIGHT FORMAT KEEP FRAMES
    lumeq_workloads.py modifyframe WIDTH HEIGHT FORMAT KEEP FRAMES (frames() through an identity ModifyFrame)
    lumeq_workloads.py invoke   CALLS          (the function object held)
    lumeq_workloads.py invokelookup CALLS      (core.std.Trim looked up on every call)
    lumeq_workloads.py invokepositional CALLS  (the `invoke` call with positional arguments)
    lumeq_workloads.py copy     WIDTH HEIGHT FORMAT REPS
    lumeq_workloads.py asarray  FORMAT REPS ROUNDS
    lumeq_workloads.py window   WIDTH HEIGHT FORMAT KEEP FRAMES WINDOW
    lumeq_workloads.py floorwindow WIDTH HEIGHT FORMAT FRAMES WINDOW
    lumeq_workloads.py await    REPS           (one cached frame, awaited in a loop)
    lumeq_workloads.py floorawait REPS
    lumeq_workloads.py audioframes SAMPLES PREFETCH BACKLOG   (stereo 48 kHz float BlankAudio)
    lumeq_workloads.py asyncframes WIDTH HEIGHT FORMAT KEEP FRAMES PREFETCH BACKLOG   (`async for` over frames())
    lumeq_workloads.py asyncaudioframes SAMPLES PREFETCH BACKLOG
    lumeq_workloads.py firstcore

`window` is an asyncio window: a semaphore lets WINDOW of the FRAMES
get_frame_async awaits run at a time. The floor workloads have the same
shape, but a plain Python thread completes each future through
call_soon_threadsafe: what asyncio itself costs, with nothing of lumeq in
the wait.

Prints one JSON line like the native program.
"""
import asyncio
import json
import queue
import resource
import sys
import threading
import time

import lumeq

YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1
GRAY8 = (1 << 28) | (8 << 16)


def report(workload, seconds, items, checksum=0):
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"workload": workload, "seconds": seconds, "items": items, "checksum": checksum,
                      "peak_rss_kb": peak}))


def blank(core, width, height, fmt, keep, length):
    return core.std.BlankClip(width=width, height=height, format=fmt, keep=keep, length=length)


def frames(width, height, fmt, keep, count, prefetch, backlog):
    core = lumeq.Core()
    clip = blank(core, width, height, fmt, keep, count)
    checksum = 0
    start = time.perf_counter()
    for frame in clip.frames(prefetch=prefetch or None, backlog=backlog or None):
        checksum += frame[0][0, 0]
    report("frames", time.perf_counter() - start, count, checksum)


def audioframes(samples, prefetch, backlog):
    core = lumeq.Core()
    clip = core.std.BlankAudio(channels=[0, 1], bits=32, sampletype=1, samplerate=48000, length=samples)
    checksum = 0
    start = time.perf_counter()
    for frame in clip.frames(prefetch=prefetch or None, backlog=backlog or None):
        checksum += frame[0][0]
    report("audioframes", time.perf_counter() - start, clip.num_frames, checksum)


async def consume_async(it, plane_item):
    """The seconds an `async for` over `it` takes, timed inside the running
    loop (its set-up and teardown are not the workload), and a checksum."""
    checksum = 0
    start = time.perf_counter()
    async for frame in it:
        checksum += frame[0][plane_item]
    return time.perf_counter() - start, checksum


def asyncframes(width, height, fmt, keep, count, prefetch, backlog):
    clip = blank(lumeq.Core(), width, height, fmt, keep, count)
    it = clip.frames(prefetch=prefetch or None, backlog=backlog or None)
    seconds, checksum = asyncio.run(consume_async(it, (0, 0)))
    report("asyncframes", seconds, count, checksum)


def asyncaudioframes(samples, prefetch, backlog):
    clip = lumeq.Core().std.BlankAudio(channels=[0, 1], bits=32, sampletype=1, samplerate=48000, length=samples)
    it = clip.frames(prefetch=prefetch or None, backlog=backlog or None)
    seconds, checksum = asyncio.run(consume_async(it, 0))
    report("asyncaudioframes", seconds, clip.num_frames, checksum)


def modifyframe(width, height, fmt, keep, count):
    core = lumeq.Core()
    clip = blank(core, width, height, fmt, keep, count)
    clip = core.std.ModifyFrame(clip=clip, clips=clip, selector=lambda n, f: f)
    checksum = 0
    start = time.perf_counter()
    for frame in clip.frames():
        checksum += frame[0][0, 0]
    report("modifyframe", time.perf_counter() - start, count, checksum)


def getframe(width, height, fmt, keep, count):
    core = lumeq.Core()
    clip = blank(core, width, height, fmt, keep, count)
    get = clip.get_frame
    checksum = 0
    start = time.perf_counter()
    for n in range(count):
        checksum += get(n).width
    report("getframe", time.perf_counter() - start, count, checksum)


def invoke(calls):
    core = lumeq.Core()
    clip = blank(core, 640, 480, YUV420P8, 0, 100)
    trim = core.std.Trim
    start = time.perf_counter()
    for _ in range(calls):
        trim(clip=clip, first=0, last=0)
    report("invoke", time.perf_counter() - start, calls)


def invokelookup(calls):
    core = lumeq.Core()
    clip = blank(core, 640, 480, YUV420P8, 0, 100)
    start = time.perf_counter()
    for _ in range(calls):
        core.std.Trim(clip=clip, first=0, last=0)
    report("invokelookup", time.perf_counter() - start, calls)


def invokepositional(calls):
    core = lumeq.Core()
    clip = blank(core, 640, 480, YUV420P8, 0, 100)
    trim = core.std.Trim
    start = time.perf_counter()
    for _ in range(calls):
        trim(clip, 0, 0)
    report("invokepositional", time.perf_counter() - start, calls)


def copy(width, height, fmt, reps):
    core = lumeq.Core()
    frame = blank(core, width, height, fmt, 1, 1).get_frame(0)
    plane = frame[0]
    checksum = 0
    start = time.perf_counter()
    for _ in range(reps):
        checksum += bytes(plane)[-1]
    report("copy", time.perf_counter() - start, reps, checksum)


def asarray(fmt, reps, rounds):
    """numpy.asarray of plane 0 for a 16x16 and a 3840x2160 frame."""
    import numpy

    core = lumeq.Core()
    frames = {size: blank(core, *size, fmt, 1, 1).get_frame(0) for size in ((16, 16), (3840, 2160))}
    best = {size: float("inf") for size in frames}
    for _ in range(rounds):
        for size, frame in frames.items():
            start = time.perf_counter()
            for _ in range(reps):
                numpy.asarray(frame[0])
            best[size] = min(best[size], time.perf_counter() - start)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"workload": "asarray", "small_seconds": best[(16, 16)], "large_seconds": best[(3840, 2160)],
                      "items": reps, "peak_rss_kb": peak}))


async def run_window(count, limit, awaitable):
    """The seconds the window takes, timed inside the running loop (the
    loop's own set-up and teardown are not the workload), and a checksum.
    A task starts once the semaphore lets it, so that at most `limit` tasks
    exist: with every task made up front, the cycle collector's passes over
    them would be most of what is measured."""
    gate = asyncio.Semaphore(limit)
    running = set()
    checksum = 0

    async def one(n):
        nonlocal checksum
        try:
            frame = await awaitable(n)
            checksum += frame[0][0, 0]
        finally:
            gate.release()

    start = time.perf_counter()
    for n in range(count):
        await gate.acquire()
        task = asyncio.create_task(one(n))
        running.add(task)
        task.add_done_callback(running.discard)
    for _ in range(limit):  # the last ones have finished
        await gate.acquire()
    return time.perf_counter() - start, checksum


def window(width, height, fmt, keep, count, limit):
    core = lumeq.Core()
    clip = blank(core, width, height, fmt, keep, count)
    seconds, checksum = asyncio.run(run_window(count, limit, clip.get_frame_async))
    report("window", seconds, count, checksum)


class Completer:
    """A plain Python thread completing asyncio futures with one frame."""

    def __init__(self, loop, frame):
        self.requests = queue.SimpleQueue()
        self.thread = threading.Thread(target=self.serve, args=(loop, frame))
        self.thread.start()

    def serve(self, loop, frame):
        while (future := self.requests.get()) is not None:
            loop.call_soon_threadsafe(future.set_result, frame)

    def request(self, loop):
        future = loop.create_future()
        self.requests.put(future)
        return future

    def stop(self):
        self.requests.put(None)
        self.thread.join()


def floorwindow(width, height, fmt, count, limit):
    frame = blank(lumeq.Core(), width, height, fmt, 1, 1).get_frame(0)

    async def main():
        loop = asyncio.get_running_loop()
        completer = Completer(loop, frame)
        try:
            return await run_window(count, limit, lambda n: completer.request(loop))
        finally:
            completer.stop()

    seconds, checksum = asyncio.run(main())
    report("floorwindow", seconds, count, checksum)


def await_cached(reps):
    clip = blank(lumeq.Core(), 16, 16, GRAY8, 1, 1)

    async def main():
        await clip.get_frame_async(0)  # warm: the frame is cached from here on
        start = time.perf_counter()
        for _ in range(reps):
            await clip.get_frame_async(0)
        return time.perf_counter() - start

    report("await", asyncio.run(main()), reps)


def floorawait(reps):
    frame = blank(lumeq.Core(), 16, 16, GRAY8, 1, 1).get_frame(0)

    async def main():
        loop = asyncio.get_running_loop()
        completer = Completer(loop, frame)
        try:
            await completer.request(loop)
            start = time.perf_counter()
            for _ in range(reps):
                await completer.request(loop)
            return time.perf_counter() - start
        finally:
            completer.stop()

    report("floorawait", asyncio.run(main()), reps)


def firstcore():
    start = time.perf_counter()
    lumeq.Core()
    report("firstcore", time.perf_counter() - start, 1)


def main(argv):
    name, args = argv[0], [int(a) for a in argv[1:]]
    {"frames": frames, "getframe": getframe, "modifyframe": modifyframe, "invoke": invoke,
     "invokelookup": invokelookup, "invokepositional": invokepositional, "copy": copy,
     "asarray": asarray, "window": window, "floorwindow": floorwindow, "await": await_cached,
     "floorawait": floorawait, "firstcore": firstcore, "audioframes": audioframes,
     "asyncframes": asyncframes, "asyncaudioframes": asyncaudioframes}[name](*args)


if __name__ == "__main__":
    main(sys.argv[1:])
