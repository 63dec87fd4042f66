"""The lumeq-pipe command: run a script, render one of its outputs to a file or a pipe."""
from __future__ import annotations

import argparse
import contextlib
import errno
import fcntl
from fractions import Fraction
import os
import signal
import sys
import threading
from typing import Any, BinaryIO, Iterator, Sequence, TextIO

import lumeq

from .encode import ENCODERS, EncodeError, has_constant_format
from .filter_time import format_filter_times
from .host import Host, HostError, ScriptFailed, find_output, run_script
from .metadata import describe_props
from .progress import Progress
from .timecodes import FrameClock, TimingError
from .wave import AUDIO_WRITERS, FRAME_SAMPLES, describe_audio

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

_WRITE_BUFFER = 1 << 20
_PIPE_BUFFER = 1 << 18

_DESCRIPTION = """\
Run a lumeq script and write the frames of one of its outputs, in order: video
as a YUV4MPEG2 stream (the default) or as raw planes, audio as a WAV file (the
default), a Wave64 file or raw interleaved samples.

The script runs in an environment of its own, with __name__ set to "__lumeq__"
(so its `if __name__ == "__main__":` block does not run), and registers its
clips with clip.set_output(index).
"""

_EPILOG = """\
examples:
  lumeq-pipe script.py out.y4m
  lumeq-pipe script.py - | ffmpeg -i - -c:v libx264 out.mkv
  lumeq-pipe --arg src=in.mkv --start 1000 --end 1999 script.py part2.y4m
  lumeq-pipe --info script.py
  lumeq-pipe -o 1 -c wav script.py sound.wav
  lumeq-pipe --timecodes times.txt vfr.py - | ffmpeg -i - -c:v ffv1 out.mkv
  lumeq-pipe --filter-time script.py /dev/null
  generate-script | lumeq-pipe - out.y4m

exit status: 0 done, 1 the script or a frame failed, 2 bad usage,
130 interrupted, 141 the reader closed the output early.
"""


class PipeError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


class FrameFailed(Exception):
    def __init__(self, frame: int, text: str) -> None:
        super().__init__(f"frame {frame} failed to render: {text}")
        self.frame = frame


