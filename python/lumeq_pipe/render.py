"""Rendering an output: where the frames go, the encoder, the loop that writes
them in order, Ctrl-C during it, and the timecode file beside it."""
from __future__ import annotations

import argparse
import contextlib
import errno
import fcntl
from fractions import Fraction
import os
import signal
import sys
from typing import Any, BinaryIO, Iterator, TextIO

import lumeq

from .command import (EXIT_BROKEN_PIPE, EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError,
                      frame_range, report)
from .encode import ENCODERS, EncodeError
from .filter_time import format_filter_times
from .progress import Progress
from .timecodes import FrameClock, TimingError
from .wave import AUDIO_WRITERS, FRAME_SAMPLES

_WRITE_BUFFER = 1 << 20
# The sizes to ask of a pipe, largest first: 1 MiB is the unprivileged limit
# by default; a user past the system's budget of pipe pages gets less.
_PIPE_BUFFERS = (1 << 20, 1 << 18)


class FrameFailed(Exception):
    """A frame could not be rendered; `frame` is its number in the clip."""

    def __init__(self, frame: int, text: str) -> None:
        super().__init__(f"frame {frame} failed to render: {text}")
        self.frame = frame


class Sink:
    """Where frames go. Standard output is claimed before the script runs:
    the original descriptor is kept for the frames and descriptor 1 is pointed
    at standard error, so whatever the script or a plugin prints cannot end
    up inside the video stream."""

    def __init__(self, target: str) -> None:
        self.target = target
        self.name = "standard output" if target == "-" else target
        self._fd: int | None = None
        if target == "-":
            if os.isatty(1):
                raise CommandError("refusing to write video to a terminal; redirect standard output or give a file",
                                   EXIT_USAGE)
            sys.stdout.flush()
            self._fd = os.dup(1)
            os.dup2(2, 1)

    def open(self) -> BinaryIO:
        try:
            if self._fd is not None:
                fd, self._fd = self._fd, None
                out = open(fd, "wb", buffering=_WRITE_BUFFER)
            else:
                out = open(self.target, "wb", buffering=_WRITE_BUFFER)
        except OSError as exc:
            raise CommandError(f"cannot open {self.name}: {exc.strerror or exc}") from None
        _widen_pipe(out.fileno())
        return out

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


def _widen_pipe(fd: int) -> None:
    """A pipe's default 64 KiB means a switch to the reader every 64 KiB of
    a frame; 1 MiB (where the system allows it) moves a 1080p frame in one
    to three turns. Anything but a pipe refuses, which is fine."""
    for size in _PIPE_BUFFERS:
        try:
            fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, size)
            return
        except AttributeError:
            return
        except OSError as exc:
            if exc.errno != errno.EPERM:  # not a pipe
                return


class Interrupt:
    """Ctrl-C handling. While frames are being written, the first Ctrl-C only
    asks the loop to stop after the frame in hand, so the file never ends in
    half a frame; a second one, while in-flight frames are being waited for,
    ends the process at once. At any other time Ctrl-C raises as usual."""

    def __init__(self) -> None:
        self.rendering = False
        self.requested = False

    def __call__(self, signum: int, frame: Any) -> None:
        if not self.rendering:
            raise KeyboardInterrupt
        self.requested = True
        signal.signal(signal.SIGINT, signal.SIG_DFL)


interrupt = Interrupt()


def _render(clip: lumeq.VideoNode | lumeq.AudioNode, first: int, last: int, sink: Sink, encoder: Any,
            requests: int | None, progress: Progress, clock: FrameClock) -> None:
    whole = first == 0 and last == clip.num_frames - 1
    frames = (clip if whole else _frame_slice(clip, first, last)).frames(prefetch=requests)
    out: BinaryIO | None = None
    interrupt.rendering, interrupt.requested = True, False
    try:
        while not interrupt.requested:
            try:
                frame = next(frames)
            except StopIteration:
                break
            except RuntimeError as exc:
                raise FrameFailed(first + progress.done, str(exc)) from None
            if out is None:
                header = encoder.header(clip, frame)
                out = sink.open()
                out.write(header)
            clock.advance(first + progress.done, frame.props)
            progress.advance(encoder.write(out, frame))
            del frame
        if interrupt.requested:
            raise KeyboardInterrupt
    finally:
        interrupt.rendering = False
        # Dropping the iterator waits for the requests still in flight, so
        # nothing is left rendering; drop it here rather than whenever a
        # traceback holding this function's locals goes away.
        del frames
        if out is not None:
            try:
                out.close()
            except BrokenPipeError:
                pass


