"""--events: the job's progress as JSON Lines, one object a line, each with
"event" and "time" (seconds since the job started), for wrappers to parse."""
from __future__ import annotations

import json
import sys
import threading
import time
from typing import Any, TextIO


class EventsError(Exception):
    """The events file cannot be opened."""


class Events:
    """Writes events to a file or standard output ("-"); with no target it
    takes events and writes nothing. Safe to call from any thread. A write
    that fails (a wrapper that went away, a full disk) stops the events with
    one warning, not the job."""

    def __init__(self, target: str | None, started: float | None = None) -> None:
        self.started = time.monotonic() if started is None else started
        self._lock = threading.Lock()
        self._stream: TextIO | None = None
        self._owned = False
        if target == "-":
            self._stream = sys.stdout
        elif target is not None:
            try:
                self._stream = open(target, "w", encoding="utf-8")
            except OSError as exc:
                raise EventsError(f"cannot write the events file {target}: {exc.strerror or exc}") from None
            self._owned = True

    def emit(self, event: str, **fields: Any) -> None:
        if self._stream is None:
            return
        line = json.dumps({"event": event, "time": round(time.monotonic() - self.started, 6), **fields},
                          separators=(",", ":"))
        with self._lock:
            if self._stream is None:
                return
            try:
                self._stream.write(line + "\n")
                self._stream.flush()
            except (OSError, ValueError) as exc:
                self._stream = None
                sys.stderr.write(f"lumeq-farm: events are no longer written: {exc}\n")

    def close(self) -> None:
        with self._lock:
            stream, self._stream = self._stream, None
        if stream is not None and self._owned:
            try:
                stream.close()
            except OSError:
                pass
