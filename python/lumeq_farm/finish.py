"""The pass after the join, when one is needed: the script's own frame times
for a variable-rate clip, and the audio track."""
from __future__ import annotations

import os
import subprocess
from fractions import Fraction
from typing import Sequence

from lumeq_pipe.command import report

from .audio import AudioTrack, count_samples, encode_args, expected_samples
from .chunks import ChunkFailed, ChunkResult, Job
from .timing import frame_times, keeps_nominal_rate, setts_filter, times_present


# Containers whose packets keep the times the join gives them, to a fine enough tick.
_TIMED_CONTAINERS = (".mkv", ".mp4", ".webm", ".mov")


def timestamp_filter(out: str, job: Job, chunks: Sequence[ChunkResult], rate: Fraction) -> str | None:
    """The filter that restores a variable-rate script's frame times, or None
    when the frames keep to the nominal rate. Where OUT cannot keep times
    (Y4M, raw planes, IVF, a bare bitstream), they go to a timecode file
    beside it, for a muxer."""
    if rate <= 0 or all(c.constant_rate for c in chunks):
        return None  # audio outputs (their frames are counted in samples), or a constant rate
    if not times_present(chunks) or keeps_nominal_rate(chunks, rate):
        return None
    times = frame_times(chunks)
    if job.encoder is not None and os.path.splitext(out)[1].lower() in _TIMED_CONTAINERS:
        return setts_filter(times, rate)
    path = out + ".timecodes.txt"
    with open(path, "w", encoding="ascii") as f:
        f.write("# timecode format v2\n")
        f.writelines(f"{t // 10**6}.{t % 10**6:06d}\n" for t in times[:-1])
    report("lumeq-farm", f"warning: the frames' durations vary and {out} keeps no times; "
                         f"they are in {path} (v2 timecodes)")
    return None


def finish_output(joined: str, out: str, job: Job, chunks: Sequence[ChunkResult], rate: Fraction,
                  track: AudioTrack | None) -> bool:
    """Rewrites the joined file (to become OUT) in place with the times and
    the audio, where there are any; whether it did."""
    retime = timestamp_filter(out, job, chunks, rate)
    if retime is None and track is None:
        return False
    root, ext = os.path.splitext(joined)
    temp = f"{root}.mux{ext}"
    argv = ["ffmpeg", "-v", "error", "-y", "-i", joined]
    if track is not None:
        argv += ["-i", track.path]
    argv += ["-map", "0:v:0", "-c:v", "copy"]
    if retime is not None:
        argv += ["-bsf:v", retime]
    if track is not None:
        argv += encode_args(track)
    done = subprocess.run(argv + [temp], stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        if os.path.exists(temp):
            os.unlink(temp)
        lines = done.stderr.strip().splitlines()[-3:] or [f"ffmpeg status {done.returncode}"]
        raise ChunkFailed(f"muxing the video with {'its times' if track is None else 'the audio'} failed: "
                          f"{' / '.join(lines)}")
    if track is not None:
        expected, counted_at = expected_samples(track)
        muxed = count_samples(temp, counted_at)
        # Resampled audio ends within a sample of the exact length.
        if abs(muxed - expected) >= 1:
            os.unlink(temp)
            raise ChunkFailed(f"the muxed audio holds {muxed} samples, expected {expected:g}")
    os.replace(temp, joined)
    return True
