"""The lumeq-farm command: split an output into chunks (at scene changes or
every N frames), render and encode them on Dask, join them."""
from __future__ import annotations

import argparse
import hashlib
import logging
import os
import shutil
import subprocess
import threading
import time
from dataclasses import dataclass, replace
from fractions import Fraction
from typing import Any, Callable, NoReturn, Sequence

from lumeq_pipe.command import (EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError, frame_range,
                                non_negative, positive, report, script_arg)

from . import audio
from .chunks import (ChunkFailed, ChunkResult, Job, JoinFailed, encoder_argv, join, pipe_command,
                     read_manifest_plan, write_manifest)
from .encoders import CODECS, PresetError, make_preset
from .events import Events, EventsError
from .finish import finish_output
from .quality import Target, TargetError, parse_target
from .scenes import (DEFAULT_THRESHOLD, ScenesError, chunks_from_scenes, find_cuts, read_scenes,
                     scenes_from_cuts, scenes_path, write_scenes)
from .schedule import ChunkGaveUp, ChunkRunner, FarmProgress, score_range

PROG = "lumeq-farm"

_INSTALL_HINT = ("lumeq-farm needs Dask's distributed package, which is not installed; "
                 "install it with: pip install 'lumeq[farm]'")

_EPILOG = """\
examples:
  lumeq-farm --workers 2 script.py out.y4m
  lumeq-farm --encoder "ffmpeg -v error -f yuv4mpegpipe -i - -c:v libx264 -crf 18 {out}" script.py out.mkv
  lumeq-farm --split fixed --chunk-frames 500 --encoder "..." script.py out.mkv
  lumeq-farm --events - --encoder "..." script.py out.mkv | my-wrapper
  lumeq-farm --scenes edited-scenes.json --encoder "..." script.py out.mkv
  lumeq-farm --redo 3,7-9 --encoder "..." script.py out.mkv
  lumeq-farm --scheduler tcp://10.0.0.5:8786 --work-dir /shared/job1 --encoder "..." script.py out.mkv
  lumeq-farm --encoder x264 --crf 20 --preset slow --audio 1 script.py out.mkv
  lumeq-farm --encoder svt-av1 --preset 6 --target-quality ssim:0.98 script.py out.webm

exit status: 0 done, 1 the script, a chunk or the join failed, 2 bad usage,
130 interrupted.
"""

_DEFAULT_CHUNK_FRAMES = 1000


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line a user can act on, as for every other option error.
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


def redo_list(text: str) -> frozenset[int]:
    """"3,7-9" → {3, 7, 8, 9}."""
    chosen: set[int] = set()
    for item in text.split(","):
        low, dash, high = item.strip().partition("-")
        try:
            first, last = int(low), int(high) if dash else int(low)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected chunk indices like 3,7-9, got {text!r}") from None
        if first < 0 or last < first:
            raise argparse.ArgumentTypeError(f"{item.strip()!r} is not a range of chunk indices")
        chosen.update(range(first, last + 1))
    return frozenset(chosen)


