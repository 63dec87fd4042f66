"""Audio writing: WAVE (extensible), Sony Wave64 and raw interleaved samples."""
from __future__ import annotations

import struct
from typing import BinaryIO

import lumeq

from .encode import EncodeError

# Every audio frame but the last holds this many sample frames.
FRAME_SAMPLES = 3072

_RIFF_LIMIT = 0xFFFFFFFF
_FORMAT_EXTENSIBLE = 0xFFFE
_GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")
_PCM = b"\x01\x00" + _GUID_TAIL
_IEEE_FLOAT = b"\x03\x00" + _GUID_TAIL
# WAVE speaker positions are the first 18 channel positions, in the same order.
_WAVE_POSITIONS = (1 << 18) - 1

_W64_TAIL = bytes.fromhex("f3acd3118cd100c04f8edb8a")
_W64_RIFF = b"riff" + bytes.fromhex("2e91cf11a5d628db04c10000")
_W64_WAVE = b"wave" + _W64_TAIL
_W64_FMT = b"fmt " + _W64_TAIL
_W64_DATA = b"data" + _W64_TAIL


def sample_range(clip: lumeq.AudioNode, first: int, last: int) -> tuple[int, int]:
    """The sample frames [start, stop) that audio frames first..last hold."""
    return first * FRAME_SAMPLES, min((last + 1) * FRAME_SAMPLES, clip.num_samples)


def stored_width(clip: lumeq.AudioNode) -> int:
    """Bytes per sample in the file: 24-bit audio is packed into three."""
    return 3 if clip.bits_per_sample == 24 else clip.bytes_per_sample


def format_block(clip: lumeq.AudioNode) -> bytes:
    """A WAVEFORMATEXTENSIBLE description of the clip's samples."""
    width = stored_width(clip)
    channels = clip.num_channels
    layout = clip.format.channel_layout
    mask = layout if layout & ~_WAVE_POSITIONS == 0 else 0
    subformat = _IEEE_FLOAT if clip.sample_type == lumeq.SampleType.FLOAT else _PCM
    return struct.pack("<HHIIHHHHI", _FORMAT_EXTENSIBLE, channels, clip.sample_rate,
                       clip.sample_rate * channels * width, channels * width, width * 8, 22,
                       clip.bits_per_sample, mask) + subformat


class RawAudioWriter:
    """Interleaved samples, nothing else; the RawEncoder interface over audio frames."""

    def __init__(self, first: int, last: int) -> None:
        self.first, self.last = first, last
        self.width = 0
        self.data_size = 0
        self.written = 0
        self._samples = bytearray()

    def check(self, clip: lumeq.AudioNode) -> None:
        start, stop = sample_range(clip, self.first, self.last)
        self.width = stored_width(clip)
        self.data_size = (stop - start) * clip.num_channels * self.width
        # One frame's interleaved samples, reused for every frame.
        self._samples = bytearray(FRAME_SAMPLES * clip.num_channels * self.width)

    def header(self, clip: lumeq.AudioNode, first: lumeq.AudioFrame) -> bytes:
        return b""

    def write(self, out: BinaryIO, frame: lumeq.AudioFrame) -> int:
        size = frame._interleave_into(self._samples, 0, self.width)
        out.write(self._samples if size == len(self._samples) else memoryview(self._samples)[:size])
        self.written += size
        if self.written == self.data_size:
            # The container's alignment padding follows the last sample.
            out.write(self.trailer())
        return size

    def trailer(self) -> bytes:
        return b""


class WaveWriter(RawAudioWriter):
    """RIFF WAVE with WAVE_FORMAT_EXTENSIBLE; the sizes are known before rendering."""

    def check(self, clip: lumeq.AudioNode) -> None:
        super().check(clip)
        if 4 + 8 + 40 + 8 + self.data_size + (self.data_size & 1) > _RIFF_LIMIT:
            raise EncodeError(f"the audio ({self.data_size} bytes) exceeds the 4 GiB limit of WAV files; "
                              "write it with -c w64, or pick a shorter range with --start/--end")

    def header(self, clip: lumeq.AudioNode, first: lumeq.AudioFrame) -> bytes:
        fmt = format_block(clip)
        riff_size = 4 + 8 + len(fmt) + 8 + self.data_size + (self.data_size & 1)
        return (b"RIFF" + struct.pack("<I", riff_size) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
                + b"data" + struct.pack("<I", self.data_size))

    def trailer(self) -> bytes:
        return b"\0" * (self.data_size & 1)


class Wave64Writer(RawAudioWriter):
    """Sony Wave64: GUID chunk ids, 64-bit sizes, chunks aligned to 8 bytes."""

    def header(self, clip: lumeq.AudioNode, first: lumeq.AudioFrame) -> bytes:
        fmt = format_block(clip)
        fmt_chunk = _W64_FMT + struct.pack("<Q", 24 + len(fmt)) + fmt + b"\0" * (-len(fmt) % 8)
        total = 24 + 16 + len(fmt_chunk) + 24 + self.data_size + self._padding()
        return (_W64_RIFF + struct.pack("<Q", total) + _W64_WAVE + fmt_chunk
                + _W64_DATA + struct.pack("<Q", 24 + self.data_size))

    def _padding(self) -> int:
        return -self.data_size % 8

    def trailer(self) -> bytes:
        return b"\0" * self._padding()


AUDIO_WRITERS: dict[str, type[RawAudioWriter]] = {"wav": WaveWriter, "w64": Wave64Writer, "none": RawAudioWriter}

# The channel position names, by value.
_POSITION_NAMES = {int(member): name for name, member in vars(lumeq.AudioChannels).items()
                   if isinstance(member, lumeq.AudioChannels)}


def layout_names(channels: tuple[lumeq.AudioChannels, ...]) -> str:
    names = [_POSITION_NAMES.get(int(c), f"position {int(c)}") for c in channels]
    return ", ".join(names) or "none"


def describe_audio(index: int, clip: lumeq.AudioNode) -> str:
    kind = "float" if clip.sample_type == lumeq.SampleType.FLOAT else "integer"
    seconds = clip.num_samples / clip.sample_rate if clip.sample_rate else 0.0
    lines = [
        ("output", f"{index} (audio)"),
        ("sample rate", f"{clip.sample_rate} Hz"),
        ("channels", f"{clip.num_channels} ({layout_names(clip.channels)})"),
        ("sample type", f"{clip.bits_per_sample}-bit {kind}"),
        ("samples", str(clip.num_samples)),
        ("frames", str(clip.num_frames)),
        ("duration", f"{seconds:.3f} s"),
    ]
    return "".join(f"{key + ':':<13}{value}\n" for key, value in lines)
