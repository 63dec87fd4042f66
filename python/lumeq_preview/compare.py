"""Comparing two outputs at one frame: an amplified difference image of what
is displayed, and PSNR and the largest difference over the clips' own samples."""
from __future__ import annotations

import math
from typing import Any

import lumeq

from .session import VideoOutput

# |A - B| is multiplied by this in the difference image, so that small
# differences show; PSNR and the largest difference say how large they are.
AMPLIFY = 8


class NotComparable(Exception):
    """The two outputs cannot be compared sample by sample; the text says why."""


def check_comparable(a: VideoOutput, b: VideoOutput) -> lumeq.VideoFormat:
    ca, cb = a.clip, b.clip
    if (ca.width, ca.height) != (cb.width, cb.height):
        raise NotComparable(f"outputs {a.index} and {b.index} differ in size: "
                            f"{ca.width}x{ca.height} and {cb.width}x{cb.height}")
    if ca.format is None or cb.format is None or ca.width == 0:
        raise NotComparable(f"outputs {a.index} and {b.index} cannot be compared: a format or size varies")
    if ca.format.id != cb.format.id:
        raise NotComparable(f"outputs {a.index} and {b.index} differ in format: {ca.format.name} and {cb.format.name}")
    return ca.format


async def difference_frame(a: VideoOutput, b: VideoOutput, n: int) -> lumeq.VideoFrame:
    """|A - B| of the displayed RGB, amplified."""
    check_comparable(a, b)
    shown_a = await a.display.converted_for(n)
    shown_b = await b.display.converted_for(n)
    difference: lumeq.VideoNode = a.core.std.Expr([shown_a, shown_b], f"x y - abs {AMPLIFY} *")
    return await difference.get_frame_async(n)


async def compare_stats(a: VideoOutput, b: VideoOutput, n: int) -> dict[str, Any]:
    """Per plane: mean squared and largest difference; overall PSNR."""
    fmt = check_comparable(a, b)
    core = a.core
    squares_format = core.query_video_format(fmt.color_family, lumeq.SampleType.FLOAT, 32,
                                             fmt.subsampling_w, fmt.subsampling_h)
    squares = core.std.Expr([a.clip, b.clip], "x y - dup *", format=squares_format.id)
    for plane in range(fmt.num_planes):
        squares = squares.std.PlaneStats(plane=plane, prop=f"Plane{plane}")
    props = (await squares.get_frame_async(n)).props
    planes = []
    total_error = 0.0
    total_samples = 0
    for plane in range(fmt.num_planes):
        sub_w, sub_h = (fmt.subsampling_w, fmt.subsampling_h) if plane else (0, 0)
        samples = (a.clip.width >> sub_w) * (a.clip.height >> sub_h)
        mse = float(props[f"Plane{plane}Average"])
        planes.append({"mse": mse, "max_difference": math.sqrt(float(props[f"Plane{plane}Max"]))})
        total_error += mse * samples
        total_samples += samples
    mse = total_error / total_samples
    peak = 1.0 if fmt.sample_type == lumeq.SampleType.FLOAT else float((1 << fmt.bits_per_sample) - 1)
    return {"frame": n, "psnr": 10 * math.log10(peak * peak / mse) if mse > 0 else None,
            "identical": mse == 0, "max_difference": max(p["max_difference"] for p in planes),
            "planes": planes, "amplification": AMPLIFY}