def memory_size(text: str) -> int:
    from dask.utils import parse_bytes
    try:
        value = int(parse_bytes(text))
    except (ValueError, TypeError):
        raise argparse.ArgumentTypeError(f"expected a size like 4GiB or 1500MB, got {text!r}") from None
    # A worker process alone holds about 100 MiB; Dask restarts one that passes its limit.
    if value < 256 << 20:
        raise argparse.ArgumentTypeError(f"{text} is less than a worker needs (256MiB at least)")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Render one output of a lumeq script in chunks on a Dask cluster, encode each chunk, "
                    "and join the chunks in order into OUT. Chunks start at scene changes by default.")
    parser.add_argument("script", metavar="SCRIPT")
    parser.add_argument("out", metavar="OUT")
    parser.add_argument("--encoder", metavar="CMD", default=None,
                        help=f"a preset, {'|'.join(CODECS)} (through ffmpeg, into OUT's container: "
                             ".mkv, .mp4, .webm or .ivf), or an encoder command reading Y4M on standard input "
                             "and writing {out} (default: none, the chunks are Y4M or raw and are joined byte-wise)")
    encoding = parser.add_argument_group("presets, quality and audio")
    encoding.add_argument("--crf", metavar="Q", type=float, default=None,
                          help="a preset's quantizer (crf; rav1e's qp); with --target-quality, where the search "
                               "starts (default the encoder's own)")
    encoding.add_argument("--preset", metavar="P", default=None,
                          help="a preset's speed: x264/x265 ultrafast..placebo, svt-av1 0-13, aom 0-8 (cpu-used), "
                               "rav1e 0-10")
    encoding.add_argument("--encoder-args", metavar="ARGS", default=None,
                          help="more ffmpeg output options for a preset, e.g. \"-tune grain -pix_fmt yuv420p10le\"")
    encoding.add_argument("--target-quality", metavar="METRIC:VALUE", default=None,
                          help="encode each chunk at the quantizer that just meets psnr (dB), ssim (0-1) or "
                               "ssimulacra2 (with the vszip plugin), probed on a sample; needs a preset")
    encoding.add_argument("--audio", metavar="N", type=non_negative, default=None,
                          help="mux the script's audio output N, rendered once, into OUT")
    encoding.add_argument("--audio-codec", choices=audio.AUDIO_CODECS, default="flac",
                          help="the muxed audio's codec (default flac; opus resamples to 48 kHz where needed)")
    parser.add_argument("-a", "--arg", metavar="KEY=VALUE", action="append", type=script_arg, default=[],
                        help="passed to the script as lumeq-pipe does; repeatable")
    parser.add_argument("-o", "--output", metavar="N", type=int, default=0)
    parser.add_argument("-c", "--container", choices=("y4m", "none"), default="y4m",
                        help="what the chunks are rendered as (with --encoder: y4m)")
    parser.add_argument("-s", "--start", metavar="S", type=non_negative, default=None)
    parser.add_argument("-e", "--end", metavar="E", type=non_negative, default=None)
    chunking = parser.add_argument_group("chunks")
    chunking.add_argument("--split", choices=("scenes", "fixed"), default=None,
                          help="cut chunks at scene changes (the default) or every --chunk-frames frames "
                               "(the default when --chunk-frames is given)")
    chunking.add_argument("--chunk-frames", metavar="N", type=positive, default=None,
                          help=f"frames per chunk with --split fixed (default {_DEFAULT_CHUNK_FRAMES})")
    chunking.add_argument("--min-chunk", metavar="N", type=positive, default=24,
                          help="fewest frames in a scene-split chunk (default 24)")
    chunking.add_argument("--max-chunk", metavar="N", type=positive, default=1000,
                          help="most frames in a scene-split chunk; a longer scene is split evenly (default 1000)")
    chunking.add_argument("--scenes", metavar="FILE", default=None,
                          help='use this scene list ({"frames": N, "scenes": [[start, end], ...]}, end '
                               "exclusive, counted from the first frame rendered) instead of detecting; "
                               "the work directory's scenes.json has that form")
    chunking.add_argument("--scene-threshold", metavar="T", type=float, default=DEFAULT_THRESHOLD,
                          help=f"how large a change of the picture is a cut, in percent (default {DEFAULT_THRESHOLD:g})")
    cluster = parser.add_argument_group("cluster")
    cluster.add_argument("--scheduler", metavar="ADDRESS", default=None,
                         help="the address of an existing Dask scheduler (default: a local cluster)")
    cluster.add_argument("--workers", metavar="N", type=positive, default=None,
                         help="local cluster worker processes (default the CPU count)")
    cluster.add_argument("--worker-memory", metavar="SIZE", type=memory_size, default=None,
                         help="memory of each worker with its chunk's render and encoder (a chunk past it is "
                              "stopped and tried again; Dask restarts a local worker past it); each chunk's "
                              "core cache is bounded to half of it")
    cluster.add_argument("--work-dir", metavar="DIR", default=None,
                         help="where chunk files go; shared storage on a cluster (default OUT.chunks)")
    cluster.add_argument("--retries", metavar="N", type=non_negative, default=2,
                         help="times a failed chunk is tried again (default 2)")
    cluster.add_argument("--resume", action="store_true",
                         help="keep the chunks an earlier run finished with the same script, arguments and "
                              "encoder (their checksums verified), render the rest")
    cluster.add_argument("--redo", metavar="LIST", type=redo_list, default=frozenset(),
                         help="render these chunks again (indices as in the events and the work directory's "
                              "manifest.json, e.g. 3,7-9), keep the others as --resume does, and join again")
    parser.add_argument("--events", metavar="FILE", default=None,
                        help="write the job's events as JSON Lines to FILE (- for standard output)")
    return parser


