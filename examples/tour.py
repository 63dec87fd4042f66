"""lumeq the way scripts are written: positional arguments, filters called
on the clip, format constants, wrappers whose None means "the filter's own
default", and paths as pathlib objects."""
import inspect
import pathlib

import lumeq
from lumeq import core

def bars(width, height, length=None):
    # BlankClip(clip, width, height, format, ...): bound in order, as written.
    return core.std.BlankClip(None, width, height, lumeq.YUV420P8, length=length, color=[81, 90, 240])


def soften(clip, radius=None, passes=None):
    # None leaves the argument out, so the filter keeps its own default.
    return clip.std.BoxBlur(hradius=radius, vradius=radius, hpasses=passes, vpasses=passes)


def tag(clip, source):
    return clip.std.SetFrameProps(source=pathlib.Path(source))


def main():
    print(f"{core.version().splitlines()[0]} (core {core.version_number()})")
    print("std.Trim", inspect.signature(core.std.Trim))
    queried = core.query_video_format(lumeq.ColorFamily.YUV, lumeq.SampleType.INTEGER, 10, 1, 1)
    print(f"{queried.name} == lumeq.YUV420P10: {lumeq.YUV420P10 == queried.id}\n")

    clip = bars(640, 360, length=48)
    clip = clip.std.Trim(4, 27)                        # first=4, last=27
    clip = soften(clip, radius=2) + soften(clip)[:4]   # the second keeps BoxBlur's defaults
    clip = clip.resize.Bicubic(320, 180)               # ≡ core.resize.Bicubic(clip, 320, 180)
    clip = tag(clip, pathlib.Path("sources") / "bars.mkv")

    frame = clip.get_frame(0)
    print(clip)
    print(f"format {clip.format.name} (id {clip.format.id:#x}), {len(clip)} frames")
    print(f"frame 0: {frame.width}x{frame.height}, source prop {frame.props['source']!r}")
    print("namespaces on the clip:", ", ".join(n for n in dir(clip) if not n.startswith("_") and
                                               isinstance(getattr(clip, n), lumeq.Plugin)))


if __name__ == "__main__":
    main()
