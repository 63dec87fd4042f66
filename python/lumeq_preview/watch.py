"""Reloading: the script runs again whenever its file changes."""
from __future__ import annotations

import asyncio
import os
from concurrent.futures import ThreadPoolExecutor

from .session import Session

POLL_SECONDS = 0.2


def _stamp(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except OSError:  # mid-save: an editor may replace the file by renaming
        return None
    return info.st_mtime_ns, info.st_size


class Reloader:
    """Runs the script on a thread of its own, so the server keeps answering
    (and shows the previous outputs) while a slow script loads."""

    def __init__(self, session: Session, poll_seconds: float = POLL_SECONDS) -> None:
        self.session = session
        self.poll_seconds = poll_seconds
        self._loader = ThreadPoolExecutor(max_workers=1, thread_name_prefix="lumeq-preview-load")
        self._lock = asyncio.Lock()

    async def reload(self) -> None:
        async with self._lock:
            loaded = await asyncio.get_running_loop().run_in_executor(self._loader, self.session.load)
            self.session.publish(loaded)

    async def watch(self) -> None:
        """Loads the script, then again after each change to its file."""
        last = _stamp(self.session.path)
        await self.reload()
        while True:
            await asyncio.sleep(self.poll_seconds)
            now = _stamp(self.session.path)
            if now is not None and now != last:
                last = now
                await self.reload()

    def close(self) -> None:
        self._loader.shutdown(wait=True)
