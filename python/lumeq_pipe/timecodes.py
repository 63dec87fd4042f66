"""Frame timing: v2 timecode files, and spotting a rate that is only nominal."""
from __future__ import annotations

from fractions import Fraction
from typing import Any, Mapping, TextIO

_NS_PER_SECOND = 10**9


class TimingError(Exception):
    """A frame's start time cannot be known."""


def frame_duration(props: Mapping[str, Any]) -> Fraction | None:
    """The frame's duration in seconds, or None when it does not say."""
    num, den = props.get("_DurationNum"), props.get("_DurationDen")
    if not isinstance(num, int) or not isinstance(den, int) or num <= 0 or den <= 0:
        return None
    return Fraction(num, den)


def format_milliseconds(seconds: Fraction) -> str:
    """`seconds` in milliseconds with six decimals, rounded once from the
    exact value, so no error builds up over a long clip."""
    ns = round(seconds * _NS_PER_SECOND)
    return f"{ns // 10**6}.{ns % 10**6:06d}"


class FrameClock:
    """Follows the written frames' durations: their start times, and whether
    they keep to the clip's nominal rate."""

    def __init__(self, fps: Fraction, timecodes: TextIO | None) -> None:
        self.nominal = Fraction(fps.denominator, fps.numerator) if fps.numerator > 0 else None
        # The start of the next frame; kept only for a timecode file.
        self.elapsed = Fraction(0)
        self.varies = False
        self._timecodes = timecodes
        if timecodes is not None:
            timecodes.write("# timecode format v2\n")

    def advance(self, frame_number: int, props: Mapping[str, Any]) -> None:
        """Accounts for the next written frame; TimingError when neither the
        frame nor the clip gives its duration."""
        num, den = props.get("_DurationNum"), props.get("_DurationDen")
        nominal = self.nominal
        if type(num) is int and type(den) is int and num > 0 and den > 0:
            # Compared crosswise in integers: a Fraction per frame costs microseconds.
            if nominal is None or num * nominal.denominator != den * nominal.numerator:
                self.varies = True
            if self._timecodes is None:
                return
            duration = Fraction(num, den)
        else:
            given = frame_duration(props)
            if given is not None:
                self.varies = self.varies or given != nominal
                duration = given
            elif nominal is not None:
                duration = nominal
            else:
                raise TimingError(f"frame {frame_number} has no _DurationNum/_DurationDen and the clip's rate varies")
            if self._timecodes is None:
                return
        self._timecodes.write(format_milliseconds(self.elapsed) + "\n")
        self.elapsed += duration

    def write_end(self) -> None:
        """Writes the time the last written frame ends, after its start time."""
        if self._timecodes is not None:
            self._timecodes.write(format_milliseconds(self.elapsed) + "\n")
