"""One chunk's render-and-encode (run inside a Dask worker), the records that
let a later run trust a chunk, and the ordered join."""
from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import asdict, dataclass, field, fields, is_dataclass, replace
from fractions import Fraction
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, ContextManager, Sequence

if TYPE_CHECKING:
    from .quality import Target

_Y4M_MAGIC = b"YUV4MPEG2 "
_FRAME = b"FRAME"
_BROKEN_PIPE = 128 + signal.SIGPIPE

# Where a worker announces that it has begun a chunk (see render_chunk).
EVENT_TOPIC = "lumeq-farm"


class ChunkFailed(Exception):
    """A chunk's render or encoder failed; the text says which and why."""


class JoinFailed(Exception):
    """OUT could not be written whole; OUT is left as it was."""


@dataclass(frozen=True)
class Job:
    """What every chunk of a job is made with. Every field but work_dir is
    part of a chunk's recipe: a kept chunk made with other values is
    rendered again."""
    script: str
    script_args: tuple[str, ...]   # KEY=VALUE, as lumeq-pipe takes them
    output: int
    container: str                 # lumeq-pipe's -c
    encoder: str | None            # None: lumeq-pipe writes the chunk itself
    work_dir: str
    extension: str
    script_sha256: str = ""
    lumeq_version: str = ""
    max_cache_mb: int | None = None
    target: Target | None = None   # encode each chunk to a quality score instead of a fixed quantizer
    # The script's nominal frame rate (0: none); it follows from the script, so it is no part of the recipe.
    frame_rate: Fraction = Fraction(0)
    # --worker-memory in bytes: what a worker and the processes of its chunk may hold together.
    worker_memory: int | None = None
    # The local cluster's workers run two threads but one chunk at a time (see worker_slot).
    one_at_a_time: bool = False

    def recipe(self) -> dict[str, Any]:
        return {f.name: _plain(getattr(self, f.name)) for f in fields(self) if f.name not in _NOT_RECIPE}


_NOT_RECIPE = ("work_dir", "frame_rate", "worker_memory", "one_at_a_time")

# Held while a task of a one_at_a_time job works in this worker process.
_WORKER_SLOT = threading.Lock()


def worker_slot(job: Job) -> ContextManager[Any]:
    """A worker's second thread takes its next task while a chunk runs and
    waits here: so the worker goes from one chunk straight to the next
    instead of waiting a few milliseconds for Dask's hand-over each time."""
    return _WORKER_SLOT if job.one_at_a_time else contextlib.nullcontext()


def _plain(value: Any) -> Any:
    """A value as JSON holds it, so a recipe read back compares equal."""
    if is_dataclass(value) and not isinstance(value, type):
        return _plain(asdict(value))
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)


@dataclass(frozen=True)
class ChunkResult:
    index: int
    first: int
    last: int
    path: str
    frames: int
    checksum: str
    bytes: int = 0
    seconds: float = 0.0
    worker: str = ""
    # What an encoding step reports beside the file (a chosen quantizer, a score).
    details: dict[str, Any] = field(default_factory=dict)
    # Whether its frames keep to the nominal rate (None: not known), so the join need not read its times.
    constant_rate: bool | None = None


@dataclass(frozen=True)
class Kept:
    """What an earlier run left for a chunk: its result if it can be kept,
    else why not (None: nothing was finished there)."""
    result: ChunkResult | None
    reason: str | None = None


def pipe_command(job: Job, first: int | None = None, last: int | None = None) -> list[str]:
    command = [sys.executable, "-m", "lumeq_pipe", "-o", str(job.output), "-c", job.container]
    for item in job.script_args:
        command += ["-a", item]
    if job.max_cache_mb is not None:
        command += ["--max-cache", str(job.max_cache_mb)]
    if first is not None:
        command += ["--start", str(first), "--end", str(last)]
    return command + [job.script]


def chunk_path(job: Job, index: int) -> str:
    return os.path.join(job.work_dir, f"chunk-{index:06d}{job.extension}")


def part_path(path: str) -> str:
    """Where a file is written before it is whole: beside it, with the same
    extension (ffmpeg picks its muxer by the extension)."""
    root, ext = os.path.splitext(path)
    return f"{root}.part{ext}"


