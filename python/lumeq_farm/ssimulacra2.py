"""The mean SSIMULACRA2 score of a distorted file against its reference, through
the vszip plugin; run as `python -m lumeq_farm.ssimulacra2 REF DIST [SELECT]`,
its own process, so a plugin fault cannot take a Dask worker with it."""
from __future__ import annotations

import re
import sys
from typing import Any, Sequence



def _plugin(core: Any, namespace: str) -> Any:
    return next((p for p in core.plugins() if p.namespace == namespace), None)


def _selected(clip: Any, select: str) -> Any:
    """The frames an ffmpeg `select=lt(mod(n,EVERY),RUN)` sample keeps."""
    found = re.search(r"mod\(n\\?,(\d+)\)\\?,(\d+)\)", select)
    if found is None:
        raise SystemExit(f"an unknown sample filter: {select}")
    every, run = int(found.group(1)), int(found.group(2))
    pieces = [clip[start:min(start + run, clip.num_frames)] for start in range(0, clip.num_frames, every)]
    whole = pieces[0]
    for piece in pieces[1:]:
        whole = whole + piece
    return whole


def _as_rgb(core: Any, clip: Any) -> Any:
    import lumeq
    family = clip.format.color_family
    if family == lumeq.ColorFamily.RGB:
        return core.resize.Point(clip, format=lumeq.PresetVideoFormat.RGBS)
    return core.resize.Bicubic(clip, format=lumeq.PresetVideoFormat.RGBS, matrix_in_s="709")


def score(reference: str, distorted: str, select: str | None) -> float:
    from lumeq import core
    ref = core.bs.VideoSource(reference, cachemode=0)
    dist = core.bs.VideoSource(distorted, cachemode=0)
    if select is not None:
        ref = _selected(ref, select)
    if ref.num_frames != dist.num_frames:
        raise SystemExit(f"{distorted} holds {dist.num_frames} frames, its reference {ref.num_frames}")
    measured = core.vszip.SSIMULACRA2(_as_rgb(core, ref), _as_rgb(core, dist))
    total = 0.0
    for frame in measured.frames():
        props = frame.props
        total += float(props["SSIMULACRA2"] if "SSIMULACRA2" in props else props["_SSIMULACRA2"])
    return total / int(measured.num_frames)


def main(argv: Sequence[str]) -> int:
    if list(argv) == ["--check"]:
        from lumeq import core
        return 0 if _plugin(core, "vszip") is not None and _plugin(core, "bs") is not None else 1
    if len(argv) not in (2, 3):
        sys.stderr.write("usage: python -m lumeq_farm.ssimulacra2 REFERENCE DISTORTED [SELECT]\n")
        return 2
    print(f"{score(argv[0], argv[1], argv[2] if len(argv) == 3 else None):.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
