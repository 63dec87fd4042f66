"""Scene changes: scoring pieces of the range on workers, finding the cuts,
turning scenes into chunks, and the scenes.json file."""
from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from typing import Any, Sequence

from .chunks import ChunkFailed, Job, tail_lines, worker_slot, write_atomically

# The default threshold, in percent of the largest possible change: the
# convention of ffmpeg's scdet filter, whose cuts the detection should find.
DEFAULT_THRESHOLD = 10.0

# Frames a scoring task covers at least: each task starts the script afresh.
_MIN_PIECE = 2000
_MAX_PIECE = 20000


class ScenesError(Exception):
    """A scenes file that cannot be used; the text says why."""


def score_piece(job: Job, first: int, last: int) -> list[float]:
    """Runs in a Dask worker: the frame differences of first..last."""
    command = [sys.executable, "-m", "lumeq_farm.metric", "-o", str(job.output), "--start", str(first),
               "--end", str(last)]
    for item in job.script_args:
        command += ["-a", item]
    with worker_slot(job):
        done = subprocess.run(command + [job.script], stdin=subprocess.DEVNULL, capture_output=True, check=False)
    if done.returncode != 0:
        raise ChunkFailed(f"scoring frames {first}..{last} failed: {tail_lines(done.stderr)}")
    diffs = json.loads(done.stdout)
    if len(diffs) != last - first + 1:
        raise ChunkFailed(f"scoring frames {first}..{last} gave {len(diffs)} scores")
    return [float(d) for d in diffs]


def score_pieces(first: int, last: int, workers: int) -> list[tuple[int, int]]:
    """Inclusive ranges splitting first..last into about two tasks per worker."""
    frames = last - first + 1
    size = min(_MAX_PIECE, max(_MIN_PIECE, math.ceil(frames / (2 * max(workers, 1)))))
    return [(start, min(start + size - 1, last)) for start in range(first, last + 1, size)]


def find_cuts(diffs: Sequence[float], threshold: float = DEFAULT_THRESHOLD) -> list[int]:
    """Positions (into `diffs`, never 0) where a new scene starts.

    A frame's score is the smaller of its difference from the frame before
    and how much that difference jumped from the one before it, so steady
    motion (large differences, all alike) is not taken for a cut."""
    cuts = []
    for n in range(1, len(diffs)):
        score = 100.0 * min(diffs[n], abs(diffs[n] - diffs[n - 1]))
        if score >= threshold:
            cuts.append(n)
    return cuts


def scenes_from_cuts(cuts: Sequence[int], frames: int) -> list[tuple[int, int]]:
    bounds = [0, *cuts, frames]
    return [(a, b) for a, b in zip(bounds, bounds[1:]) if b > a]


def chunks_from_scenes(scenes: Sequence[tuple[int, int]], min_frames: int,
                       max_frames: int) -> list[tuple[int, int]]:
    """Chunks (start, end exclusive) cut only at scene starts where a cut
    leaves at least `min_frames` on both sides, then any chunk longer than
    `max_frames` split evenly. A list already within the bounds comes back
    as it was."""
    if not scenes:
        return []
    frames = scenes[-1][1]
    kept = [0]
    for start, _ in scenes[1:]:
        if start - kept[-1] >= min_frames:
            kept.append(start)
    if len(kept) > 1 and frames - kept[-1] < min_frames:
        kept.pop()
    chunks = []
    for a, b in zip(kept, kept[1:] + [frames]):
        chunks.extend(_split_evenly(a, b, max_frames))
    return chunks


def _split_evenly(start: int, end: int, max_frames: int) -> list[tuple[int, int]]:
    parts = math.ceil((end - start) / max_frames)
    bounds = [start + (end - start) * i // parts for i in range(parts + 1)]
    return list(zip(bounds, bounds[1:]))


def write_scenes(path: str, frames: int, scenes: Sequence[tuple[int, int]]) -> None:
    write_atomically(path, json.dumps({"frames": frames, "scenes": [list(s) for s in scenes]}) + "\n")


def read_scenes(path: str, frames: int) -> list[tuple[int, int]]:
    """A scenes file's list, checked: in order, no gaps, covering [0, frames)."""
    try:
        with open(path) as f:
            data = json.load(f)
    except OSError as exc:
        raise ScenesError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise ScenesError(f"{path} is not JSON: {exc}") from None
    if not isinstance(data, dict) or not isinstance(data.get("scenes"), list):
        raise ScenesError(f'{path}: expected {{"frames": N, "scenes": [[start, end], ...]}}')
    if data.get("frames") != frames:
        raise ScenesError(f"{path} is for {data.get('frames')} frames; the range to render has {frames}")
    scenes = [_scene(item, path) for item in data["scenes"]]
    position = 0
    for start, end in scenes:
        if start != position or end <= start:
            raise ScenesError(f"{path}: scene [{start}, {end}] does not start where the one before ends "
                              f"({position}) or is empty")
        position = end
    if position != frames:
        raise ScenesError(f"{path}: the scenes end at {position}, not at {frames}")
    return scenes


def _scene(item: Any, path: str) -> tuple[int, int]:
    if (not isinstance(item, list) or len(item) != 2
            or not all(isinstance(v, int) and not isinstance(v, bool) for v in item)):
        raise ScenesError(f"{path}: a scene is [start, end] in frames, got {json.dumps(item)}")
    return item[0], item[1]


def scenes_path(work_dir: str) -> str:
    return os.path.join(work_dir, "scenes.json")
