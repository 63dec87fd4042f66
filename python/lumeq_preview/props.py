"""Frame properties as JSON values."""
from __future__ import annotations

from typing import Any, Mapping


def value_to_json(value: Any) -> Any:
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            return f"<{len(data)} bytes of binary data>"
    if isinstance(value, (list, tuple)):
        return [value_to_json(item) for item in value]
    # Clips, frames and functions have no JSON form; their description will do.
    return f"<{type(value).__name__}>"


def props_to_json(props: Mapping[str, Any]) -> dict[str, Any]:
    return {key: value_to_json(props[key]) for key in props}
