"""What a frame's properties say about how to show it (chroma siting,
sample aspect, interlacing, colour range): as Y4M header fields, in the forms
ffmpeg's Y4M reader understands, and as words for --info."""
from __future__ import annotations

from typing import Any, Mapping, SupportsInt, TypeVar

import lumeq

# _ChromaLocation values (left, centre, top-left) -> 8-bit 4:2:0 tag. Other
# sitings have no Y4M tag; they keep the centred default.
_SITED_420 = {0: "420mpeg2", 1: "420jpeg", 2: "420paldv"}
# _FieldBased: progressive, bottom field first, top field first.
_INTERLACING = {0: "p", 1: "b", 2: "t"}


_Enum = TypeVar("_Enum", bound=SupportsInt)


def _member_names(cls: type[_Enum]) -> dict[int, str]:
    return {int(member): name for name, member in vars(cls).items() if isinstance(member, cls)}


# Two numberings of one fact: _Range (API 4.2+) and the older _ColorRange.
_RANGE_PROPERTIES = (("_Range", _member_names(lumeq.Range)), ("_ColorRange", _member_names(lumeq.ColorRange)))


def _int_prop(props: Mapping[str, Any], key: str) -> int | None:
    value = props.get(key)
    return value if isinstance(value, int) else None


def sited_colorspace(colorspace: str, props: Mapping[str, Any]) -> str:
    """`colorspace` with the chroma siting of the frame, where Y4M can say it."""
    if colorspace != "420jpeg":
        return colorspace
    return _SITED_420.get(_int_prop(props, "_ChromaLocation"), colorspace)  # type: ignore[arg-type]


def sample_aspect(props: Mapping[str, Any]) -> str:
    num, den = _int_prop(props, "_SARNum"), _int_prop(props, "_SARDen")
    if num is None or den is None or num <= 0 or den <= 0:
        return "0:0"
    return f"{num}:{den}"


def interlacing(props: Mapping[str, Any]) -> str:
    return _INTERLACING.get(_int_prop(props, "_FieldBased"), "p")  # type: ignore[arg-type]


def color_range(props: Mapping[str, Any]) -> str | None:
    """FULL or LIMITED from the first range property present, else None."""
    for key, names in _RANGE_PROPERTIES:
        value = _int_prop(props, key)
        if value is not None:
            return names.get(value)
    return None


_CHROMA_LOCATIONS = {value: name.lower() for value, name in _member_names(lumeq.ChromaLocation).items()}
_FIELD_ORDERS = ("progressive", "bottom field first", "top field first")


def describe_props(props: Mapping[str, Any]) -> list[tuple[str, str]]:
    """(label, value) lines for the properties the frame sets."""
    lines = []
    location = _int_prop(props, "_ChromaLocation")
    if location is not None:
        lines.append(("chroma location", _CHROMA_LOCATIONS.get(location, f"unknown ({location})")))
    field_based = _int_prop(props, "_FieldBased")
    if field_based is not None:
        lines.append(("field order", _name(_FIELD_ORDERS, field_based)))
    full_or_limited = color_range(props)
    if full_or_limited is not None:
        lines.append(("range", full_or_limited.lower()))
    aspect = sample_aspect(props)
    if aspect != "0:0":
        lines.append(("SAR", aspect))
    return lines


def _name(names: tuple[str, ...], value: int) -> str:
    return names[value] if 0 <= value < len(names) else f"unknown ({value})"


def frame_fields(colorspace: str, props: Mapping[str, Any]) -> str:
    """The I, A, C and XCOLORRANGE fields, in the order ffmpeg writes them."""
    fields = f"I{interlacing(props)} A{sample_aspect(props)} C{sited_colorspace(colorspace, props)}"
    full_or_limited = color_range(props)
    return fields if full_or_limited is None else f"{fields} XCOLORRANGE={full_or_limited}"
