"""Progress and the summary line, on standard error."""
from __future__ import annotations

import time
from typing import TextIO


def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


class Progress:
    """Reports frames done out of `total`.

    On a terminal the line is redrawn in place a few times a second; into a
    file or pipe (with --progress) a full line is written about once a second,
    so logs stay readable.
    """

    def __init__(self, total: int, stream: TextIO, *, live: bool, terminal: bool) -> None:
        self.total = total
        self.stream = stream
        self.live = live
        self.terminal = terminal
        self.started = time.monotonic()
        self.done = 0
        self.bytes = 0
        self._last_report = 0.0
        self._drawn = 0

    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def advance(self, nbytes: int) -> None:
        self.done += 1
        self.bytes += nbytes
        if not self.live:
            return
        now = time.monotonic()
        if now - self._last_report < (0.1 if self.terminal else 1.0) and self.done < self.total:
            return
        self._last_report = now
        self._draw(self.line())

    def line(self) -> str:
        elapsed = self.elapsed()
        rate = self.done / elapsed if elapsed > 0 else 0.0
        text = f"frame {self.done}/{self.total}, {rate:.2f} frames/s"
        if rate > 0 and self.done < self.total:
            text += f", {_clock((self.total - self.done) / rate)} left"
        return text

    def _draw(self, text: str) -> None:
        try:
            if self.terminal:
                pad = " " * max(0, self._drawn - len(text))
                self.stream.write(f"\r{text}{pad}")
                self._drawn = len(text)
            else:
                self.stream.write(text + "\n")
            self.stream.flush()
        except (OSError, ValueError):
            # Progress is a courtesy; a closed stderr must not stop the render.
            self.live = False

    def finish(self, note: str = "") -> None:
        """Clears the live line and writes the summary, which is always shown."""
        elapsed = self.elapsed()
        rate = self.done / elapsed if elapsed > 0 else 0.0
        mib = self.bytes / (1 << 20)
        text = (f"lumeq-pipe: {self.done}/{self.total} frames, {mib:.1f} MiB in {elapsed:.2f} s "
                f"({rate:.2f} frames/s)")
        if note:
            text += f"; {note}"
        try:
            if self.live and self.terminal and self._drawn:
                self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.write(text + "\n")
            self.stream.flush()
        except (OSError, ValueError):
            pass
