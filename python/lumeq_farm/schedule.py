"""Running tasks on the cluster: the scene-scoring pieces, then the chunks,
with retries, progress on standard error and the chunk events."""
from __future__ import annotations

import os
import threading
import time
from typing import Any, Callable, Sequence

from lumeq_pipe.command import report

from .chunks import EVENT_TOPIC, ChunkFailed, ChunkResult, Job, finished_chunk, render_chunk
from .events import Events
from .scenes import score_piece, score_pieces


class ChunkGaveUp(Exception):
    """A chunk failed on its last try; the text names it and says why."""


def _as_completed() -> Any:
    # distributed has no type hints: held as Any so strict checking stays quiet.
    import distributed
    return getattr(distributed, "as_completed")


def _key(kind: str, index: int) -> str:
    # Unique per run, so a scheduler that outlives a job never hands back an old result.
    return f"lumeq-{kind}-{index}-{os.getpid()}-{time.monotonic_ns()}"


def score_range(client: Any, job: Job, first: int, last: int, workers: int) -> list[float]:
    """The frame differences of first..last, scored in pieces on the cluster."""
    as_completed = _as_completed()
    pieces = score_pieces(first, last, workers)
    futures = {client.submit(score_piece, job, a, b, pure=False, key=_key("scenes", i)): i
               for i, (a, b) in enumerate(pieces)}
    scores: dict[int, list[float]] = {}
    frames = last - first + 1
    done = 0
    try:
        for future in as_completed(list(futures)):
            scores[futures[future]] = future.result()
            done += len(scores[futures[future]])
            report("lumeq-farm", f"finding scenes: frame {done}/{frames}")
    except BaseException:
        client.cancel(list(futures))
        raise
    return [d for i in range(len(pieces)) for d in scores[i]]


class FarmProgress:
    def __init__(self, chunks: int, frames: int, started: float) -> None:
        self.chunks, self.frames = chunks, frames
        self.chunks_done = self.frames_done = self.rendered = 0
        self.started = started
        self.rendering_since = time.monotonic()

    def add(self, result: ChunkResult, *, rendered: bool) -> None:
        self.chunks_done += 1
        self.frames_done += result.frames
        if rendered:
            self.rendered += result.frames
        elapsed = time.monotonic() - self.rendering_since
        rate = self.rendered / elapsed if elapsed > 0 else 0.0
        text = f"chunk {self.chunks_done}/{self.chunks}, frame {self.frames_done}/{self.frames}, {rate:.2f} frames/s"
        if "q" in result.details:
            text += f" (chunk {result.index}: quantizer {result.details['q']:g}, score {result.details['score']:.4f})"
        if rate > 0 and self.frames_done < self.frames:
            text += f", {(self.frames - self.frames_done) / rate:.0f} s left"
        report("lumeq-farm", text)

    def summary(self, out: str) -> str:
        elapsed = time.monotonic() - self.started
        return (f"{self.frames} frames in {self.chunks} chunks to {out} in {elapsed:.2f} s "
                f"({self.frames / elapsed if elapsed > 0 else 0.0:.2f} frames/s)")


def chunk_fields(result: ChunkResult) -> dict[str, Any]:
    return {"chunk": result.index, "start": result.first, "end": result.last + 1, "worker": result.worker}


class _StartEvents:
    """chunk_start events from the workers, each emitted before its chunk's
    chunk_done whatever order the two reach the client in. A chunk that
    starts again before it was done lost its worker (killed, or restarted
    past its memory limit) and the scheduler ran it again on its own: that
    try is told as a chunk_retry, and counted."""

    def __init__(self, events: Events, job: Job, lost: Callable[[int, str], None]) -> None:
        self.events, self.job, self.lost = events, job, lost
        self._lock = threading.Lock()
        self._running: dict[int, str] = {}
        self._finished: set[int] = set()

    def on_worker_event(self, event: tuple[float, Any]) -> None:
        message = event[1]
        if not isinstance(message, dict) or message.get("job") != self.job.work_dir:
            return
        with self._lock:
            index = message["chunk"]
            if index in self._finished:
                return
            earlier = self._running.get(index)
            if earlier is not None:
                self.lost(index, f"its worker {earlier or '(unknown)'} was lost while it ran (killed, or "
                                 "restarted past its memory limit); the scheduler runs it again")
            self._running[index] = message["worker"]
            self.events.emit("chunk_start", chunk=index, start=message["start"], end=message["end"],
                             worker=message["worker"])

    def finish(self, result: ChunkResult) -> None:
        with self._lock:
            if result.index not in self._running:
                self.events.emit("chunk_start", **chunk_fields(result))
            self._running.pop(result.index, None)
            self._finished.add(result.index)

    def failed(self, index: int) -> None:
        with self._lock:
            self._running.pop(index, None)


