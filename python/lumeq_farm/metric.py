"""Scores a frame range of a script's output for scene changes; run as a
subprocess by a farm worker, so each piece has a fresh environment:

    python -m lumeq_farm.metric -o N -a KEY=VALUE --start S --end E SCRIPT

prints one JSON list on standard output: for each frame n of S..E the mean
absolute difference (0..1) of its downscaled luma from frame n-1's, 0 for
frame 0.
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Sequence

import lumeq
from lumeq_pipe.host import Host, HostError, ScriptFailed, find_output, run_script

# Scores are taken on a picture of at most this width. Nearest-pixel
# subsampling keeps the mean absolute difference an unbiased estimate of the
# whole picture's; a smoothing resize would wash out fine texture and miss
# the cut between two textured scenes.
_SCORE_WIDTH = 256


def _luma(clip: lumeq.VideoNode, fmt: lumeq.VideoFormat) -> Any:
    core: Any = lumeq.core
    width = min(clip.width, _SCORE_WIDTH)
    height = max(1, round(clip.height * width / clip.width))
    if fmt.color_family == lumeq.ColorFamily.RGB:
        gray = core.query_video_format(lumeq.ColorFamily.GRAY, fmt.sample_type, fmt.bits_per_sample)
        return core.resize.Point(clip, width=width, height=height, format=gray.id, matrix_s="709")
    if fmt.color_family != lumeq.ColorFamily.GRAY:
        clip = core.std.ShufflePlanes(clip, planes=0, colorfamily=lumeq.ColorFamily.GRAY)
    if width == clip.width:
        return clip
    return core.resize.Point(clip, width=width, height=height)


def frame_differences(clip: lumeq.VideoNode, first: int, last: int) -> list[float]:
    """PlaneStatsDiff of each frame in first..last against the one before it."""
    if clip.format is None or clip.width == 0:
        raise HostError("scene detection needs a clip of constant format and size (--split fixed needs neither)")
    luma = _luma(clip, clip.format)
    previous = luma[max(first - 1, 0):last]
    current = luma[first:last + 1]
    if first == 0:
        # Frame 0 has nothing before it: compare it with itself.
        previous = luma[0] + previous
    stats = lumeq.core.std.PlaneStats(current, previous, plane=0)
    return [float(frame.props["PlaneStatsDiff"]) for frame in stats.frames()]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="lumeq_farm.metric")
    parser.add_argument("script")
    parser.add_argument("-o", "--output", type=int, default=0)
    parser.add_argument("-a", "--arg", action="append", default=[])
    parser.add_argument("--start", type=int, required=True)
    parser.add_argument("--end", type=int, required=True)
    opts = parser.parse_args(argv)
    try:
        with Host():
            run_script(opts.script, dict(item.partition("=")[::2] for item in opts.arg))
            output = find_output(opts.output)
            if isinstance(output, lumeq.AudioNode):
                raise HostError(f"output {opts.output} is audio: scenes are found in video (use --split fixed)")
            diffs = frame_differences(output.clip, opts.start, opts.end)
    except ScriptFailed as exc:
        sys.stderr.write(exc.format())
        return 1
    except (HostError, RuntimeError) as exc:
        sys.stderr.write(f"lumeq-farm: scene detection: {exc}\n")
        return 1
    json.dump(diffs, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
