"""Variable frame rate: the script's frame times, gathered from the chunks, and
the packet-timestamp filter that gives them to the joined file.

Each chunk is encoded at the clip's nominal rate (Y4M carries no times); its
lumeq-pipe run writes the frames' start times and the last one's end. The join
maps each packet's nominal frame number onto the script's time for it: a
monotonic map, so decode order and B-frame reordering stay valid."""
from __future__ import annotations

import os
from fractions import Fraction
from typing import Sequence

from .chunks import ChunkFailed, ChunkResult, timecodes_path

_NS = 10**9
# ffmpeg takes a filter's options as one argument; the kernel caps one at 128 KiB.
_EXPRESSION_LIMIT = 120_000


def _read_times(path: str) -> list[int]:
    """A chunk's start times and its end, in nanoseconds from its first frame."""
    try:
        with open(path, encoding="ascii") as f:
            lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    except OSError as exc:
        raise ChunkFailed(f"a chunk's frame times are missing ({exc.strerror}): {path}; render it again") from None
    times = []
    for line in lines:
        whole, _, fraction = line.partition(".")
        times.append(int(whole) * 10**6 + int((fraction + "000000")[:6]))
    return times


def frame_times(chunks: Sequence[ChunkResult]) -> list[int]:
    """Every frame's start time in the joined file, then its end, in ns."""
    joined: list[int] = []
    offset = 0
    for chunk in chunks:
        times = _read_times(timecodes_path(chunk.path))
        if len(times) != chunk.frames + 1:
            raise ChunkFailed(f"{timecodes_path(chunk.path)} holds {len(times) - 1} frame times, "
                              f"expected {chunk.frames}")
        joined += [offset + t for t in times[:-1]]
        offset += times[-1]
    return joined + [offset]


def times_present(chunks: Sequence[ChunkResult]) -> bool:
    return bool(chunks) and all(os.path.exists(timecodes_path(c.path)) for c in chunks)


def nominal_ns(k: int, rate: Fraction) -> int:
    """Frame k's start at the nominal rate, in ns, rounded half to even as
    lumeq-pipe rounds its times: in integers, as a Fraction a frame costs
    microseconds."""
    whole, rest = divmod(k * _NS * rate.denominator, rate.numerator)
    if 2 * rest > rate.numerator or (2 * rest == rate.numerator and whole & 1):
        whole += 1
    return whole


def is_constant(times: Sequence[int], rate: Fraction) -> bool:
    """Whether every frame starts where the nominal rate puts it (to the ns)."""
    return all(t == nominal_ns(k, rate) for k, t in enumerate(times))


def chunk_keeps_rate(path: str, rate: Fraction) -> bool | None:
    """Whether a chunk's frames keep to the nominal rate, timed from its own
    first frame (None: no rate, or no times written)."""
    times = timecodes_path(path)
    if rate <= 0 or not os.path.exists(times):
        return None
    return is_constant(_read_times(times), rate)


def keeps_nominal_rate(chunks: Sequence[ChunkResult], rate: Fraction) -> bool:
    """Whether the joined frames keep to the nominal rate. Checked chunk by
    chunk: each chunk's times are rounded from its own first frame, so the
    joined list is up to half a nanosecond per chunk off the rate's even at
    a constant 24000/1001. A chunk made by this version says so itself."""
    return all(bool(c.constant_rate if c.constant_rate is not None else chunk_keeps_rate(c.path, rate))
               for c in chunks)


def _segments(times: Sequence[int]) -> list[tuple[int, int, int]]:
    """Runs of frames of one duration: (first frame, its start, the duration)."""
    runs: list[tuple[int, int, int]] = []
    for k in range(len(times) - 1):
        duration = times[k + 1] - times[k]
        if not runs or runs[-1][2] != duration or runs[-1][1] + (k - runs[-1][0]) * duration != times[k]:
            runs.append((k, times[k], duration))
    return runs


def _piecewise(runs: Sequence[tuple[int, int, int]]) -> str:
    """An expression of ld(0), the nominal frame number, that picks its run by
    halving, so it stays shallow and short for any number of runs."""
    if len(runs) == 1:
        first, start, duration = runs[0]
        return f"({start}+(ld(0)-{first})*{duration})"
    middle = len(runs) // 2
    return f"if(lt(ld(0),{runs[middle][0]}),{_piecewise(runs[:middle])},{_piecewise(runs[middle:])})"


def setts_filter(times: Sequence[int], rate: Fraction) -> str:
    """The setts bitstream filter that gives each packet its frame's time and
    duration, to the stream's time base. Time stamps before the first frame (decode times of
    reordered streams) follow the first run backwards; past the last, the last."""
    runs = _segments(times)
    body = _piecewise(runs)
    if 3 * len(body) > _EXPRESSION_LIMIT:
        raise ChunkFailed(f"the frames' durations change {len(runs)} times, more than ffmpeg's time stamp "
                          "filter takes at once; use fewer, longer chunks or a constant-rate script")

    def frame_number(ts: str) -> str:
        # Stamps are whole nominal frames apart, so rounding finds the frame.
        return f"st(0,round({ts}*TB*{rate.numerator}/{rate.denominator}))"

    # The stream keeps its time base (a muxer takes no other from a copied stream).
    ticks = f"round(({body})/({_NS}*TB))"

    def mapped(ts: str) -> str:
        return f"if(eq({ts},NOPTS),NOPTS,{frame_number(ts)};{ticks})"
    duration = f"{frame_number('PTS')};st(1,{ticks});st(0,ld(0)+1);{ticks}-ld(1)"
    return f"setts=pts='{mapped('PTS')}':dts='{mapped('DTS')}':duration='{duration}'"
