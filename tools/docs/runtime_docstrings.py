"""Griffe extension for the API reference: signatures and types come from the
stubs, each docstring from the installed module, so the reference says what
help() says and neither can drift from the code. A member the module gives
no text of its own (a slot such as attribute access) takes the comment
written above it in the stubs."""
from __future__ import annotations

import importlib
import inspect
import re
from pathlib import Path
from typing import Any

import griffe

# Docstrings link names the way the module's own developers write them:
# [`register_policy`], [`Environment::use_`].
LINK = re.compile(r"\[`([A-Za-z_][\w:]*)`\](?![(\[])")


def hidden_classes(module: Any) -> dict[str, type]:
    """Classes the module does not export, reached through live objects."""
    core = module.Core(threads=1)
    frame = core.create_video_frame(module.GRAY8, 4, 4)
    clip = core.std.BlankClip(width=4, height=4, length=1)
    return {
        "FrameIter": type(clip.frames()),
        "Coroutine": type(clip.get_frame_async(0)),
        "Plane": type(frame[0]),
    }


def runtime_object(module: Any, extra: dict[str, type], path: list[str]) -> Any:
    head, *rest = path
    target = getattr(module, head) if hasattr(module, head) else extra.get(head)
    for name in rest:
        # The class's own entry: a descriptor keeps its own __doc__, where
        # getattr would run a property or reach a base class's method.
        target = target.__dict__.get(name) if isinstance(target, type) else None
    return target


def documented(live: Any) -> bool:
    # An enumeration member's __doc__ is its class's: not its own text.
    return live is not None and (inspect.isclass(live) or inspect.isroutine(live)
                                 or inspect.isdatadescriptor(live))


def is_member_of_enumeration(live: Any) -> bool:
    # The module's enumerations are final classes whose members are instances.
    return type(live).__module__ == "lumeq" and hasattr(type(live), "__int__")


def link(text: str, module: Any) -> str:
    def replace(match: re.Match[str]) -> str:
        dotted = match.group(1).replace("::", ".").rstrip("_")
        if hasattr(module, dotted.split(".")[0]):
            return f"[`{dotted}`][lumeq.{dotted}]"
        return f"`{match.group(1)}`"
    return LINK.sub(replace, text)


def comment_above(lines: list[str], lineno: int | None) -> str:
    """The run of `#` lines right above a stub line (1-based), as text."""
    if not lineno:
        return ""
    found: list[str] = []
    index = lineno - 2
    while index >= 0 and lines[index].lstrip().startswith("@"):
        index -= 1
    while index >= 0 and lines[index].lstrip().startswith("#"):
        found.insert(0, lines[index].strip().lstrip("#").strip())
        index -= 1
    return " ".join(found)


def promote_overloads(cls: griffe.Class | griffe.Module) -> None:
    """A stub method declared only through @overload has no member of its
    own; make the last overload the member, the others its overloads."""
    for name, overloads in cls.overloads.items():
        if overloads and name not in cls.members:
            main = overloads[-1]
            main.overloads = overloads[:-1]
            cls.set_member(name, main)


class RuntimeDocstrings(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        if pkg.name != "lumeq":
            return
        module = importlib.import_module("lumeq")
        assert isinstance(pkg.filepath, Path), "lumeq's stubs are one file"
        lines = pkg.filepath.read_text().splitlines()
        self.fill(pkg, module, hidden_classes(module), lines)

    def fill(self, obj: griffe.Module | griffe.Class, module: Any, extra: dict[str, type],
             lines: list[str]) -> None:
        promote_overloads(obj)
        for member in list(obj.members.values()):
            if isinstance(member, griffe.Alias):
                continue
            live = runtime_object(module, extra, member.path.split(".")[1:])
            doc = live.__doc__ if documented(live) else None
            text = doc if isinstance(doc, str) and doc.strip() else comment_above(lines, member.lineno)
            if not text and is_member_of_enumeration(live):
                text = f"Value `{int(live)}`."
            if text:
                member.docstring = griffe.Docstring(link(inspect.cleandoc(text), module), parent=member)
            if isinstance(member, griffe.Class):
                self.fill(member, module, extra, lines)
