"""Display conversion: a clip's frames as 8-bit RGB through VapourSynth's own
resizers, in the graph, and as PNG files.

The conversion is chosen per frame, from the frame's own properties, since
a script may tag frames differently; one converted clip is kept per choice.
"""
from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import Any, Mapping

import lumeq

MATRIX_UNSPECIFIED = 2
# Luma width from which an untagged clip is taken to be HD, as encoders assume.
HD_WIDTH = 1280
DITHER = "ordered"
DEFAULT_PNG_LEVEL = 1

_MATRIX_NAMES = {0: "RGB", 1: "BT.709", 4: "FCC", 5: "BT.470BG", 6: "BT.601 (ST 170M)", 7: "ST 240M",
                 8: "YCgCo", 9: "BT.2020 NCL", 10: "BT.2020 CL", 12: "chromaticity-derived NCL",
                 13: "chromaticity-derived CL", 14: "ICtCp"}


class NotDisplayable(Exception):
    """The clip's frames cannot be converted for display; the text says why."""


@dataclass(frozen=True)
class Conversion:
    """The resizer arguments for one frame, and what the page should say about them."""

    matrix_in_s: str | None
    range_in: int | None
    notes: tuple[str, ...]

    def arguments(self) -> dict[str, Any]:
        args: dict[str, Any] = {}
        if self.matrix_in_s is not None:
            args["matrix_in_s"] = self.matrix_in_s
        if self.range_in is not None:
            args["range_in"] = self.range_in
        return args


def check_displayable(clip: lumeq.VideoNode) -> lumeq.VideoFormat:
    fmt = clip.format
    if fmt is None or fmt.color_family == lumeq.ColorFamily.UNDEFINED:
        raise NotDisplayable("the clip's format varies from frame to frame; it cannot be shown")
    if clip.width == 0 or clip.height == 0:
        raise NotDisplayable("the clip's frame size varies from frame to frame; it cannot be shown")
    return fmt


def choose_conversion(fmt: lumeq.VideoFormat, width: int, props: Mapping[str, Any]) -> Conversion:
    """What the resizer needs beyond what it reads from the frame itself
    (_Matrix, _ColorRange, _ChromaLocation), and the notes for the page."""
    notes: list[str] = []
    matrix: str | None = None
    range_in: int | None = None
    family = fmt.color_family
    if family == lumeq.ColorFamily.YUV:
        tagged = props.get("_Matrix")
        if not isinstance(tagged, int) or tagged == MATRIX_UNSPECIFIED:
            matrix = "709" if width >= HD_WIDTH else "170m"
            reason = "absent" if tagged is None else "unspecified"
            notes.append(f"matrix {'BT.709' if matrix == '709' else 'BT.601'} assumed (_Matrix {reason})")
        else:
            notes.append(f"matrix {_MATRIX_NAMES.get(tagged, str(tagged))} (_Matrix)")
        if "_ColorRange" in props:
            notes.append("limited range (_ColorRange)" if props["_ColorRange"] == 1 else "full range (_ColorRange)")
        elif isinstance(props.get("_Range"), int):
            # _Range counts the other way round, as the resizer's own argument does.
            range_in = 1 if props["_Range"] == 1 else 0
            notes.append("full range (_Range)" if range_in == 1 else "limited range (_Range)")
        else:
            notes.append("limited range assumed (_ColorRange absent)")
    if fmt.sample_type == lumeq.SampleType.FLOAT:
        notes.append("float samples clamped to the 8-bit range")
    elif fmt.bits_per_sample > 8:
        notes.append(f"{fmt.bits_per_sample}-bit samples reduced to 8 bits, dithered ({DITHER})")
    return Conversion(matrix, range_in, tuple(notes))