def _frame_slice(clip: lumeq.VideoNode | lumeq.AudioNode, first: int, last: int) -> Any:
    if isinstance(clip, lumeq.AudioNode):
        # Audio slices count sample frames; whole audio frames stay aligned.
        return clip[first * FRAME_SAMPLES:(last + 1) * FRAME_SAMPLES]
    return clip[first:last + 1]


def _encoder(container: str | None, clip: lumeq.VideoNode | lumeq.AudioNode, first: int, last: int) -> Any:
    if isinstance(clip, lumeq.AudioNode):
        name = container or "wav"
        if name not in AUDIO_WRITERS:
            raise CommandError(f"-c {name} carries video, but the output is audio; use wav, w64 or none", EXIT_USAGE)
        return AUDIO_WRITERS[name](first, last)
    name = container or "y4m"
    if name not in ENCODERS:
        raise CommandError(f"-c {name} carries audio, but the output is video; use y4m or none", EXIT_USAGE)
    return ENCODERS[name]()


def _fail(message: str) -> None:
    report("lumeq-pipe", message)


def _is_broken_pipe(exc: OSError) -> bool:
    return isinstance(exc, BrokenPipeError) or exc.errno == errno.EPIPE


def write_output(opts: argparse.Namespace, clip: lumeq.VideoNode | lumeq.AudioNode, sink: Sink) -> int:
    first, last = frame_range(clip.num_frames, opts.start, opts.end, opts.output)
    encoder = _encoder(opts.container, clip, first, last)
    try:
        encoder.check(clip)
    except EncodeError as exc:
        raise CommandError(str(exc)) from None
    terminal = sys.stderr.isatty()
    progress = Progress(last - first + 1, sys.stderr, live=terminal or opts.progress, terminal=terminal)
    if isinstance(clip, lumeq.AudioNode) and opts.filter_time:
        raise CommandError("--filter-time times video outputs only", EXIT_USAGE)
    # An audio frame lasts its 3072 samples.
    rate = Fraction(clip.sample_rate, FRAME_SAMPLES) if isinstance(clip, lumeq.AudioNode) else clip.fps
    with _timecode_file(opts.timecodes) as timecodes:
        clock = FrameClock(rate, timecodes)
        status = _render_reporting(clip, first, last, sink, encoder, opts, progress, clock)
        if status == EXIT_OK and opts.timecodes_end:
            clock.write_end()
    if opts.filter_time and isinstance(clip, lumeq.VideoNode):
        sys.stderr.write(format_filter_times(clip.filter_times()))
    if clock.varies and timecodes is None and (opts.container or "y4m") == "y4m":
        _fail("warning: the frames' durations vary; the Y4M frame rate is only nominal "
              "(write their times with --timecodes FILE)")
    return status


@contextlib.contextmanager
def _timecode_file(path: str | None) -> Iterator[TextIO | None]:
    if path is None:
        yield None
        return
    try:
        stream = open(path, "w", encoding="ascii")
    except OSError as exc:
        raise CommandError(f"cannot open {path}: {exc.strerror or exc}") from None
    with stream:
        yield stream


def _render_reporting(clip: lumeq.VideoNode | lumeq.AudioNode, first: int, last: int, sink: Sink, encoder: Any,
                      opts: argparse.Namespace, progress: Progress, clock: FrameClock) -> int:
    try:
        _render(clip, first, last, sink, encoder, opts.requests, progress, clock)
    except FrameFailed as exc:
        _fail(str(exc))
        progress.finish(f"stopped at frame {exc.frame}")
        return EXIT_ERROR
    except (EncodeError, TimingError) as exc:
        _fail(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        progress.finish("interrupted")
        return EXIT_INTERRUPTED
    except OSError as exc:
        if _is_broken_pipe(exc):
            progress.finish("the reader closed the output")
            return EXIT_BROKEN_PIPE
        _fail(f"cannot write {sink.name}: {exc.strerror or exc}")
        progress.finish("stopped")
        return EXIT_ERROR
    progress.finish()
    return EXIT_OK
