"""The lumeq-farm command: split an output into chunks, render and encode them on Dask, join them."""
from __future__ import annotations

import argparse
import logging
import os
import subprocess
import sys
import threading
import time
from typing import Any, Sequence

from lumeq_pipe.command import (EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError, frame_range,
                                non_negative, positive, report, script_arg)

from .chunks import ChunkFailed, ChunkResult, Job, count_frames, finished_chunk, join, pipe_command, render_chunk

_INSTALL_HINT = ("lumeq-farm needs Dask's distributed package, which is not installed; "
                 "install it with: pip install 'lumeq[farm]'")

_EPILOG = """\
examples:
  lumeq-farm --workers 2 script.py out.y4m
  lumeq-farm --encoder "ffmpeg -v error -f yuv4mpegpipe -i - -c:v libx264 -crf 18 {out}" script.py out.mkv
  lumeq-farm --scheduler tcp://10.0.0.5:8786 --work-dir /shared/job1 --encoder "..." script.py out.mkv
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lumeq-farm", epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Render one output of a lumeq script in chunks on a Dask cluster, encode each chunk, "
                    "and join the chunks in order into OUT.")
    parser.add_argument("script", metavar="SCRIPT")
    parser.add_argument("out", metavar="OUT")
    parser.add_argument("--encoder", metavar="CMD", default=None,
                        help="an encoder reading Y4M on standard input and writing {out} "
                             "(default: none, the chunks are Y4M or raw and are joined byte-wise)")
    parser.add_argument("-a", "--arg", metavar="KEY=VALUE", action="append", type=script_arg, default=[],
                        help="passed to the script as lumeq-pipe does; repeatable")
    parser.add_argument("-o", "--output", metavar="N", type=int, default=0)
    parser.add_argument("-c", "--container", choices=("y4m", "none"), default="y4m",
                        help="what the chunks are rendered as (with --encoder: y4m)")
    parser.add_argument("-s", "--start", metavar="S", type=non_negative, default=None)
    parser.add_argument("-e", "--end", metavar="E", type=non_negative, default=None)
    parser.add_argument("--chunk-frames", metavar="N", type=positive, default=1000,
                        help="frames per chunk (default 1000)")
    parser.add_argument("--scheduler", metavar="ADDRESS", default=None,
                        help="the address of an existing Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", metavar="N", type=positive, default=None,
                        help="local cluster worker processes (default the CPU count)")
    parser.add_argument("--work-dir", metavar="DIR", default=None,
                        help="where chunk files go; shared storage on a cluster (default OUT.chunks)")
    parser.add_argument("--retries", metavar="N", type=non_negative, default=2,
                        help="times a failed chunk is tried again (default 2)")
    parser.add_argument("--resume", action="store_true", help="keep and skip chunks an earlier run finished")
    return parser


def _start_info(job: Job) -> subprocess.Popen[str]:
    return subprocess.Popen(pipe_command(job) + ["--info"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def _clip_length(info: subprocess.Popen[str]) -> int:
    stdout, stderr = info.communicate()
    if info.returncode != 0:
        raise CommandError(f"the script could not be run:\n{stderr.rstrip()}")
    for line in stdout.splitlines():
        key, _, value = line.partition(":")
        if key == "frames":
            return int(value)
    raise CommandError("lumeq-pipe --info reported no frame count")


def plan_chunks(first: int, last: int, size: int) -> list[tuple[int, int]]:
    return [(start, min(start + size - 1, last)) for start in range(first, last + 1, size)]


class FarmProgress:
    def __init__(self, chunks: int, frames: int, started: float) -> None:
        self.chunks, self.frames = chunks, frames
        self.chunks_done = self.frames_done = self.rendered = 0
        self.started = started

    def add(self, result: ChunkResult, *, rendered: bool) -> None:
        self.chunks_done += 1
        self.frames_done += result.last - result.first + 1
        if rendered:
            self.rendered += result.last - result.first + 1
        elapsed = time.monotonic() - self.started
        rate = self.rendered / elapsed if elapsed > 0 else 0.0
        text = (f"lumeq-farm: chunk {self.chunks_done}/{self.chunks}, frame {self.frames_done}/{self.frames}, "
                f"{rate:.2f} frames/s")
        if rate > 0 and self.frames_done < self.frames:
            text += f", {(self.frames - self.frames_done) / rate:.0f} s left"
        _say(text)

    def summary(self, out: str) -> str:
        elapsed = time.monotonic() - self.started
        return (f"lumeq-farm: {self.frames} frames in {self.chunks} chunks to {out} in {elapsed:.2f} s "
                f"({self.frames / elapsed if elapsed > 0 else 0.0:.2f} frames/s)")


def _say(text: str) -> None:
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def _open_client(opts: argparse.Namespace) -> Any:
    from distributed import Client, LocalCluster
    if opts.scheduler:
        return Client(opts.scheduler), None
    # Each worker is one process with one thread: lumeq-pipe uses the cores itself.
    cluster = LocalCluster(n_workers=opts.workers or os.cpu_count() or 1, threads_per_worker=1,
                           processes=True, host="127.0.0.1", dashboard_address=None,
                           silence_logs=logging.CRITICAL)
    return Client(cluster), cluster


def _close(client: Any, cluster: Any) -> None:
    client.close()
    if cluster is not None:
        cluster.close()


def _render_all(client: Any, job: Job, plan: list[tuple[int, int]], retries: int,
                resume: bool, progress: FarmProgress) -> list[ChunkResult]:
    from distributed import as_completed
    results: dict[int, ChunkResult] = {}
    futures = {}
    for index, (first, last) in enumerate(plan):
        kept = finished_chunk(job, index, first, last) if resume else None
        if kept is not None:
            results[index] = kept
            progress.add(kept, rendered=False)
            continue
        future = client.submit(render_chunk, job, index, first, last, retries=retries, pure=False,
                               key=f"lumeq-chunk-{index}-{os.getpid()}-{time.monotonic_ns()}")
        futures[future] = index
    for future in as_completed(list(futures)):
        index = futures[future]
        try:
            result = future.result()
        except Exception as exc:
            for pending in futures:
                pending.cancel()
            first, last = plan[index]
            raise CommandError(f"chunk {index} (frames {first}..{last}) failed: {exc}") from None
        results[index] = result
        progress.add(result, rendered=True)
    return [results[i] for i in range(len(plan))]


def _run(opts: argparse.Namespace) -> int:
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise CommandError(_INSTALL_HINT) from None
    if opts.encoder is not None and opts.container != "y4m":
        raise CommandError("an encoder reads Y4M; -c none goes only without --encoder", EXIT_USAGE)
    work_dir = os.path.abspath(opts.work_dir or opts.out + ".chunks")
    os.makedirs(work_dir, exist_ok=True)
    script_args = tuple(f"{key}={value}" for key, value in opts.arg)
    job = Job(os.path.abspath(opts.script), script_args, opts.output, opts.container, opts.encoder, work_dir,
              os.path.splitext(opts.out)[1] or ".bin")
    started = time.monotonic()
    # The script's first run (for the frame count) and the cluster's start-up
    # take about as long as each other, and neither needs the other.
    info = _start_info(job)
    try:
        client, cluster = _open_client(opts)
    except BaseException:
        info.kill()
        info.wait()
        raise
    try:
        first, last = frame_range(_clip_length(info), opts.start, opts.end, opts.output)
        plan = plan_chunks(first, last, opts.chunk_frames)
        progress = FarmProgress(len(plan), last - first + 1, started)
        chunks = _render_all(client, job, plan, opts.retries, opts.resume, progress)
    except BaseException:
        _close(client, cluster)
        raise
    # Shutting the cluster down takes about as long as the join, and neither needs the other.
    closing = threading.Thread(target=_close, args=(client, cluster), name="lumeq-farm-close")
    closing.start()
    try:
        join(job, chunks, opts.out)
        joined = count_frames(opts.out, job)
    finally:
        closing.join()
    if joined not in (-1, last - first + 1):
        raise CommandError(f"the joined {opts.out} holds {joined} frames, expected {last - first + 1}")
    _say(progress.summary(opts.out))
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    opts = build_parser().parse_args(argv)
    try:
        return _run(opts)
    except CommandError as exc:
        report("lumeq-farm", str(exc))
        return exc.status
    except ChunkFailed as exc:
        report("lumeq-farm", str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        report("lumeq-farm", "interrupted")
        return EXIT_INTERRUPTED
