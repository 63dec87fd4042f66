"""One chunk's render-and-encode (run inside a Dask worker), and the ordered join."""
from __future__ import annotations

import hashlib
import json
import os
import shlex
import subprocess
import sys
from dataclasses import asdict, dataclass
from typing import Sequence

_Y4M_MAGIC = b"YUV4MPEG2 "
_FRAME = b"FRAME"


class ChunkFailed(Exception):
    """A chunk's render or encoder failed; the text says which and why."""


@dataclass(frozen=True)
class Job:
    script: str
    script_args: tuple[str, ...]   # KEY=VALUE, as lumeq-pipe takes them
    output: int
    container: str                 # lumeq-pipe's -c
    encoder: str | None            # None: lumeq-pipe writes the chunk itself
    work_dir: str
    extension: str


@dataclass(frozen=True)
class ChunkResult:
    index: int
    first: int
    last: int
    path: str
    frames: int
    checksum: str


def pipe_command(job: Job, first: int | None = None, last: int | None = None) -> list[str]:
    command = [sys.executable, "-m", "lumeq_pipe", "-o", str(job.output), "-c", job.container]
    for item in job.script_args:
        command += ["-a", item]
    if first is not None:
        command += ["--start", str(first), "--end", str(last)]
    return command + [job.script]


def chunk_path(job: Job, index: int) -> str:
    return os.path.join(job.work_dir, f"chunk-{index:06d}{job.extension}")


def _manifest_path(path: str) -> str:
    return path + ".done"


def file_checksum(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def finished_chunk(job: Job, index: int, first: int, last: int) -> ChunkResult | None:
    """The result of a chunk an earlier run finished, if its file is intact."""
    path = chunk_path(job, index)
    try:
        with open(_manifest_path(path)) as f:
            result = ChunkResult(**json.load(f))
    except (OSError, ValueError, TypeError):
        return None
    if (result.first, result.last) != (first, last) or not os.path.exists(path):
        return None
    return result if file_checksum(path) == result.checksum else None


def _encoder_argv(command: str, out: str) -> list[str]:
    return [token.replace("{out}", out) for token in shlex.split(command)]


def _tail(data: bytes) -> str:
    lines = data.decode("utf-8", "replace").strip().splitlines()
    return "\n".join(lines[-5:])


def _run_pipeline(job: Job, first: int, last: int, temp: str) -> None:
    pipe_argv = pipe_command(job, first, last) + ["-" if job.encoder else temp]
    if job.encoder is None:
        done = subprocess.run(pipe_argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, check=False)
        if done.returncode != 0:
            raise ChunkFailed(f"lumeq-pipe exited with status {done.returncode}: {_tail(done.stderr)}")
        return
    with open(temp + ".log", "w+b") as pipe_log:
        render = subprocess.Popen(pipe_argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=pipe_log)
        assert render.stdout is not None
        try:
            encode = subprocess.run(_encoder_argv(job.encoder, temp), stdin=render.stdout,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
        finally:
            render.stdout.close()
            render_status = render.wait()
        pipe_log.seek(0)
        pipe_text = pipe_log.read()
    os.unlink(temp + ".log")
    if render_status != 0:
        raise ChunkFailed(f"lumeq-pipe exited with status {render_status}: {_tail(pipe_text)}")
    if encode.returncode != 0:
        raise ChunkFailed(f"the encoder exited with status {encode.returncode}: {_tail(encode.stderr)}")


def render_chunk(job: Job, index: int, first: int, last: int) -> ChunkResult:
    """Renders frames first..last into the encoder; runs in a Dask worker.
    The chunk appears under its final name only once it is whole, so a
    killed task never leaves a file that --resume would trust."""
    path = chunk_path(job, index)
    root, ext = os.path.splitext(path)
    temp = f"{root}.part{ext}"
    _run_pipeline(job, first, last, temp)
    frames = count_frames(temp, job)
    expected = last - first + 1
    if frames != expected:
        raise ChunkFailed(f"the chunk holds {frames} frames, expected {expected}")
    os.replace(temp, path)
    result = ChunkResult(index, first, last, path, frames, file_checksum(path))
    with open(_manifest_path(path), "w") as f:
        json.dump(asdict(result), f)
    return result


def _y4m_frames(path: str) -> tuple[int, int]:
    """(header length, FRAME records) of a Y4M file, walking the records."""
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


def join(job: Job, chunks: Sequence[ChunkResult], out: str) -> None:
    if job.encoder is None:
        _byte_join(job, chunks, out)
    else:
        _concat_join(chunks, out)


def _byte_join(job: Job, chunks: Sequence[ChunkResult], out: str) -> None:
    # One Y4M header, then every chunk's FRAME records in order.
    with open(out, "wb") as dest:
        for position, chunk in enumerate(chunks):
            with open(chunk.path, "rb") as src:
                if job.container == "y4m":
                    header = src.readline()
                    if position == 0:
                        dest.write(header)
                while block := src.read(1 << 20):
                    dest.write(block)


def _concat_join(chunks: Sequence[ChunkResult], out: str) -> None:
    listing = out + ".concat.txt"
    with open(listing, "w") as f:
        for chunk in chunks:
            quoted = os.path.abspath(chunk.path).replace("'", "'\\''")
            f.write(f"file '{quoted}'\n")
    try:
        done = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i", listing,
                               "-map", "0", "-c", "copy", out], capture_output=True, text=True, check=False)
    finally:
        os.unlink(listing)
    if done.returncode != 0:
        raise ChunkFailed(f"joining the chunks with ffmpeg failed: {done.stderr.strip()}")
