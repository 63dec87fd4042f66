"""A tour of lumeq: the core's plugins, a small filter chain and its frames."""
import hashlib

import lumeq
from lumeq import core

YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1


def show_plugins():
    print(f"{'namespace':<10} {'version':<8} name")
    for plugin in core.plugins():
        major, minor = plugin.version
        print(f"{plugin.namespace:<10} {major}.{minor:<6} {plugin.name}")
    print()
    print("std.Trim signature:", core.std.Trim.signature)
    print()


def render_chain():
    red = core.std.BlankClip(format=YUV420P8, width=640, height=360, length=24, color=[81, 90, 240])
    blue = core.std.BlankClip(format=YUV420P8, width=640, height=360, length=24, color=[41, 240, 110])
    clip = red[:12] + blue[-6:] * 2
    print(clip)
    for n in (0, len(clip) - 1):
        frame = clip.get_frame(n)
        luma = bytes(frame[0])
        print(f"frame {n}: {frame.width}x{frame.height} {frame.format.name}, "
              f"plane 0 sha1 {hashlib.sha1(luma).hexdigest()[:12]}")


if __name__ == "__main__":
    print(lumeq.__doc__)
    show_plugins()
    render_chain()