def build_display_clip(clip: lumeq.VideoNode, fmt: lumeq.VideoFormat, conversion: Conversion) -> lumeq.VideoNode:
    """The clip as RGB24: GRAY as grey, RGB as it is, YUV through the matrix."""
    family = fmt.color_family
    eight_bit = fmt.sample_type == lumeq.SampleType.INTEGER and fmt.bits_per_sample == 8
    if family == lumeq.ColorFamily.RGB:
        return clip if eight_bit else clip.resize.Point(format=lumeq.RGB24, dither_type=DITHER)
    if family == lumeq.ColorFamily.GRAY:
        gray = clip if eight_bit else clip.resize.Point(format=lumeq.GRAY8, dither_type=DITHER)
        # One clip with three planes asked for repeats it for each.
        shown: lumeq.VideoNode = gray.std.ShufflePlanes(planes=[0, 0, 0], colorfamily=lumeq.ColorFamily.RGB)
        return shown
    shown = clip.resize.Bicubic(format=lumeq.RGB24, dither_type=DITHER, **conversion.arguments())
    return shown


@dataclass(frozen=True)
class Geometry:
    """A part of the frame (left, top, width, height in the frame's pixels)
    delivered at a size of its own, no larger: what a window shows of a
    frame, so that playback moves no more pixels than are seen."""

    left: int
    top: int
    width: int
    height: int
    out_width: int
    out_height: int

    def check(self, frame_width: int, frame_height: int) -> None:
        if self.width < 1 or self.height < 1 or self.left < 0 or self.top < 0 \
                or self.left + self.width > frame_width or self.top + self.height > frame_height:
            raise ValueError(f"the region {self.left},{self.top},{self.width},{self.height} is not inside "
                             f"the {frame_width}x{frame_height} frame")
        if not (1 <= self.out_width <= self.width and 1 <= self.out_height <= self.height):
            raise ValueError(f"the size {self.out_width},{self.out_height} must be at least 1 and at most "
                             f"the region's {self.width},{self.height}")


def fit_display_clip(shown: lumeq.VideoNode, geometry: Geometry) -> lumeq.VideoNode:
    """The displayed clip cut to the region, scaled down in the graph when asked."""
    g = geometry
    if (g.out_width, g.out_height) == (g.width, g.height):
        cut: lumeq.VideoNode = shown.std.CropAbs(width=g.width, height=g.height, left=g.left, top=g.top)
        return cut
    scaled: lumeq.VideoNode = shown.resize.Bilinear(width=g.out_width, height=g.out_height, src_left=g.left,
                                                    src_top=g.top, src_width=g.width, src_height=g.height)
    return scaled


class DisplayClip:
    """One output's display conversion: frame n as RGB24 plus the notes."""

    # A playback asks with one geometry until the window changes; a few are kept.
    FITTED_KEPT = 4

    def __init__(self, clip: lumeq.VideoNode) -> None:
        self.clip = clip
        self._converted: dict[tuple[str | None, int | None], lumeq.VideoNode] = {}
        self._fitted: dict[tuple[str | None, int | None, Geometry], lumeq.VideoNode] = {}

    def _converted_clip(self, fmt: lumeq.VideoFormat, conversion: Conversion) -> lumeq.VideoNode:
        key = (conversion.matrix_in_s, conversion.range_in)
        node = self._converted.get(key)
        if node is None:
            node = self._converted[key] = build_display_clip(self.clip, fmt, conversion)
        return node

    async def converted_for(self, n: int) -> lumeq.VideoNode:
        """The converted clip that frame n is shown through."""
        fmt = check_displayable(self.clip)
        source = await self.clip.get_frame_async(n)
        return self._converted_clip(fmt, choose_conversion(fmt, self.clip.width, source.props))

    def _fitted_clip(self, fmt: lumeq.VideoFormat, conversion: Conversion, geometry: Geometry) -> lumeq.VideoNode:
        key = (conversion.matrix_in_s, conversion.range_in, geometry)
        node = self._fitted.pop(key, None)
        if node is None:
            node = fit_display_clip(self._converted_clip(fmt, conversion), geometry)
        self._fitted[key] = node  # the newest last
        while len(self._fitted) > self.FITTED_KEPT:
            del self._fitted[next(iter(self._fitted))]
        return node

    async def frame(self, n: int, geometry: Geometry | None = None) -> tuple[lumeq.VideoFrame, Conversion]:
        fmt = check_displayable(self.clip)
        source = await self.clip.get_frame_async(n)
        conversion = choose_conversion(fmt, self.clip.width, source.props)
        if geometry is not None:
            node = self._fitted_clip(fmt, conversion, geometry)
        else:
            node = self._converted_clip(fmt, conversion)
        if node is self.clip:
            return source, conversion
        del source
        return await node.get_frame_async(n), conversion

    def frame_sync(self, n: int) -> tuple[lumeq.VideoFrame, Conversion]:
        fmt = check_displayable(self.clip)
        source = self.clip.get_frame(n)
        conversion = choose_conversion(fmt, self.clip.width, source.props)
        node = self._converted_clip(fmt, conversion)
        return (source if node is self.clip else node.get_frame(n)), conversion


