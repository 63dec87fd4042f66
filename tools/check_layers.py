#!/usr/bin/env python3
"""Checks the floors of src/: a folder includes only its own headers and
those of the folders below it (src/README.md gives the order), apart from
the upward includes listed here (none today), each with a one-line comment
above it saying why; and no header includes itself through others.

Usage: check_layers.py [SRC]   (default: the src/ beside this script's folder)
Exit status 0 when the tree keeps the rule, 1 with one line per fault.
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

FLOORS = ("runtime", "delivery", "frames", "clips", "calls", "cores", "module")

# (including folder, included header): the only includes that may go up.
# None does: where a lower floor needs work of an upper one, the upper floor
# lends it when the library loads (clips/clip.hpp, frames/frame_props.hpp).
UPWARD: frozenset[tuple[str, str]] = frozenset()
MAX_UPWARD = 3

_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def includes(path: Path) -> list[tuple[int, str, str]]:
    """(line number, included name, the line above) for each quoted include."""
    found = []
    previous = ""
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = _INCLUDE.match(line)
        if match:
            found.append((number, match.group(1), previous))
        previous = line
    return found


def check(src: Path, upward: frozenset[tuple[str, str]] = UPWARD) -> list[str]:
    faults = []
    if len(upward) > MAX_UPWARD:
        faults.append(f"{len(upward)} upward includes are allowed; the rule is at most {MAX_UPWARD}")
    rank = {name: level for level, name in enumerate(FLOORS)}
    graph: dict[str, set[str]] = {}
    for path in sorted(src.rglob("*.[ch]pp")):
        relative = path.relative_to(src).as_posix()
        folder = relative.split("/")[0]
        if folder not in rank:
            faults.append(f"{relative}: not in one of the folders {', '.join(FLOORS)}")
            continue
        for number, name, above in includes(path):
            where = f"{relative}:{number}"
            target = name.split("/")[0]
            if name.endswith(".inc"):
                continue  # generated tables, from the build folder
            if target not in rank:
                faults.append(f"{where}: \"{name}\" names no folder of src/ (write \"folder/file.hpp\")")
                continue
            if not (src / name).is_file():
                faults.append(f"{where}: \"{name}\" does not exist")
                continue
            graph.setdefault(relative, set()).add(name)
            if rank[target] <= rank[folder]:
                continue
            if (folder, name) not in upward:
                faults.append(f"{where}: {folder}/ includes \"{name}\" from {target}/, a floor above it")
            elif not above.lstrip().startswith("//"):
                faults.append(f"{where}: the upward include of \"{name}\" needs a comment above it saying why")
    faults += [f"include loop: {' -> '.join(loop)}" for loop in header_loops(graph)]
    return faults


def header_loops(graph: dict[str, set[str]]) -> list[list[str]]:
    """Each loop of headers including one another, found once."""
    loops, done = [], set()
    for start in sorted(graph):
        if not start.endswith(".hpp"):
            continue
        stack = [(start, [start])]
        while stack:
            node, path = stack.pop()
            for nxt in sorted(graph.get(node, ())):
                if nxt == start:
                    key = frozenset(path)
                    if key not in done:
                        done.add(key)
                        loops.append(path + [start])
                elif nxt not in path and nxt.endswith(".hpp"):
                    stack.append((nxt, path + [nxt]))
    return loops


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    faults = check(src)
    for fault in faults:
        print(f"check_layers: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