def attempt_path(path: str) -> str:
    """Where one try writes a chunk: a name of its own, so a render that a
    killed worker left running cannot write into the next try's file."""
    root, ext = os.path.splitext(path)
    return f"{root}.part-{os.getpid()}-{time.monotonic_ns()}{ext}"


def _record_path(path: str) -> str:
    return path + ".done"


def file_checksum(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_atomically(path: str, text: str) -> None:
    temp = part_path(path)
    with open(temp, "w") as f:
        f.write(text)
    os.replace(temp, path)


def finished_chunk(job: Job, index: int, first: int, last: int) -> Kept:
    """The result of a chunk an earlier run finished, if it was made the way
    this job makes it and its file is intact."""
    path = chunk_path(job, index)
    try:
        with open(_record_path(path)) as f:
            record = json.load(f)
        recipe = record.pop("recipe")
        result = ChunkResult(**record)
    except (OSError, ValueError, TypeError, KeyError, AttributeError):
        return Kept(None)
    if (result.first, result.last) != (first, last):
        return Kept(None, f"it held frames {result.first}..{result.last}")
    changed = [key for key, value in job.recipe().items() if recipe.get(key) != value]
    if changed:
        return Kept(None, "it was made with another " + ", ".join(_RECIPE_WORDS.get(k, k) for k in changed))
    if not os.path.exists(path):
        return Kept(None, "its file is gone")
    if file_checksum(path) != result.checksum:
        return Kept(None, "its file's checksum differs from its record")
    return Kept(result)


_RECIPE_WORDS = {"script": "script path", "script_sha256": "script content", "script_args": "--arg values",
                 "output": "output index (-o)", "container": "container (-c)", "encoder": "encoder command",
                 "extension": "OUT extension", "lumeq_version": "lumeq version", "max_cache_mb": "--worker-memory",
                 "target": "--target-quality"}


def encoder_argv(command: str, out: str) -> list[str]:
    return [token.replace("{out}", out) for token in shlex.split(command)]


def tail_lines(data: bytes, count: int = 5) -> str:
    lines = data.decode("utf-8", "replace").strip().splitlines()
    return "\n".join(lines[-count:])


def timecodes_path(path: str) -> str:
    """Where a chunk's frame times go: every chunk keeps them, so a
    variable-rate script's times can be given back to the joined file."""
    return path + ".times.txt"


def timed_pipe_command(job: Job, first: int, last: int, path: str) -> list[str]:
    command = pipe_command(job, first, last)
    command[-1:-1] = ["--timecodes", timecodes_path(path), "--timecodes-end"]
    return command


def run_pipeline(job: Job, first: int, last: int, temp: str, path: str) -> None:
    pipe_argv = timed_pipe_command(job, first, last, path) + ["-" if job.encoder else temp]
    if job.encoder is None:
        done = subprocess.run(pipe_argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, check=False)
        if done.returncode != 0:
            raise ChunkFailed(_status_text("lumeq-pipe", done.returncode, done.stderr))
        return
    argv = encoder_argv(job.encoder, temp)
    with open(temp + ".log", "w+b") as pipe_log:
        render = subprocess.Popen(pipe_argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=pipe_log)
        assert render.stdout is not None
        try:
            encode = subprocess.run(argv, stdin=render.stdout, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, check=False)
        except OSError as exc:
            render.kill()
            raise ChunkFailed(f"cannot start the encoder {argv[0]!r}: {exc.strerror or exc}") from None
        finally:
            render.stdout.close()
            render_status = render.wait()
        pipe_log.seek(0)
        pipe_text = pipe_log.read()
    os.unlink(temp + ".log")
    _check_pipeline(render_status, pipe_text, encode.returncode, encode.stderr)


class MemoryWatch:
    """Holds a chunk's processes to the worker's memory. Dask restarts a
    worker whose own memory passes its limit, but the render and the encoder
    are processes of their own that it does not count: left alone they grow
    until the kernel kills something, perhaps another job. So the worker and
    every process it started count as one; past the limit (at the fraction
    where Dask restarts a worker) those processes are killed, as a restart
    would, and the chunk fails, to be tried again."""

    INTERVAL = 0.1

    def __init__(self, limit: int | None) -> None:
        self.limit = limit
        self.used: int | None = None
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> MemoryWatch:
        if self.limit:
            self._thread = threading.Thread(target=self._watch, name="lumeq-farm-memory", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        if self.used is not None and self.limit is not None:
            raise ChunkFailed(f"the chunk ran out of memory: its worker and processes held {self.used >> 20} MiB, "
                              f"past the worker's {self.limit >> 20} MiB (--worker-memory)") from None

    def _watch(self) -> None:
        import dask.config
        import psutil  # type: ignore[import-untyped, unused-ignore]
        assert self.limit is not None
        fraction = dask.config.get("distributed.worker.memory.terminate", 0.95) or 1.0
        worker = psutil.Process()
        while not self._stop.wait(self.INTERVAL):
            processes = worker.children(recursive=True)
            used = _rss(worker) + sum(_rss(p) for p in processes)
            if used > self.limit * fraction:
                self.used = used
                for process in processes:
                    try:
                        process.kill()
                    except psutil.Error:
                        pass
                return


def _rss(process: Any) -> int:
    import psutil
    try:
        return int(process.memory_info().rss)
    except psutil.Error:
        return 0  # it ended since it was listed


def _check_pipeline(render_status: int, render_err: bytes, encode_status: int, encode_err: bytes) -> None:
    # A render that ends with a broken pipe is the encoder's doing: its own
    # words say why, lumeq-pipe's only that the reader went away.
    if encode_status != 0:
        text = _status_text("the encoder", encode_status, encode_err)
        if render_status not in (0, _BROKEN_PIPE):
            text += "\n" + _status_text("lumeq-pipe", render_status, render_err)
        raise ChunkFailed(text)
    if render_status == _BROKEN_PIPE:
        raise ChunkFailed("the encoder exited (status 0) before it had read every frame: "
                          f"{tail_lines(encode_err) or 'it printed nothing'}")
    if render_status != 0:
        raise ChunkFailed(_status_text("lumeq-pipe", render_status, render_err))


def _status_text(who: str, status: int, err: bytes) -> str:
    how = f"was killed by signal {-status}" if status < 0 else f"exited with status {status}"
    if status == -signal.SIGKILL:
        how += " (by the kernel when memory ran out, or by a user)"
    tail = tail_lines(err)
    return f"{who} {how}: {tail}" if tail else f"{who} {how} and printed nothing"


def _announce_start(job: Job, index: int, first: int, last: int) -> str:
    """Tells the client that the chunk began, and on which worker."""
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return ""
    # Every client on the scheduler hears the topic: the work directory says whose chunk it is.
    worker.log_event(EVENT_TOPIC, {"event": "chunk_start", "job": job.work_dir, "chunk": index, "start": first,
                                   "end": last + 1, "worker": worker.address})
    return str(worker.address)


def render_chunk(job: Job, index: int, first: int, last: int) -> ChunkResult:
    """Renders frames first..last into the encoder; runs in a Dask worker.
    The chunk appears under its final name only once it is whole, so a
    killed task never leaves a file that --resume would trust."""
    with worker_slot(job):
        return _render_chunk(job, index, first, last)


def _render_chunk(job: Job, index: int, first: int, last: int) -> ChunkResult:
    began = time.monotonic()
    worker = _announce_start(job, index, first, last)
    path = chunk_path(job, index)
    temp = attempt_path(path)
    try:
        details = _make_chunk(job, first, last, temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise
    os.replace(temp, path)
    from .timing import chunk_keeps_rate
    result = ChunkResult(index, first, last, path, last - first + 1, file_checksum(path), os.path.getsize(path),
                         time.monotonic() - began, worker, details, chunk_keeps_rate(path, job.frame_rate))
    write_atomically(_record_path(path), json.dumps({**asdict(result), "recipe": job.recipe()}))
    # The record is the chunk's work too: the time handed back counts it.
    return replace(result, seconds=time.monotonic() - began)


def _make_chunk(job: Job, first: int, last: int, temp: str, path: str) -> dict[str, Any]:
    """Renders and encodes the chunk into temp and checks its frame count;
    what the encoding step reports."""
    details: dict[str, Any] = {}
    with MemoryWatch(job.worker_memory):
        if job.target is not None:
            from .quality import encode_to_target
            details["q"], details["score"] = encode_to_target(job, first, last, temp, path)
        else:
            run_pipeline(job, first, last, temp, path)
    frames = count_frames(temp, job)
    expected = last - first + 1
    if frames not in (-1, expected):
        raise ChunkFailed(f"the chunk holds {frames} frames, expected {expected}")
    return details


def _y4m_frames(path: str) -> tuple[int, int]:
    """(header length, FRAME records) of a Y4M file, walking the records."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        header = f.readline()
        if not header.startswith(_Y4M_MAGIC):
            raise ChunkFailed(f"{path} is not a Y4M stream")
        try:
            frame_size = _y4m_frame_size(header)
        except (KeyError, ValueError):
            raise ChunkFailed(f"{path}: a Y4M header this command cannot size: {header[:200]!r}") from None
        count = 0
        while True:
            tag = f.readline()
            if not tag:
                return len(header), count
            if not tag.startswith(_FRAME):
                raise ChunkFailed(f"{path}: a damaged FRAME record after frame {count}")
            f.seek(frame_size, os.SEEK_CUR)
            if f.tell() > size:
                raise ChunkFailed(f"{path}: frame {count} is cut short")
            count += 1


_Y4M_SIZES = {"420": (2, 2), "422": (2, 1), "444": (1, 1), "411": (4, 1)}


def _y4m_frame_size(header: bytes) -> int:
    tags = {t[:1]: t[1:] for t in header.decode("ascii").split()[1:]}
    width, height = int(tags["W"]), int(tags["H"])
    space = tags.get("C", "420jpeg")
    if space.startswith("mono"):
        bits = int(space[4:] or 8)
        return width * height * (2 if bits > 8 else 1)
    # "420jpeg", "420p10", "444": a subsampling stem, then a depth after "p" if not 8-bit.
    stem, depth = space[:3], space[3:]
    sub_w, sub_h = _Y4M_SIZES[stem]
    sample = 2 if depth.startswith("p") and depth[1:].isdigit() and int(depth[1:]) > 8 else 1
    chroma = ((width + sub_w - 1) // sub_w) * ((height + sub_h - 1) // sub_h)
    return (width * height + 2 * chroma) * sample


def count_frames(path: str, job: Job) -> int:
    if job.encoder is None and job.container == "y4m":
        return _y4m_frames(path)[1]
    if job.encoder is None:
        return -1  # raw planes carry no framing; lumeq-pipe's own status vouches for the count
    return _probe_frames(path)


def _probe_frames(path: str) -> int:
    try:
        done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                               "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                              capture_output=True, text=True, check=False)
    except FileNotFoundError:
        raise ChunkFailed("ffprobe (from ffmpeg) is needed to count the frames of encoded chunks") from None
    try:
        return int(done.stdout.strip().splitlines()[0].rstrip(","))
    except (ValueError, IndexError):
        raise ChunkFailed(f"cannot count the frames of {path}: {done.stderr.strip()}") from None


def join(job: Job, chunks: Sequence[ChunkResult], out: str,
         finish: Callable[[str], bool] | None = None) -> None:
    """Writes the chunks in order into OUT: into a file beside it first,
    renamed to OUT only once its frame count is checked, so OUT is either
    the whole job or what it was before. `finish` may rewrite that file in
    place (timestamps, audio) before the check, and says whether it did."""
    _check_present(chunks)
    temp = part_path(out)
    try:
        byte_count: int | None = None
        if job.encoder is None:
            byte_count = _byte_join(job, chunks, temp)
        else:
            _concat_join(chunks, temp)
        if finish is not None and finish(temp):
            byte_count = None
        _check_joined(job, chunks, temp, byte_count)
        os.replace(temp, out)
    except OSError as exc:
        raise JoinFailed(exc.strerror or str(exc)) from None
    except ChunkFailed as exc:
        raise JoinFailed(str(exc)) from None
    finally:
        if os.path.lexists(temp):
            os.unlink(temp)


def _check_present(chunks: Sequence[ChunkResult]) -> None:
    for chunk in chunks:
        try:
            size = os.path.getsize(chunk.path)
        except OSError:
            raise JoinFailed(f"chunk {chunk.index}'s file {chunk.path} is gone (--redo {chunk.index} "
                             "renders it again)") from None
        if chunk.bytes and size != chunk.bytes:
            raise JoinFailed(f"chunk {chunk.index}'s file {chunk.path} has {size} bytes, its record "
                             f"{chunk.bytes} (--redo {chunk.index} renders it again)")


def _check_joined(job: Job, chunks: Sequence[ChunkResult], temp: str, byte_count: int | None) -> None:
    """A byte join is checked by its size: each chunk's frames were counted
    when it was made, and its size recorded. Anything else is counted."""
    joined_bytes = os.path.getsize(temp)
    if byte_count is not None:
        if joined_bytes != byte_count:
            raise JoinFailed(f"the joined file has {joined_bytes} bytes, the chunks {byte_count}")
        return
    expected = sum(chunk.frames for chunk in chunks)
    joined = count_frames(temp, job)
    if joined != expected:
        raise JoinFailed(f"the joined file holds {joined} frames, expected {expected}")


def _byte_join(job: Job, chunks: Sequence[ChunkResult], out: str) -> int:
    """One Y4M header, then every chunk's FRAME records in order; returns the
    size the joined file must have."""
    total = 0
    first_header = None
    with open(out, "wb") as dest:
        for chunk in chunks:
            with open(chunk.path, "rb") as src:
                header = src.readline() if job.container == "y4m" else b""
                if first_header is None:
                    first_header = header
                    dest.write(header)
                    total += len(header)
                elif header != first_header:
                    raise JoinFailed(f"chunk {chunk.index}'s Y4M header differs from chunk {chunks[0].index}'s: "
                                     f"{header!r} against {first_header!r}")
                total += _copy_rest(src, dest)
    return total


def _copy_rest(src: BinaryIO, dest: BinaryIO) -> int:
    """Copies src from its position to its end onto dest, in the kernel where it can."""
    dest.flush()
    size = os.fstat(src.fileno()).st_size - src.tell()
    offset, copied = src.tell(), 0
    try:
        while copied < size:
            step = os.copy_file_range(src.fileno(), dest.fileno(), size - copied, offset + copied)
            if step == 0:
                break
            copied += step
    except OSError as exc:
        if copied or exc.errno not in (errno.EXDEV, errno.ENOSYS, errno.EOPNOTSUPP, errno.EINVAL):
            raise
        shutil.copyfileobj(src, dest, 1 << 20)
        return size
    if copied != size:
        raise JoinFailed(f"{src.name} ended {size - copied} bytes early while it was copied")
    return copied


def _concat_join(chunks: Sequence[ChunkResult], out: str) -> None:
    """Stream copy through ffmpeg's concat demuxer; its frames are counted after."""
    listing = out + ".concat.txt"
    with open(listing, "w") as f:
        for chunk in chunks:
            quoted = os.path.abspath(chunk.path).replace("'", "'\\''")
            f.write(f"file '{quoted}'\n")
    try:
        done = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i", listing,
                               "-map", "0", "-c", "copy", out], capture_output=True, check=False)
    finally:
        os.unlink(listing)
    if done.returncode != 0:
        raise JoinFailed(f"ffmpeg's concat {_status_text('', done.returncode, done.stderr).lstrip()}")


# ------------------------------------------------------------ the job's manifest

MANIFEST = "manifest.json"


def write_manifest(job: Job, plan: Sequence[tuple[int, int]], split: dict[str, Any],
                   results: dict[int, ChunkResult]) -> None:
    """The work directory's list of chunks (end exclusive), with what made them."""
    chunks = []
    for index, (first, last) in enumerate(plan):
        entry: dict[str, Any] = {"index": index, "start": first, "end": last + 1,
                                 "file": os.path.basename(chunk_path(job, index))}
        done = results.get(index)
        if done is not None:
            entry.update(checksum=done.checksum, bytes=done.bytes, **done.details)
        chunks.append(entry)
    text = json.dumps({"recipe": job.recipe(), "split": split, "chunks": chunks}, indent=1)
    write_atomically(os.path.join(job.work_dir, MANIFEST), text + "\n")


def read_manifest_plan(job: Job, split: dict[str, Any]) -> list[tuple[int, int]] | None:
    """The plan (inclusive ranges) an earlier run of this job wrote, if it
    was cut as `split` says; else None."""
    try:
        with open(os.path.join(job.work_dir, MANIFEST)) as f:
            manifest = json.load(f)
        if manifest["split"] != split or manifest["recipe"] != job.recipe():
            return None
        return [(int(c["start"]), int(c["end"]) - 1) for c in manifest["chunks"]]
    except (OSError, ValueError, KeyError, TypeError):
        return None