# ------------------------------------------------------------ PNG

def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def rgb_rows(frame: lumeq.VideoFrame) -> bytes:
    """The frame's three planes interleaved into PNG scanlines, each led by
    filter type 0; strided slice assignment keeps the work in C."""
    width, height = frame.width, frame.height
    pixels = bytearray(width * height * 3)
    for plane in range(3):
        pixels[plane::3] = frame[plane].tobytes()
    stride = width * 3
    view = memoryview(pixels)
    return b"\0" + b"\0".join(view[row * stride:(row + 1) * stride] for row in range(height))


def planar_rgb(frame: lumeq.VideoFrame) -> bytearray:
    """The R, G and B planes one after the other, rows packed: what the page's
    canvas takes, leaving the interleaving to the browser, which must add
    alpha anyway. One copy of each plane when its rows have no padding."""
    size = frame.width * frame.height
    out = bytearray(3 * size)
    for plane in range(3):
        view = frame[plane]
        out[plane * size:(plane + 1) * size] = view.cast("B") if view.c_contiguous else view.tobytes()
    return out


def rgba(frame: lumeq.VideoFrame) -> bytearray:
    """The pixels as RGBA bytes, opaque: what a canvas's ImageData holds, so
    the page paints them as they come. Strided slice assignment keeps the
    interleaving in C, several times faster than the page's script."""
    size = frame.width * frame.height
    out = bytearray(b"\xff") * (4 * size)
    for plane in range(3):
        view = frame[plane]
        out[plane::4] = view.cast("B") if view.c_contiguous else view.tobytes()
    return out


def encode_png(frame: lumeq.VideoFrame, level: int = DEFAULT_PNG_LEVEL) -> bytes:
    """An RGB24 frame as a lossless 8-bit RGB PNG."""
    header = struct.pack(">IIBBBBB", frame.width, frame.height, 8, 2, 0, 0, 0)
    data = zlib.compress(rgb_rows(frame), level)
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", data) + _chunk(b"IEND", b"")


# ------------------------------------------------------------ notebooks

def clip_png(clip: lumeq.VideoNode) -> bytes:
    """The clip's first frame as PNG, for notebook display."""
    frame, _ = DisplayClip(clip).frame_sync(0)
    return encode_png(frame, 6)


def frame_png(frame: lumeq.VideoFrame) -> bytes:
    """A frame as PNG, for notebook display: the frame is put in a one-frame
    clip of the current core so that it goes through the same conversion."""
    fmt = frame.format
    blank = lumeq.core.std.BlankClip(format=fmt.id, width=frame.width, height=frame.height, length=1)
    clip = blank.std.ModifyFrame(clips=[blank], selector=lambda n, f: frame)
    return clip_png(clip)
