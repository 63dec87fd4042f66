"""A tour of lumeq: the core's plugins, a small filter chain, its frames,
rendering many frames at once, and an output for lumeq-pipe.

Run directly, it prints the tour. Run by lumeq-pipe (which gives scripts
another __name__), it only registers the chain as output 0.
"""
import asyncio
import hashlib
import time

import lumeq
from lumeq import core

YUV420P8 = 0x30080101


def build_chain(length=48):
    red = core.std.BlankClip(format=YUV420P8, width=640, height=360, length=length, color=[81, 90, 240])
    blue = core.std.BlankClip(format=YUV420P8, width=640, height=360, length=length, color=[41, 240, 110])
    return red[: length // 2] + blue[-(length // 8):] * 4


def show_plugins():
    print(f"{'namespace':<10} {'version':<8} name")
    for plugin in core.plugins():
        major, minor = plugin.version
        print(f"{plugin.namespace:<10} {f'{major}.{minor}':<8} {plugin.name}")
    print("\nstd.Trim signature:", core.std.Trim.signature, "\n")


def show_frames(clip):
    print(clip)
    for n in (0, len(clip) - 1):
        frame = clip.get_frame(n)
        digest = hashlib.sha1(bytes(frame[0])).hexdigest()[:12]
        print(f"frame {n}: {frame.width}x{frame.height} {frame.format.name}, plane 0 sha1 {digest}")
    print()


def show_throughput():
    clip = core.std.BlankClip(format=YUV420P8, width=1920, height=1080, length=600)
    start = time.perf_counter()
    for frame in clip.frames():
        frame[0]
    print(f"frames():        {len(clip) / (time.perf_counter() - start):8.0f} frames/s (1080p, prefetch {core.num_threads})")

    async def gather():
        gate = asyncio.Semaphore(core.num_threads)

        async def one(n):
            async with gate:
                frame = await clip.get_frame_async(n)
                return frame[0].shape

        return await asyncio.gather(*(one(n) for n in range(len(clip))))

    start = time.perf_counter()
    shapes = asyncio.run(gather())
    print(f"asyncio.gather:  {len(shapes) / (time.perf_counter() - start):8.0f} frames/s "
          f"({core.num_threads} awaiting at a time)\n")


if __name__ == "__main__":
    print(lumeq.__doc__, "\n")
    show_plugins()
    show_frames(build_chain())
    show_throughput()
else:
    build_chain().set_output()
