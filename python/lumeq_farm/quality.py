"""Target quality: probe a chunk's sample at a few quantizers, choose the one
with the fewest bits that meets the target, encode, and measure the whole chunk."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass, replace

from .chunks import ChunkFailed, Job, run_pipeline, tail_lines
from .encoders import Preset

MAX_PROBES = 4
# A chunk's score may fall this far short of the target before it is encoded again.
TOLERANCE = 0.01

_RANGES = {"psnr": (0.0, 100.0), "ssim": (0.0, 1.0), "ssimulacra2": (-100.0, 100.0)}
_SAMPLE_RUN = 8          # frames in a row in the sample, so motion is probed too
_WHOLE_BELOW = 48        # chunks this short are probed whole


class TargetError(Exception):
    """A --target-quality that cannot be used; the text says why."""


@dataclass(frozen=True)
class Target:
    metric: str
    value: float
    preset: Preset


def parse_target(text: str) -> tuple[str, float]:
    metric, sep, value = text.partition(":")
    metric = metric.strip().lower()
    if not sep or metric not in _RANGES:
        raise TargetError(f"--target-quality is METRIC:VALUE with METRIC one of {', '.join(_RANGES)}; got {text!r}")
    try:
        number = float(value)
    except ValueError:
        raise TargetError(f"--target-quality {text!r}: {value!r} is not a number") from None
    low, high = _RANGES[metric]
    if not low < number <= high:
        raise TargetError(f"--target-quality {metric} is above {low:g} and at most {high:g}; got {number:g}")
    if metric == "ssimulacra2" and not ssimulacra2_available():
        raise TargetError("--target-quality ssimulacra2 needs the vszip plugin (pip install vapoursynth-vszip)")
    return metric, number


def ssimulacra2_available() -> bool:
    done = subprocess.run([sys.executable, "-m", "lumeq_farm.ssimulacra2", "--check"], capture_output=True,
                          check=False)
    return done.returncode == 0


def _run(argv: list[str], what: str) -> str:
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, check=False)
    if done.returncode != 0:
        raise ChunkFailed(f"{what} exited with status {done.returncode}: {tail_lines(done.stderr)}")
    return done.stderr.decode("utf-8", "replace") + done.stdout.decode("utf-8", "replace")


# The chunk, rendered once losslessly: every probe, the final encode and the
# measurement read it instead of running the script again.
_LOSSLESS = "ffmpeg -v error -y -f yuv4mpegpipe -i - -map 0:v:0 -c:v ffv1 -level 3 -slices 4 {out}"


def sample_filter(frames: int) -> str | None:
    """Runs of frames spread over the chunk, about a quarter of it (None: the
    whole chunk), renumbered so that the encoder sees a steady rate."""
    if frames <= _WHOLE_BELOW:
        return None
    every = max(_SAMPLE_RUN, round(_SAMPLE_RUN * frames / max(_WHOLE_BELOW, frames // 4)))
    return f"select=lt(mod(n\\,{every})\\,{_SAMPLE_RUN}),setpts=N/FRAME_RATE/TB"


def measure(metric: str, distorted: str, reference: str, sample: str | None = None) -> float:
    """The score of `distorted` against `reference` over the chunk (or the sample)."""
    if metric == "ssimulacra2":
        argv = [sys.executable, "-m", "lumeq_farm.ssimulacra2", reference, distorted]
        if sample is not None:
            argv.append(sample)
        return float(_run(argv, "the ssimulacra2 measurement").split()[-1])
    ref = f"[1:v]{sample}[ref]" if sample else "[1:v]null[ref]"
    graph = f"{ref};[0:v][ref]{metric}"
    text = _run(["ffmpeg", "-hide_banner", "-nostats", "-v", "info", "-i", distorted, "-i", reference,
                 "-lavfi", graph, "-f", "null", "-"], f"the {metric} measurement")
    pattern = r"average:(inf|[\d.]+)" if metric == "psnr" else r"All:(inf|[\d.]+)"
    found = re.findall(pattern, text)
    if not found:
        raise ChunkFailed(f"ffmpeg's {metric} filter reported no score: {text.strip()[-300:]}")
    # Identical pictures have an infinite PSNR; any score a target can ask for is below it.
    return 100.0 if found[-1] == "inf" else float(found[-1])


def _encode(preset: Preset, q: float, source: str, out: str, sample: str | None) -> int:
    argv = preset.command(q, source=("-i", source), filters=sample)
    _run([out if token == "{out}" else token for token in argv], "the encoder")
    return os.path.getsize(out)


@dataclass
class _Probe:
    q: float
    score: float
    path: str


class QuantizerSearch:
    """Scores rise as the quantizer falls; finds the highest quantizer whose
    score meets the target, from at most MAX_PROBES probes."""

    def __init__(self, preset: Preset, target: float) -> None:
        codec = preset.codec
        self.low, self.high = codec.quality_range
        self.step = (self.high - self.low) / 8
        self.resolution = 0.25 if codec.fractional else 1.0
        self.start = preset.quality
        self.target = target
        self.probes: list[_Probe] = []

    def _snap(self, q: float) -> float:
        q = min(max(q, self.low), self.high)
        return round(q / self.resolution) * self.resolution

    def _bracket(self) -> tuple[_Probe | None, _Probe | None]:
        meets = [p for p in self.probes if p.score >= self.target]
        fails = [p for p in self.probes if p.score < self.target]
        best = max(meets, key=lambda p: p.q) if meets else None
        worst = min((p for p in fails if best is None or p.q > best.q), key=lambda p: p.q, default=None)
        return best, worst

    def _crossing(self, a: _Probe, b: _Probe) -> float | None:
        if a.score == b.score:
            return None
        return a.q + (self.target - a.score) * (b.q - a.q) / (b.score - a.score)

    def next_q(self) -> float | None:
        """The next quantizer to probe, or None when the search is done."""
        if not self.probes:
            return self._snap(self.start)
        if len(self.probes) >= MAX_PROBES:
            return None
        meets, fails = self._bracket()
        tried = {p.q for p in self.probes}
        if meets is not None and fails is not None:
            if fails.q - meets.q <= self.resolution:
                return None
            guess = self._crossing(meets, fails)
            guess = (meets.q + fails.q) / 2 if guess is None else guess
            q = self._snap(min(max(guess, meets.q + self.resolution), fails.q - self.resolution))
        else:
            edge = meets if meets is not None else fails
            assert edge is not None
            direction = 1 if meets is not None else -1
            q = self._snap(edge.q + direction * self._extrapolated_step(edge, direction))
        return None if q in tried else q

    def _extrapolated_step(self, edge: _Probe, direction: int) -> float:
        others = [p for p in self.probes if p is not edge]
        if others:
            other = max(others, key=lambda p: -abs(p.q - edge.q))
            crossing = self._crossing(other, edge)
            if crossing is not None and (crossing - edge.q) * direction > 0:
                # A little past the crossing, so that the next probe brackets it.
                return min(abs(crossing - edge.q) * 1.25 + self.resolution, 2 * self.step)
        return self.step

    def choice(self) -> float:
        """The highest quantizer predicted to meet the target."""
        meets, fails = self._bracket()
        if meets is None:
            return min(p.q for p in self.probes)
        if fails is None:
            return meets.q
        guess = self._crossing(meets, fails)
        if guess is None:
            return meets.q
        steps = int((guess - meets.q) // self.resolution)
        return min(meets.q + max(steps, 0) * self.resolution, fails.q - self.resolution)


def encode_to_target(job: Job, first: int, last: int, temp: str, path: str) -> tuple[float, float]:
    """Encodes frames first..last into `temp` at the quantizer the target asks
    for; returns that quantizer and the whole chunk's measured score."""
    target = job.target
    assert target is not None
    root = os.path.splitext(temp)[0]
    source = root + ".source.mkv"
    run_pipeline(replace(job, encoder=_LOSSLESS, target=None), first, last, source, path)
    made: list[str] = [source]
    try:
        return _search_and_encode(target, source, temp, root, last - first + 1, made)
    finally:
        for path in made:
            if os.path.exists(path) and path != temp:
                os.unlink(path)


def _search_and_encode(target: Target, source: str, temp: str, root: str, frames: int,
                       made: list[str]) -> tuple[float, float]:
    preset = target.preset
    sample = sample_filter(frames)
    search = QuantizerSearch(preset, target.value)
    while (q := search.next_q()) is not None:
        probe = f"{root}.probe{len(search.probes)}{preset.container}"
        made.append(probe)
        _encode(preset, q, source, probe, sample)
        search.probes.append(_Probe(q, measure(target.metric, probe, source, sample), probe))
    q = search.choice()
    whole = sample is None
    for attempt in range(3):
        reused = next((p for p in search.probes if p.q == q), None) if whole else None
        if reused is not None:
            os.replace(reused.path, temp)
            score = reused.score
        else:
            _encode(preset, q, source, temp, None)
            score = measure(target.metric, temp, source)
        # The sample stands for the chunk; when the chunk disagrees, a step back.
        if score >= target.value * (1 - TOLERANCE) or q <= search.low or attempt == 2:
            return q, score
        q = search._snap(q - max(search.resolution, search.step / 4))
    raise AssertionError("unreachable")
