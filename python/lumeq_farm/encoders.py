"""Encoder presets: the ffmpeg command that encodes one chunk, per codec and container."""
from __future__ import annotations

import functools
import os
import shlex
import subprocess
from dataclasses import dataclass

_X26X_PRESETS = ("ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower",
                 "veryslow", "placebo")


@dataclass(frozen=True)
class Codec:
    """One --encoder preset: an ffmpeg library and how its quality and speed are set."""
    name: str
    library: str
    format: str                       # the bitstream: h264, hevc, av1
    quality_option: str
    quality_range: tuple[int, int]    # lowest value = best quality
    default_quality: float
    fractional: bool                  # the library takes a fractional quality
    speed_option: str
    presets: tuple[str, ...]
    default_preset: str
    extra: tuple[str, ...] = ()


def _numbers(low: int, high: int) -> tuple[str, ...]:
    return tuple(str(n) for n in range(low, high + 1))


CODECS: dict[str, Codec] = {codec.name: codec for codec in (
    Codec("x264", "libx264", "h264", "-crf", (0, 51), 23, True, "-preset", _X26X_PRESETS, "medium"),
    Codec("x265", "libx265", "hevc", "-crf", (0, 51), 28, True, "-preset", _X26X_PRESETS, "medium",
          ("-x265-params", "log-level=error")),
    Codec("svt-av1", "libsvtav1", "av1", "-crf", (1, 63), 35, False, "-preset", _numbers(0, 13), "8"),
    # Without -b:v 0, libaom treats the crf as a cap over a default bitrate.
    Codec("aom", "libaom-av1", "av1", "-crf", (0, 63), 32, False, "-cpu-used", _numbers(0, 8), "6",
          ("-b:v", "0", "-row-mt", "1")),
    Codec("rav1e", "librav1e", "av1", "-qp", (0, 255), 100, False, "-speed", _numbers(0, 10), "6"),
)}

# The containers OUT's extension may name, and the bitstreams each carries.
CONTAINERS: dict[str, frozenset[str]] = {
    ".mkv": frozenset({"h264", "hevc", "av1"}),
    ".mp4": frozenset({"h264", "hevc", "av1"}),
    ".webm": frozenset({"av1"}),
    ".ivf": frozenset({"av1"}),
}


class PresetError(Exception):
    """An encoder preset cannot be used as asked; the text says why."""


@dataclass(frozen=True)
class Preset:
    codec: Codec
    quality: float
    speed: str
    container: str                  # OUT's extension
    extra_args: tuple[str, ...] = ()

    def command(self, quality: float | None = None, *, source: tuple[str, ...] = ("-f", "yuv4mpegpipe", "-i", "-"),
                filters: str | None = None) -> list[str]:
        """The ffmpeg argv that encodes `source` (default: Y4M on standard
        input) into {out}. Each chunk is a stream of its own, so its first
        frame is a key frame; the encoder's own scene-cut key frames stay on."""
        codec = self.codec
        value = self.quality if quality is None else quality
        argv = ["ffmpeg", "-v", "error", "-y", *source, "-map", "0:v:0"]
        if filters:
            argv += ["-vf", filters]
        argv += ["-c:v", codec.library, codec.quality_option, format_quality(codec, value),
                 codec.speed_option, self.speed, *codec.extra]
        if codec.format in ("h264", "hevc"):
            # The joined file's header keeps only the first chunk's parameter
            # sets; each chunk carries its own in the stream too, in case
            # another quantizer or option made them differ.
            argv += ["-bsf:v", "dump_extra=freq=keyframe"]
        if self.container == ".mp4":
            # A time base in which the common rates' frames (and a variable
            # rate's times, given back at the join) are whole ticks.
            argv += ["-video_track_timescale", "120000"]
            if codec.format == "hevc":
                argv += ["-tag:v", "hvc1"]
        return argv + list(self.extra_args) + ["{out}"]

    def command_text(self) -> str:
        return shlex.join(self.command())


def format_quality(codec: Codec, value: float) -> str:
    if codec.fractional:
        return f"{round(value, 2):g}"
    return str(int(round(value)))


@functools.cache
def available_libraries() -> frozenset[str]:
    """The video encoders this machine's ffmpeg was built with."""
    try:
        done = subprocess.run(["ffmpeg", "-hide_banner", "-encoders"], capture_output=True, text=True, check=False)
    except FileNotFoundError:
        raise PresetError("the encoder presets run ffmpeg, which is not installed") from None
    names = set()
    for line in done.stdout.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0].startswith("V"):
            names.add(fields[1])
    return frozenset(names)


def make_preset(name: str, out: str, quality: float | None, speed: str | None,
                extra_args: str | None = None) -> Preset:
    """Checks a preset against OUT's container and this machine's ffmpeg."""
    codec = CODECS[name]
    container = os.path.splitext(out)[1].lower()
    if container not in CONTAINERS:
        raise PresetError(f"--encoder {name} writes {', '.join(sorted(CONTAINERS))}; "
                          f"OUT {out!r} names none of them")
    if codec.format not in CONTAINERS[container]:
        allowed = ", ".join(sorted(ext for ext, formats in CONTAINERS.items() if codec.format in formats))
        raise PresetError(f"a {container} file cannot carry {codec.format.upper()} from --encoder {name}; "
                          f"use {allowed}")
    value = codec.default_quality if quality is None else quality
    low, high = codec.quality_range
    if not low <= value <= high or (not codec.fractional and value != int(value)):
        kind = "a number" if codec.fractional else "a whole number"
        raise PresetError(f"--crf for {name} is {kind} from {low} to {high}, got {value:g}")
    chosen = codec.default_preset if speed is None else speed
    if chosen not in codec.presets:
        raise PresetError(f"--preset for {name} is one of {', '.join(codec.presets)}; got {chosen!r}")
    if codec.library not in available_libraries():
        raise PresetError(f"--encoder {name} needs ffmpeg's {codec.library}, which this ffmpeg was built without")
    return Preset(codec, value, chosen, container, tuple(shlex.split(extra_args or "")))