@dataclass(frozen=True)
class Split:
    """How the range is cut into chunks; a plan an earlier run wrote is
    reused only if it was cut the same way."""
    kind: str
    chunk_frames: int
    min_chunk: int
    max_chunk: int
    threshold: float
    scenes_file: str | None

    def describe(self, first: int, last: int) -> dict[str, Any]:
        return {"kind": self.kind, "first": first, "last": last, "chunk_frames": self.chunk_frames,
                "min_chunk": self.min_chunk, "max_chunk": self.max_chunk, "threshold": self.threshold,
                "scenes_file": self.scenes_file}


def _split(opts: argparse.Namespace) -> Split:
    kind = opts.split or ("fixed" if opts.chunk_frames is not None else "scenes")
    if kind == "scenes" and opts.chunk_frames is not None:
        raise CommandError("--chunk-frames goes with --split fixed; scene-split chunks are bounded by "
                           "--min-chunk and --max-chunk", EXIT_USAGE)
    if kind == "fixed" and opts.scenes is not None:
        raise CommandError("--scenes goes with --split scenes", EXIT_USAGE)
    if opts.min_chunk > opts.max_chunk:
        raise CommandError(f"--min-chunk {opts.min_chunk} is more than --max-chunk {opts.max_chunk}", EXIT_USAGE)
    if not 0 < opts.scene_threshold <= 100:
        raise CommandError(f"--scene-threshold is a percentage above 0, got {opts.scene_threshold:g}", EXIT_USAGE)
    scenes_file = os.path.abspath(opts.scenes) if opts.scenes else None
    if scenes_file is not None and not os.path.isfile(scenes_file):
        raise CommandError(f"--scenes {opts.scenes}: no such file", EXIT_USAGE)
    return Split(kind, opts.chunk_frames or _DEFAULT_CHUNK_FRAMES, opts.min_chunk, opts.max_chunk,
                 opts.scene_threshold, scenes_file)


def _check_encoder(opts: argparse.Namespace) -> None:
    if opts.encoder is None:
        return
    if opts.container != "y4m":
        raise CommandError("an encoder reads Y4M; -c none goes only without --encoder", EXIT_USAGE)
    if opts.encoder in CODECS:
        return
    try:
        argv = encoder_argv(opts.encoder, "")
    except ValueError as exc:
        raise CommandError(f"--encoder: {exc}", EXIT_USAGE) from None
    if "{out}" not in opts.encoder or not argv:
        raise CommandError("--encoder must name the chunk file it writes as {out}, e.g. "
                           '"ffmpeg -f yuv4mpegpipe -i - -c:v libx264 {out}"', EXIT_USAGE)
    # A local cluster's workers find programs as this process does.
    if opts.scheduler is None and shutil.which(argv[0]) is None:
        raise CommandError(f"--encoder: the program {argv[0]!r} is not found", EXIT_USAGE)


def _encoding(opts: argparse.Namespace) -> tuple[str | None, Target | None]:
    """The chunk encoder's command and the quality target, from the options."""
    preset_options = [name for name, value in (("--crf", opts.crf), ("--preset", opts.preset),
                                               ("--encoder-args", opts.encoder_args),
                                               ("--target-quality", opts.target_quality)) if value is not None]
    if opts.encoder not in CODECS:
        if preset_options:
            raise CommandError(f"{preset_options[0]} goes with a preset --encoder ({', '.join(CODECS)})",
                               EXIT_USAGE)
        return opts.encoder, None
    try:
        preset = make_preset(opts.encoder, opts.out, opts.crf, opts.preset, opts.encoder_args)
        target = None
        if opts.target_quality is not None:
            target = Target(*parse_target(opts.target_quality), preset)
    except (PresetError, TargetError) as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    return preset.command_text(), target