RenderFunction = Callable[[Job, int, int, int], ChunkResult]


class ChunkRunner:
    """Renders the chunks of a plan on the cluster, keeping what an earlier
    run finished (resume) except the chunks to redo."""

    def __init__(self, client: Any, job: Job, plan: Sequence[tuple[int, int]], events: Events,
                 progress: FarmProgress, retries: int, render: RenderFunction = render_chunk) -> None:
        self.client, self.job, self.plan = client, job, plan
        self.events, self.progress, self.retries = events, progress, retries
        self.render = render
        self.results: dict[int, ChunkResult] = {}
        self._starts = _StartEvents(events, job, self._lost)
        self._tries: dict[int, int] = {}

    def keep_finished(self, redo: set[int]) -> None:
        for index, (first, last) in enumerate(self.plan):
            if index in redo:
                continue
            kept = finished_chunk(self.job, index, first, last)
            if kept.result is not None:
                self.results[index] = kept.result
                self.events.emit("chunk_done", **chunk_fields(kept.result), **_done_figures(kept.result), kept=True)
                self.progress.add(kept.result, rendered=False)
            elif kept.reason is not None:
                report("lumeq-farm", f"chunk {index} (frames {first}..{last}) is rendered again: {kept.reason}")

    def run(self) -> list[ChunkResult]:
        as_completed = _as_completed()
        self.client.subscribe_topic(EVENT_TOPIC, self._starts.on_worker_event)
        futures = self._submit_all([i for i in range(len(self.plan)) if i not in self.results])
        pending = as_completed(list(futures))
        try:
            for future in pending:
                index = futures.pop(future)
                retry = self._collect(future, index)
                if retry is not None:
                    futures[retry] = index
                    pending.add(retry)
        except BaseException:
            self.client.cancel(list(futures))
            raise
        finally:
            self.client.unsubscribe_topic(EVENT_TOPIC)
        return [self.results[i] for i in range(len(self.plan))]

    def _submit_all(self, indices: list[int]) -> dict[Any, int]:
        # One message for the lot: submitted one by one, the last of a thousand
        # chunks reaches the scheduler a good fraction of a second after the first.
        for index in indices:
            self._tries[index] = 1
        futures = self.client.map(self.render, [self.job] * len(indices), indices,
                                  [self.plan[i][0] for i in indices], [self.plan[i][1] for i in indices],
                                  pure=False, key=[_key("chunk", i) for i in indices])
        return dict(zip(futures, indices))

    def _submit(self, index: int) -> Any:
        first, last = self.plan[index]
        self._tries[index] = self._tries.get(index, 0) + 1
        return self.client.submit(self.render, self.job, index, first, last, pure=False, key=_key("chunk", index))

    def _collect(self, future: Any, index: int) -> Any:
        """Takes a finished task's result; a new task if the chunk is tried again."""
        try:
            result = future.result()
        except Exception as exc:
            return self._failed(index, _error_text(exc))
        self._starts.finish(result)
        self.results[index] = result
        self.events.emit("chunk_done", **chunk_fields(result), **_done_figures(result))
        self.progress.add(result, rendered=True)
        return None

    def _lost(self, index: int, error: str) -> None:
        # Called on the client's event loop: the scheduler has already resubmitted the chunk.
        self._tries[index] = self._tries.get(index, 1) + 1
        self.events.emit("chunk_retry", chunk=index, error=error)
        first, last = self.plan[index]
        report("lumeq-farm", f"chunk {index} (frames {first}..{last}) is tried again: {error}")

    def _failed(self, index: int, error: str) -> Any:
        self._starts.failed(index)
        first, last = self.plan[index]
        if self._tries[index] <= self.retries:
            self.events.emit("chunk_retry", chunk=index, error=error)
            report("lumeq-farm", f"chunk {index} (frames {first}..{last}) failed, trying again: "
                                 f"{error.splitlines()[0] if error else ''}")
            return self._submit(index)
        self.events.emit("chunk_failed", chunk=index, start=first, end=last + 1, error=error)
        raise ChunkGaveUp(f"chunk {index} (frames {first}..{last}) failed: {error}")


def _done_figures(result: ChunkResult) -> dict[str, Any]:
    fps = result.frames / result.seconds if result.seconds > 0 else 0.0
    return {"seconds": round(result.seconds, 6), "fps": round(fps, 3), "bytes": result.bytes, **result.details}


def _error_text(exc: BaseException) -> str:
    if isinstance(exc, ChunkFailed):
        return str(exc)
    # A worker that died (killed, out of memory) several times over, or any other fault.
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
