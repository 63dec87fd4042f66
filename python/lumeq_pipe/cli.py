"""The lumeq-pipe command: run a script, render one of its outputs to a file or a pipe."""
from __future__ import annotations

import argparse
import signal
import sys
import threading
from typing import Any, Sequence

import lumeq

from .command import (EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError, non_negative, positive,
                      report, script_arg)
from .encode import ENCODERS, has_constant_format
from .host import Host, HostError, ScriptFailed, find_output, run_script
from .metadata import describe_props
from .render import Sink, interrupt, write_output
from .wave import AUDIO_WRITERS, describe_audio

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


class _PrintVersions(argparse.Action):
    """--version: lumeq's own version, then VapourSynth's version text, which
    needs the library, so a missing one is reported as an error."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        sys.stdout.write(f"lumeq {lumeq.__version__}\n")
        sys.stdout.flush()
        try:
            text = lumeq.Core(threads=1).version()
        except RuntimeError as exc:  # the library could not be loaded
            _fail(f"VapourSynth: {exc}")
            parser.exit(EXIT_ERROR)
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
        parser.exit(EXIT_OK)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lumeq-pipe", description=_DESCRIPTION, epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-V", "--version", action=_PrintVersions,
                        help="print lumeq's version and VapourSynth's version text, and exit")
    parser.add_argument("script", metavar="SCRIPT", help="the Python script to run, or - to read it from standard input")
    parser.add_argument("out", metavar="OUT", nargs="?",
                        help="the file to write, or - for standard output (not needed with --info)")
    parser.add_argument("-a", "--arg", metavar="KEY=VALUE", action="append", type=script_arg, default=[],
                        help="a global variable KEY set to the string VALUE for the script; repeatable")
    parser.add_argument("-o", "--output", metavar="N", type=int, default=0,
                        help="the output index to render (default 0)")
    parser.add_argument("-s", "--start", metavar="S", type=non_negative, default=None,
                        help="the first frame to write (default 0); audio frames hold 3072 samples each")
    parser.add_argument("-e", "--end", metavar="E", type=non_negative, default=None,
                        help="the last frame to write, inclusive (default the clip's last)")
    parser.add_argument("-r", "--requests", metavar="N", type=positive, default=None,
                        help="frames rendering at once (default the core's thread count)")
    parser.add_argument("-c", "--container", choices=sorted(set(ENCODERS) | set(AUDIO_WRITERS)), default=None,
                        help="video: y4m, a YUV4MPEG2 stream (YUV and gray integer formats), or none, raw planes "
                             "(default y4m); audio: wav, w64 (Sony Wave64, no size limit) or none, interleaved "
                             "samples (default wav)")
    parser.add_argument("--max-cache", metavar="MB", type=positive, default=None,
                        help="bound the core's frame cache to MB mebibytes before the script runs "
                             "(default VapourSynth's; the script may still set its own)")
    parser.add_argument("-t", "--timecodes", metavar="FILE", default=None,
                        help="also write each written frame's start time, from its duration properties, "
                             "to FILE as a v2 timecode file (for variable-rate clips)")
    parser.add_argument("--timecodes-end", action="store_true",
                        help="with --timecodes, end FILE with one more line: the time the last frame ends "
                             "(so the times of separately rendered ranges can be joined)")
    parser.add_argument("--filter-time", action="store_true",
                        help="time each filter node while rendering and print a table of the output's filters, "
                             "slowest first, to standard error")
    parser.add_argument("-i", "--info", action="store_true",
                        help="print the output's size, length, frame rate, format and first frame's "
                             "siting, field order, range and SAR, the script's output indices, and render nothing")
    parser.add_argument("-p", "--progress", action="store_true",
                        help="report progress even when standard error is not a terminal")
    return parser


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
            raise CommandError(f"frame 0 failed to render: {exc}") from None
        lines += describe_props(props)
    lines.append(("outputs", ", ".join(str(i) for i in lumeq.get_outputs())))
    return "".join(f"{key + ':':<17}{value}\n" for key, value in lines)


def _fail(message: str) -> None:
    report("lumeq-pipe", message)


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
        raise CommandError(str(exc)) from None
    return None


def _run(opts: argparse.Namespace) -> int:
    if not opts.info and opts.out is None:
        raise CommandError("the OUT argument is required (a file, or - for standard output)", EXIT_USAGE)
    if opts.timecodes_end and opts.timecodes is None:
        raise CommandError("--timecodes-end goes with --timecodes FILE", EXIT_USAGE)
    sink = None if opts.info else Sink(opts.out)
    try:
        try:
            host = Host()
        except (HostError, RuntimeError) as exc:
            raise CommandError(f"cannot set up an environment: {exc}") from None
        with host:
            if opts.filter_time:
                # Before the script, so that filters count their time from the start.
                lumeq.core.core.node_timing = True
            if opts.max_cache is not None:
                lumeq.core.max_cache_size = opts.max_cache
            failed = _run_script(opts)
            if failed is not None:
                return failed
            try:
                output = find_output(opts.output)
            except HostError as exc:
                raise CommandError(str(exc)) from None
            if sink is None:
                sys.stdout.write(describe_audio(opts.output, output) if isinstance(output, lumeq.AudioNode)
                                 else describe(opts.output, output))
                return EXIT_OK
            return write_output(opts, output if isinstance(output, lumeq.AudioNode) else output.clip, sink)
    finally:
        if sink is not None:
            sink.close()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns the exit status."""
    opts = build_parser().parse_args(argv)
    on_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, interrupt) if on_main_thread else None
    try:
        return _run(opts)
    except CommandError as exc:
        _fail(str(exc))
        return exc.status
    except KeyboardInterrupt:
        _fail("interrupted")
        return EXIT_INTERRUPTED
    finally:
        if on_main_thread:
            signal.signal(signal.SIGINT, previous if previous is not None else signal.SIG_DFL)