def _check_audio(opts: argparse.Namespace, encoder: str | None) -> None:
    if opts.audio is None:
        return
    if encoder is None:
        raise CommandError("--audio needs --encoder: Y4M and raw chunks carry no audio", EXIT_USAGE)
    try:
        audio.check_container(opts.out, opts.audio_codec)
    except audio.AudioError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None


def _check_out(opts: argparse.Namespace) -> None:
    if opts.out == "-":
        raise CommandError("OUT must be a file: the chunks are joined into it, not streamed", EXIT_USAGE)
    if os.path.isdir(opts.out):
        raise CommandError(f"OUT {opts.out} is a directory", EXIT_USAGE)
    parent = os.path.dirname(os.path.abspath(opts.out))
    if not os.path.isdir(parent):
        raise CommandError(f"cannot write {opts.out}: the directory {parent} does not exist", EXIT_USAGE)
    if not os.path.isfile(opts.script):
        raise CommandError(f"cannot read script {opts.script}: no such file", EXIT_USAGE)


def _script_hash(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def _lumeq_version() -> str:
    import importlib.metadata
    try:
        return importlib.metadata.version("lumeq")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def make_job(opts: argparse.Namespace) -> Job:
    script = os.path.abspath(opts.script)
    cache = opts.worker_memory // 2 >> 20 if opts.worker_memory else None
    return Job(script, tuple(f"{key}={value}" for key, value in opts.arg), opts.output, opts.container,
               opts.encoder, os.path.abspath(opts.work_dir or opts.out + ".chunks"),
               os.path.splitext(opts.out)[1] or ".bin", _script_hash(script), _lumeq_version(), cache,
               worker_memory=opts.worker_memory, one_at_a_time=opts.scheduler is None)


def _start_info(job: Job) -> subprocess.Popen[str]:
    return subprocess.Popen(pipe_command(job) + ["--info"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def _clip_facts(info: subprocess.Popen[str]) -> dict[str, str]:
    """What lumeq-pipe --info says of the output: "frames", "frame rate", …"""
    stdout, stderr = info.communicate()
    if info.returncode != 0:
        raise CommandError(f"the script could not be run:\n{stderr.rstrip()}")
    facts = {key.strip(): value.strip() for key, _, value in (line.partition(":") for line in stdout.splitlines())}
    if not facts.get("frames", "").isdigit():
        raise CommandError("lumeq-pipe --info reported no frame count")
    return facts


def _audio_split(opts: argparse.Namespace, split: Split) -> Split:
    """An audio output has no scenes: split it every N frames, unless scenes were asked for by name."""
    if split.kind != "scenes":
        return split
    if opts.split == "scenes" or opts.scenes is not None:
        raise CommandError(f"output {opts.output} is audio: it has no scenes to split at (use --split fixed)",
                           EXIT_USAGE)
    return replace(split, kind="fixed")


def _nominal_rate(facts: dict[str, str]) -> Fraction:
    """The clip's frame rate from --info ("25/1 (25.000 frames/s)"); 0 if it varies."""
    rate = facts.get("frame rate", "").split()
    return Fraction(rate[0]) if rate and "/" in rate[0] else Fraction(0)


def plan_chunks(first: int, last: int, size: int) -> list[tuple[int, int]]:
    return [(start, min(start + size - 1, last)) for start in range(first, last + 1, size)]


def _open_client(opts: argparse.Namespace) -> Any:
    import distributed
    # distributed has no type hints: held as Any so strict checking stays quiet.
    Client: Any = getattr(distributed, "Client")
    LocalCluster: Any = getattr(distributed, "LocalCluster")
    if opts.scheduler:
        return Client(opts.scheduler), None
    import dask.config
    # Each worker is one process rendering one chunk at a time (lumeq-pipe uses the cores itself);
    # its second thread holds the next task ready (see worker_slot), and no more than that is sent.
    # The scheduler's web server always starts: on a free port, so no warning about a taken one.
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
        cluster = LocalCluster(n_workers=opts.workers or os.cpu_count() or 1, threads_per_worker=2,
                               processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0",
                               silence_logs=logging.CRITICAL, memory_limit=opts.worker_memory or "auto")
    return Client(cluster), cluster


def _close(client: Any, cluster: Any) -> None:
    client.close()
    if cluster is not None:
        cluster.close()


def _worker_count(client: Any) -> int:
    return len(client.scheduler_info().get("workers", {}))


class FarmJob:
    """One run of the command: the job, its cluster, its events."""

    def __init__(self, opts: argparse.Namespace, split: Split, job: Job, events: Events) -> None:
        self.opts, self.split, self.job, self.events = opts, split, job, events
        self.started = events.started

    def plan(self, client: Any, first: int, last: int) -> list[tuple[int, int]]:
        """The chunks to render; with --resume or --redo the earlier run's, if
        it was cut from the same range the same way."""
        if self.opts.resume or self.opts.redo:
            earlier = self._earlier_plan(first, last)
            if earlier is not None:
                return earlier
            if self.opts.redo:
                raise CommandError(f"--redo: {self.job.work_dir} holds no chunk list of an earlier run of this "
                                   "job (the same script, arguments, range and split)", EXIT_USAGE)
        if self.split.kind == "fixed":
            return plan_chunks(first, last, self.split.chunk_frames)
        scenes = self._scenes(client, first, last)
        chunks = chunks_from_scenes(scenes, self.split.min_chunk, self.split.max_chunk)
        return [(first + a, first + b - 1) for a, b in chunks]

    def _earlier_plan(self, first: int, last: int) -> list[tuple[int, int]] | None:
        return read_manifest_plan(self.job, self.split.describe(first, last))

    def _scenes(self, client: Any, first: int, last: int) -> list[tuple[int, int]]:
        frames = last - first + 1
        if self.split.scenes_file is not None:
            try:
                scenes = read_scenes(self.split.scenes_file, frames)
            except ScenesError as exc:
                raise CommandError(f"--scenes: {exc}", EXIT_USAGE) from None
            source = "file"
        else:
            diffs = score_range(client, self.job, first, last, _worker_count(client))
            scenes = scenes_from_cuts(find_cuts(diffs, self.split.threshold), frames)
            source = "detected"
        write_scenes(scenes_path(self.job.work_dir), frames, scenes)
        self.events.emit("scenes", count=len(scenes), source=source)
        report(PROG, f"{len(scenes)} scenes ({source})")
        return scenes

    def render(self, client: Any, plan: list[tuple[int, int]]) -> list[ChunkResult]:
        outside = sorted(i for i in self.opts.redo if i >= len(plan))
        if outside:
            raise CommandError(f"--redo: the job has chunks 0..{len(plan) - 1}, not "
                               f"{', '.join(map(str, outside))}", EXIT_USAGE)
        split = self.split.describe(plan[0][0], plan[-1][1])
        write_manifest(self.job, plan, split, {})
        progress = FarmProgress(len(plan), plan[-1][1] - plan[0][0] + 1, self.started)
        runner = ChunkRunner(client, self.job, plan, self.events, progress, self.opts.retries)
        if self.opts.resume or self.opts.redo:
            runner.keep_finished(set(self.opts.redo))
        try:
            return runner.run()
        finally:
            write_manifest(self.job, plan, split, runner.results)

    def finish(self, chunks: list[ChunkResult], finishing: Callable[[str], bool] | None = None) -> None:
        out = self.opts.out
        try:
            join(self.job, chunks, out, finishing)
        except JoinFailed as exc:
            raise CommandError(f"cannot write {out}: {exc}") from None
        frames = sum(c.frames for c in chunks)
        seconds = time.monotonic() - self.started
        self.events.emit("job_done", output=os.path.abspath(out), frames=frames, seconds=round(seconds, 6),
                         fps=round(frames / seconds, 3) if seconds > 0 else 0.0, bytes=os.path.getsize(out))
        report(PROG, f"{frames} frames in {len(chunks)} chunks to {out} in {seconds:.2f} s "
                     f"({frames / seconds if seconds > 0 else 0.0:.2f} frames/s)")


def _run(opts: argparse.Namespace) -> int:
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise CommandError(_INSTALL_HINT) from None
    split = _split(opts)
    _check_encoder(opts)
    encoder, target = _encoding(opts)
    _check_audio(opts, encoder)
    _check_out(opts)
    job = replace(make_job(opts), encoder=encoder, target=target)
    try:
        events = Events(opts.events)
    except EventsError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    try:
        return _run_job(FarmJob(opts, split, job, events))
    except (CommandError, ChunkGaveUp, ChunkFailed) as exc:
        events.emit("job_failed", error=str(exc))
        raise
    finally:
        events.close()


def _run_job(farm: FarmJob) -> int:
    opts, job = farm.opts, farm.job
    # The script's first run (for the frame count) and the cluster's start-up
    # take about as long as each other, and neither needs the other.
    info = _start_info(job)
    sound = _Audio(opts, job)
    try:
        client, cluster = _open_client(opts)
    except BaseException:
        info.kill()
        info.wait()
        sound.stop()
        raise
    try:
        facts = _clip_facts(info)
        if facts.get("output", "").endswith("(audio)"):
            farm.split = _audio_split(opts, farm.split)
        first, last = frame_range(int(facts["frames"]), opts.start, opts.end, opts.output)
        rate = _nominal_rate(facts)
        farm.job = job = replace(job, frame_rate=rate)
        os.makedirs(job.work_dir, exist_ok=True)
        sound.start((first, last), rate)
        plan = farm.plan(client, first, last)
        farm.events.emit("job", frames=last - first + 1, chunks=len(plan), workers=_worker_count(client))
        chunks = farm.render(client, plan)
    except BaseException:
        sound.stop()
        _close(client, cluster)
        raise
    # Shutting the cluster down takes about as long as the join, and neither needs the other.
    closing = threading.Thread(target=_close, args=(client, cluster), name="lumeq-farm-close")
    closing.start()
    try:
        farm.finish(chunks, lambda path: finish_output(path, opts.out, job, chunks, rate, sound.track()))
    finally:
        sound.stop()
        closing.join()
    return EXIT_OK


class _Audio:
    """The --audio track: its output is checked while the cluster starts, and
    rendered beside the chunks."""

    def __init__(self, opts: argparse.Namespace, job: Job) -> None:
        self.opts, self.job = opts, job
        self.info = audio.start_info(job, opts.audio) if opts.audio is not None else None
        self.planned: audio.AudioTrack | None = None
        self.render: subprocess.Popen[bytes] | None = None

    def start(self, frames: tuple[int, int], rate: Fraction) -> None:
        if self.info is None:
            return
        try:
            self.planned = audio.plan_track(self.info, self.job, self.opts.audio, self.opts.audio_codec, frames,
                                            rate)
        except audio.AudioError as exc:
            raise CommandError(str(exc), EXIT_USAGE) from None
        self.render = audio.start_render(self.job, self.planned)

    def track(self) -> audio.AudioTrack | None:
        """The rendered track, once its render is done."""
        if self.render is not None and self.planned is not None:
            audio.finish_render(self.render, self.planned)
        return self.planned

    def stop(self) -> None:
        for process in (self.info, self.render):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()


def main(argv: Sequence[str] | None = None) -> int:
    opts = build_parser().parse_args(argv)
    try:
        return _run(opts)
    except CommandError as exc:
        report(PROG, str(exc))
        return exc.status
    except (ChunkFailed, ChunkGaveUp) as exc:
        report(PROG, str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        report(PROG, "interrupted")
        return EXIT_INTERRUPTED
