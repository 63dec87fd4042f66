"""The code blocks of the documentation (docs/ and README.md), read and run
as a reader would run them, page by page.

A page's Python blocks run in order in one namespace, as a reader pasting
them into one interpreter would. A Python block whose first line is a
`# NAME.py` comment is also written to NAME.py, for the shell blocks after
it. Shell blocks run when they name lumeq-pipe or lumeq-farm; others
(installs, builds) are not examples of lumeq. Two HTML comments, invisible
on the page, go right before a block:

    <!-- example: skip REASON -->     the block is not run, for that reason
    <!-- example: setup
    CODE
    -->                               Python run first, in the namespace

Run as a program, it runs one page in the working directory and exits 1 at
the first failing block; `--count` prints what would run and what would not.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import re
import subprocess
import sys
import textwrap
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHON = {"python", "py"}
SHELL = {"sh", "bash", "shell", "console", ""}
FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?P<lang>[\w-]*)[^\n]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$",
                   re.M | re.S)
MARK = re.compile(r"<!--\s*example:\s*(?P<verb>skip|setup)\b(?P<text>.*?)-->\s*\Z", re.S)
# A command word: at the start of a line or after a pipe, ; or &&.
TOOL = re.compile(r"(?:^|[|;&(])\s*lumeq-(?:pipe|farm)\b", re.M)
COMMENT = re.compile(r"(?:^|\s)#.*$", re.M)
FILE_LINE = re.compile(r"#\s*([\w-]+\.py)\b")
SHELL_TIMEOUT = 240


@dataclasses.dataclass
class Block:
    page: str
    line: int
    lang: str
    code: str
    setup: str = ""
    skip: str | None = None

    @property
    def kind(self) -> str:
        if self.lang in PYTHON:
            return "python"
        return "shell" if self.lang in SHELL else "other"

    @property
    def file(self) -> str | None:
        """NAME.py when the block's first line says it is that file."""
        match = FILE_LINE.match(self.code)
        return match.group(1) if match and self.kind == "python" else None

    @property
    def not_run_reason(self) -> str | None:
        if self.skip is not None:
            return self.skip
        if self.kind == "shell" and not TOOL.search(COMMENT.sub("", self.code)):
            return "names neither lumeq-pipe nor lumeq-farm"
        if self.kind == "other":
            return "not code"
        return None


def pages() -> list[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def blocks(page: Path) -> list[Block]:
    text = page.read_text()
    found = []
    start = 0
    for match in FENCE.finditer(text):
        before = text[start:match.start()]
        start = match.end()
        mark = MARK.search(before)
        name = str(page.relative_to(ROOT)) if page.is_relative_to(ROOT) else str(page)
        block = Block(name, text.count("\n", 0, match.start()) + 1,
                      match.group("lang"), textwrap.dedent(match.group("body")))
        if mark and mark.group("verb") == "skip":
            block.skip = mark.group("text").strip()
            if not block.skip:
                raise ValueError(f"{block.page}:{block.line}: a skipped example needs a reason")
        elif mark:
            block.setup = textwrap.dedent(mark.group("text")).strip("\n")
        found.append(block)
    return found


def run_shell(block: Block) -> None:
    env = dict(os.environ)
    # The tools of the interpreter running the examples, not whatever is first on PATH.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    proc = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block.code], env=env, text=True, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=SHELL_TIMEOUT)
    sys.stdout.write(proc.stdout)
    if proc.returncode != 0:
        raise RuntimeError(f"exit status {proc.returncode}\n{proc.stderr}")


def run_page(page: Path) -> None:
    namespace: dict[str, object] = {"__name__": "__main__"}
    for block in blocks(page):
        if block.not_run_reason is not None:
            continue
        where = f"{block.page}:{block.line}"
        try:
            if block.setup:
                exec(compile(block.setup, f"{where} (setup)", "exec"), namespace)
            if block.file:
                Path(block.file).write_text(block.code)
            if block.kind == "python":
                exec(compile(block.code, where, "exec"), namespace)
            else:
                run_shell(block)
        except BaseException as exc:
            print(f"{where}: the example failed: {type(exc).__name__}: {exc}", file=sys.stderr)
            raise


def count() -> Counter[str]:
    tally: Counter[str] = Counter()
    for page in pages():
        for block in blocks(page):
            reason = block.not_run_reason
            if block.kind != "other":
                tally[f"{block.kind} run" if reason is None else f"{block.kind} not run: {reason}"] += 1
    return tally


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("page", nargs="?", help="the page to run, in the working directory")
    parser.add_argument("--count", action="store_true", help="print what runs and what does not")
    opts = parser.parse_args()
    if opts.count:
        for what, number in sorted(count().items()):
            print(f"{number:4d}  {what}")
        return 0
    if not opts.page:
        parser.error("a page, or --count")
    run_page(Path(opts.page).resolve())
    return 0


if __name__ == "__main__":
    sys.exit(main())
