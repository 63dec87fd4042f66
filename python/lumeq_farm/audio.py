"""Audio: the script's audio output rendered once to Wave64 by lumeq-pipe,
then muxed beside the joined video."""
from __future__ import annotations

import os
import subprocess
from dataclasses import dataclass
from fractions import Fraction

from .chunks import ChunkFailed, Job, pipe_command

AUDIO_CODECS = ("flac", "opus", "copy-pcm")
_CARRIES: dict[str, frozenset[str]] = {
    ".mkv": frozenset(AUDIO_CODECS),
    # An MP4 cannot mark where Opus's last packet's padding starts: its count would grow.
    ".mp4": frozenset({"flac"}),
    ".webm": frozenset({"opus"}),
}
_OPUS_RATES = (48000, 24000, 16000, 12000, 8000)


class AudioError(Exception):
    """An --audio request that cannot be met; the text says why."""


@dataclass(frozen=True)
class AudioTrack:
    output: int
    codec: str
    path: str            # the rendered Wave64 file
    sample_rate: int
    samples: int
    start: int           # the sample frames [start, end) that go with the video's range
    end: int


def check_container(out: str, codec: str) -> None:
    container = os.path.splitext(out)[1].lower()
    if codec not in _CARRIES.get(container, frozenset()):
        carriers = ", ".join(sorted(ext for ext, codecs in _CARRIES.items() if codec in codecs))
        raise AudioError(f"a {container or 'file without an extension'} OUT cannot carry {codec} audio; "
                         f"use {carriers}")


def start_info(job: Job, output: int) -> subprocess.Popen[str]:
    argv = pipe_command(job)
    argv[argv.index("-o") + 1] = str(output)
    return subprocess.Popen(argv + ["--info"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def plan_track(info: subprocess.Popen[str], job: Job, output: int, codec: str,
               frames: tuple[int, int], fps: Fraction) -> AudioTrack:
    """The track that goes with video frames first..last, cut at the clip's nominal rate."""
    stdout, stderr = info.communicate()
    if info.returncode != 0:
        raise AudioError(f"audio output {output}: {stderr.strip().splitlines()[-1] if stderr.strip() else 'failed'}")
    facts = {key.strip(): value.strip() for key, _, value in (line.partition(":") for line in stdout.splitlines())}
    if "(audio)" not in facts.get("output", ""):
        raise AudioError(f"output {output} is video, not audio; --audio takes the index of an audio output")
    rate, samples = int(facts["sample rate"].split()[0]), int(facts["samples"])
    first, last = frames
    start, end = 0, samples
    if fps > 0:
        start = min(samples, round(first * rate / fps))
        end = min(samples, round((last + 1) * rate / fps))
    return AudioTrack(output, codec, os.path.join(job.work_dir, f"audio-{output}.w64"), rate, samples, start, end)


def start_render(job: Job, track: AudioTrack) -> subprocess.Popen[bytes]:
    """Renders the whole audio output once, beside the chunks, while they render."""
    argv = pipe_command(job)
    argv[argv.index("-o") + 1] = str(track.output)
    argv[argv.index("-c") + 1] = "w64"
    return subprocess.Popen(argv + [track.path + ".part"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)


def finish_render(render: subprocess.Popen[bytes], track: AudioTrack) -> None:
    _, stderr = render.communicate()
    if render.returncode != 0:
        text = stderr.decode("utf-8", "replace").strip().splitlines()
        raise ChunkFailed(f"rendering audio output {track.output} failed (status {render.returncode}): "
                          f"{text[-1] if text else ''}")
    os.replace(track.path + ".part", track.path)


def _pcm_codec(path: str) -> str:
    done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                           "stream=codec_name", "-of", "csv=p=0", path], capture_output=True, text=True, check=False)
    return done.stdout.strip() or "pcm_s16le"


def encode_args(track: AudioTrack) -> list[str]:
    """ffmpeg's output arguments for the track, input 1 of the final mux."""
    args = ["-map", "1:a:0"]
    cut = []
    if (track.start, track.end) != (0, track.samples):
        cut = [f"atrim=start_sample={track.start}:end_sample={track.end},asetpts=PTS-STARTPTS"]
    if track.codec == "opus" and track.sample_rate not in _OPUS_RATES:
        cut.append("aresample=48000")
    if cut:
        args += ["-af", ",".join(cut)]
    if track.codec == "flac":
        # This ffmpeg still calls FLAC in MP4 experimental; the mapping is standard.
        args += ["-c:a", "flac", "-strict", "experimental"]
    elif track.codec == "opus":
        args += ["-c:a", "libopus"]
    else:
        # The samples as rendered; an encoder rather than a copy, so a cut can apply.
        args += ["-c:a", _pcm_codec(track.path)]
    return args


def expected_samples(track: AudioTrack) -> tuple[float, int]:
    """The muxed track's sample count (fractional when resampled), and the rate it is counted at."""
    count = track.end - track.start
    if track.codec == "opus" and track.sample_rate not in _OPUS_RATES:
        return count * 48000 / track.sample_rate, 48000
    return count, track.sample_rate


def count_samples(path: str, rate: int) -> int:
    """Decodes OUT's audio and counts its sample frames (one byte a frame)."""
    argv = ["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-ar", str(rate),
            "-c:a", "pcm_u8", "-f", "u8", "-"]
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout is not None
        total = 0
        while block := proc.stdout.read(1 << 20):
            total += len(block)
        _, stderr = proc.communicate()
    if proc.returncode != 0:
        raise ChunkFailed(f"cannot decode the audio of {path}: {stderr.decode('utf-8', 'replace').strip()}")
    return total
