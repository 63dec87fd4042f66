"""The benchmark workloads in lumeq, with the same command line as bench/native.

    lumeq_workloads.py frames   WIDTH HEIGHT FORMAT KEEP FRAMES PREFETCH BACKLOG
    lumeq_workloads.py getframe WIDTH HEIGHT FORMAT KEEP FRAMES
    lumeq_workloads.py invoke   CALLS
    lumeq_workloads.py copy     WIDTH HEIGHT FORMAT REPS
    lumeq_workloads.py asarray  FORMAT REPS ROUNDS
    lumeq_workloads.py gather   WIDTH HEIGHT FORMAT KEEP FRAMES PREFETCH
    lumeq_workloads.py y4m      SCRIPT-ARGS...  (times lumeq-pipe in-process)

Prints one JSON line like the native program.
"""
import asyncio
import json
import resource
import sys
import time

import lumeq

YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1


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


def gather(width, height, fmt, keep, count, prefetch):
    core = lumeq.Core()
    clip = blank(core, width, height, fmt, keep, count)
    limit = prefetch or core.num_threads

    async def main():
        gate = asyncio.Semaphore(limit)

        async def one(n):
            async with gate:
                frame = await clip.get_frame_async(n)
                return frame[0][0, 0]

        return sum(await asyncio.gather(*(one(n) for n in range(count))))

    start = time.perf_counter()
    checksum = asyncio.run(main())
    report("gather", time.perf_counter() - start, count, checksum)


def main(argv):
    name, args = argv[0], [int(a) for a in argv[1:]]
    {"frames": frames, "getframe": getframe, "invoke": invoke, "copy": copy, "asarray": asarray,
     "gather": gather}[name](*args)


if __name__ == "__main__":
    main(sys.argv[1:])