def _script_arg(text: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key.isidentifier():
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE with KEY a Python name, got {text!r}")
    return key, value


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _frame_number(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


class _PrintVersions(argparse.Action):
    """--version: lumeq's own version, then VapourSynth's version text, which
    needs the library, so a missing one is reported as an error."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        sys.stdout.write(f"lumeq {_lumeq_version()}\n")
        sys.stdout.flush()
        try:
            text = lumeq.Core(threads=1).version()
        except RuntimeError as exc:  # the library could not be loaded
            _fail(f"VapourSynth: {exc}")
            parser.exit(EXIT_ERROR)
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
        parser.exit(EXIT_OK)


def _lumeq_version() -> str:
    # Imported here: it costs more than the rest of start-up, and only --version needs it.
    import importlib.metadata
    try:
        return importlib.metadata.version("lumeq")
    except importlib.metadata.PackageNotFoundError:
        return "(version unknown)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lumeq-pipe", description=_DESCRIPTION, epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-V", "--version", action=_PrintVersions,
                        help="print lumeq's version and VapourSynth's version text, and exit")
    parser.add_argument("script", metavar="SCRIPT", help="the Python script to run, or - to read it from standard input")
    parser.add_argument("out", metavar="OUT", nargs="?",
                        help="the file to write, or - for standard output (not needed with --info)")
    parser.add_argument("-a", "--arg", metavar="KEY=VALUE", action="append", type=_script_arg, default=[],
                        help="a global variable KEY set to the string VALUE for the script; repeatable")
    parser.add_argument("-o", "--output", metavar="N", type=int, default=0,
                        help="the output index to render (default 0)")
    parser.add_argument("-s", "--start", metavar="S", type=_frame_number, default=None,
                        help="the first frame to write (default 0); audio frames hold 3072 samples each")
    parser.add_argument("-e", "--end", metavar="E", type=_frame_number, default=None,
                        help="the last frame to write, inclusive (default the clip's last)")
    parser.add_argument("-r", "--requests", metavar="N", type=_count, default=None,
                        help="frames rendering at once (default the core's thread count)")
    parser.add_argument("-c", "--container", choices=sorted(set(ENCODERS) | set(AUDIO_WRITERS)), default=None,
                        help="video: y4m, a YUV4MPEG2 stream (YUV and gray integer formats), or none, raw planes "
                             "(default y4m); audio: wav, w64 (Sony Wave64, no size limit) or none, interleaved "
                             "samples (default wav)")
    parser.add_argument("-t", "--timecodes", metavar="FILE", default=None,
                        help="also write each written frame's start time, from its duration properties, "
                             "to FILE as a v2 timecode file (for variable-rate clips)")
    parser.add_argument("--filter-time", action="store_true",
                        help="time each filter node while rendering and print a table of the output's filters, "
                             "slowest first, to standard error")
    parser.add_argument("-i", "--info", action="store_true",
                        help="print the output's size, length, frame rate, format and first frame's "
                             "siting, field order, range and SAR, the script's output indices, and render nothing")
    parser.add_argument("-p", "--progress", action="store_true",
                        help="report progress even when standard error is not a terminal")
    return parser


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
                raise PipeError("refusing to write video to a terminal; redirect standard output or give a file",
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
            raise PipeError(f"cannot open {self.name}: {exc.strerror or exc}") from None
        _widen_pipe(out.fileno())
        return out

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


def _widen_pipe(fd: int) -> None:
    """A pipe's default 64 KiB means a switch to the reader every 64 KiB of
    a frame; a larger one (where the system allows it) moves frames in fewer
    turns, while still small enough to stay in cache between writer and
    reader. Anything but a pipe refuses, which is fine."""
    try:
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, _PIPE_BUFFER)
    except (OSError, AttributeError):
        pass


def _frame_range(clip: lumeq.VideoNode | lumeq.AudioNode, start: int | None, end: int | None, index: int) -> tuple[int, int]:
    count = clip.num_frames
    if count <= 0:
        raise PipeError(f"output {index} has no frames")
    first = 0 if start is None else start
    last = count - 1 if end is None else end
    if first >= count:
        raise PipeError(f"--start {first} is past the last frame of output {index} ({count - 1})", EXIT_USAGE)
    if last >= count:
        raise PipeError(f"--end {last} is past the last frame of output {index} ({count - 1})", EXIT_USAGE)
    if last < first:
        raise PipeError(f"--end {last} is before --start {first}", EXIT_USAGE)
    return first, last


def describe(index: int, output: lumeq.VideoOutputTuple) -> str:
    clip = output.clip
    size = f"{clip.width}x{clip.height}" if clip.width and clip.height else "variable"
    fps = clip.fps
    rate = f"{fps.numerator}/{fps.denominator} ({float(fps):.3f} frames/s)" if fps.numerator > 0 else "variable"
    alpha = output.alpha
    lines = [
        ("output", str(index)),
        ("size", size),
        ("frames", str(clip.num_frames)),
        ("frame rate", rate),
        ("format", clip.format_name if has_constant_format(clip) else "variable"),
        ("alpha", "none" if alpha is None else (alpha.format_name if has_constant_format(alpha) else "variable")),
    ]
    if clip.num_frames > 0:
        try:
            props = clip.get_frame(0).props
        except RuntimeError as exc:
            raise PipeError(f"frame 0 failed to render: {exc}") from None
        lines += describe_props(props)
    lines.append(("outputs", ", ".join(str(i) for i in lumeq.get_outputs())))
    return "".join(f"{key + ':':<17}{value}\n" for key, value in lines)


class _Interrupt:
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


_interrupt = _Interrupt()


def _render(clip: lumeq.VideoNode | lumeq.AudioNode, first: int, last: int, sink: Sink, encoder: Any,
            requests: int | None, progress: Progress, clock: FrameClock) -> None:
    whole = first == 0 and last == clip.num_frames - 1
    frames = (clip if whole else _frame_slice(clip, first, last)).frames(prefetch=requests)
    out: BinaryIO | None = None
    _interrupt.rendering, _interrupt.requested = True, False
    try:
        while not _interrupt.requested:
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
        if _interrupt.requested:
            raise KeyboardInterrupt
    finally:
        _interrupt.rendering = False
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
            raise PipeError(f"-c {name} carries video, but the output is audio; use wav, w64 or none", EXIT_USAGE)
        return AUDIO_WRITERS[name](first, last)
    name = container or "y4m"
    if name not in ENCODERS:
        raise PipeError(f"-c {name} carries audio, but the output is video; use y4m or none", EXIT_USAGE)
    return ENCODERS[name]()


def _is_broken_pipe(exc: OSError) -> bool:
    return isinstance(exc, BrokenPipeError) or exc.errno == errno.EPIPE


def _fail(message: str) -> None:
    sys.stderr.write(f"lumeq-pipe: {message}\n")
    sys.stderr.flush()


def _run_script(opts: argparse.Namespace) -> int | None:
    """Runs the script; an exit status if it failed, else None."""
    try:
        run_script(opts.script, dict(opts.arg))
    except ScriptFailed as failed:
        raised = failed.exception
        if isinstance(raised, SystemExit):
            _fail(f"the script exited (sys.exit({raised.code!r})) before rendering began")
        else:
            sys.stderr.write(f"lumeq-pipe: the script {failed.path} raised an exception:\n")
            sys.stderr.write(failed.format())
        return EXIT_ERROR
    except HostError as exc:
        raise PipeError(str(exc)) from None
    return None


def _write_output(opts: argparse.Namespace, clip: lumeq.VideoNode | lumeq.AudioNode, sink: Sink) -> int:
    first, last = _frame_range(clip, opts.start, opts.end, opts.output)
    encoder = _encoder(opts.container, clip, first, last)
    try:
        encoder.check(clip)
    except EncodeError as exc:
        raise PipeError(str(exc)) from None
    terminal = sys.stderr.isatty()
    progress = Progress(last - first + 1, sys.stderr, live=terminal or opts.progress, terminal=terminal)
    if isinstance(clip, lumeq.AudioNode) and opts.filter_time:
        raise PipeError("--filter-time times video outputs only", EXIT_USAGE)
    # An audio frame lasts its 3072 samples.
    rate = Fraction(clip.sample_rate, FRAME_SAMPLES) if isinstance(clip, lumeq.AudioNode) else clip.fps
    with _timecode_file(opts.timecodes) as timecodes:
        clock = FrameClock(rate, timecodes)
        status = _render_reporting(clip, first, last, sink, encoder, opts, progress, clock)
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
        raise PipeError(f"cannot open {path}: {exc.strerror or exc}") from None
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


def _run(opts: argparse.Namespace) -> int:
    if not opts.info and opts.out is None:
        raise PipeError("the OUT argument is required (a file, or - for standard output)", EXIT_USAGE)
    sink = None if opts.info else Sink(opts.out)
    try:
        try:
            host = Host()
        except (HostError, RuntimeError) as exc:
            raise PipeError(f"cannot set up an environment: {exc}") from None
        with host:
            if opts.filter_time:
                # Before the script, so that filters count their time from the start.
                lumeq.core.core.node_timing = True
            failed = _run_script(opts)
            if failed is not None:
                return failed
            try:
                output = find_output(opts.output)
            except HostError as exc:
                raise PipeError(str(exc)) from None
            if sink is None:
                sys.stdout.write(describe_audio(opts.output, output) if isinstance(output, lumeq.AudioNode)
                                 else describe(opts.output, output))
                return EXIT_OK
            return _write_output(opts, output if isinstance(output, lumeq.AudioNode) else output.clip, sink)
    finally:
        if sink is not None:
            sink.close()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns the exit status."""
    opts = build_parser().parse_args(argv)
    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, _interrupt) if on_main_thread else None
    try:
        return _run(opts)
    except PipeError as exc:
        _fail(str(exc))
        return exc.status
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    finally:
        if on_main_thread:
            signal.signal(signal.SIGINT, previous if previous is not None else signal.SIG_DFL)
