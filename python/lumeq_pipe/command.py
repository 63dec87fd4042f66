"""What the lumeq commands share: exit statuses, option value types and the
frame range check, so that lumeq-pipe and lumeq-farm take and refuse the
same values with the same words."""
from __future__ import annotations

import argparse
import signal
import sys

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class CommandError(Exception):
    """A failure reported as one line on standard error, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


def script_arg(text: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key.isidentifier():
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE with KEY a Python name, got {text!r}")
    return key, value


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def frame_range(length: int, start: int | None, end: int | None, index: int) -> tuple[int, int]:
    """The first and last frame to write of output `index`, which has
    `length` frames, from --start and --end (both inclusive, both optional)."""
    if length <= 0:
        raise CommandError(f"output {index} has no frames")
    first = 0 if start is None else start
    last = length - 1 if end is None else end
    if first >= length:
        raise CommandError(f"--start {first} is past the last frame of output {index} ({length - 1})", EXIT_USAGE)
    if last >= length:
        raise CommandError(f"--end {last} is past the last frame of output {index} ({length - 1})", EXIT_USAGE)
    if last < first:
        raise CommandError(f"--end {last} is before --start {first}", EXIT_USAGE)
    return first, last


def report(prog: str, message: str) -> None:
    """One line on standard error, flushed at once so that it lands before
    whatever a child process or the encoder writes next."""
    sys.stderr.write(f"{prog}: {message}\n")
    sys.stderr.flush()
