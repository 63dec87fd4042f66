"""lumeq-pipe on real files: files ffmpeg writes, read back through a source
plugin the set-up installs from PyPI, checked against ffmpeg's own decode."""
import subprocess
from pathlib import Path

import pytest

from test_pipe import FFMPEG, FFPROBE, child_env, needs_ffmpeg, pipe_command, run_pipe

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "source_resize.py"
WIDTH, HEIGHT, FRAMES = 98, 54, 30        # odd-sized chroma, as real files have

pytestmark = needs_ffmpeg


def ffmpeg(*args, **kwargs):
    subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *map(str, args)],
                   check=True, timeout=120, **kwargs)


def probe(path, entries, stream="v:0"):
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", stream, "-show_entries", entries,
                          "-of", "csv=p=0", str(path)], capture_output=True, text=True, check=True, timeout=60)
    return out.stdout.split()


@pytest.fixture(scope="module")
def h264(tmp_path_factory):
    """A full-range H.264 file with B-frames, so seeking has something to get wrong."""
    path = tmp_path_factory.mktemp("sources") / "in.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={WIDTH}x{HEIGHT}:rate=30000/1001", "-frames:v", FRAMES,
           "-c:v", "libx264", "-g", 12, "-bf", 2, "-pix_fmt", "yuv420p", "-color_range", "pc", path)
    return path


def test_source_frames_are_ffmpegs_decode(h264, tmp_path):
    decoded = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", str(h264), "-f", "rawvideo", "-"],
                             capture_output=True, check=True, timeout=60).stdout
    size = WIDTH * HEIGHT + 2 * ((WIDTH + 1) // 2) * ((HEIGHT + 1) // 2)
    assert len(decoded) == FRAMES * size
    order = [0, FRAMES // 2, FRAMES - 1, 3]        # the last one is a backward seek
    script = tmp_path / "pick.py"
    script.write_text(f"from lumeq import core\nclip = core.bs.VideoSource(source=src, cachemode=0)\n"
                      f"core.std.Splice(clips=[clip[n] for n in {order}]).set_output()\n")
    out = tmp_path / "picked.raw"
    proc = run_pipe("-c", "none", "-a", f"src={h264}", script, out)
    assert proc.returncode == 0, proc.stderr.decode()
    assert out.read_bytes() == b"".join(decoded[n * size:(n + 1) * size] for n in order)


def test_example_source_resize_to_x264(h264, tmp_path):
    producer = subprocess.Popen(
        pipe_command("-a", f"src={h264}", "-a", "width=64", "-a", "height=36", EXAMPLE, "-"),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    encoded = tmp_path / "out.mkv"
    ffmpeg("-f", "yuv4mpegpipe", "-i", "-", "-c:v", "libx264", "-preset", "ultrafast", encoded,
           stdin=producer.stdout)
    producer.stdout.close()
    assert producer.wait(timeout=60) == 0, producer.stderr.read().decode()
    producer.stderr.close()
    assert probe(encoded, "stream=codec_name,width,height,color_range") == ["h264,64,36,pc"]
    assert len(probe(encoded, "packet=pts_time")) == FRAMES


def test_range_and_timecodes_of_a_variable_rate_file(tmp_path):
    source = tmp_path / "vfr.mp4"
    # Ten frames at 30 frames/s, then ten at 15.
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48:rate=30", "-frames:v", 20,
           "-vf", "setpts='if(lt(N,10),N,2*N-10)*2/(60*TB)'", "-fps_mode", "passthrough",
           "-c:v", "libx264", "-bf", 0, "-pix_fmt", "yuv420p", "-color_range", "tv", "-colorspace", "bt709", source)
    y4m, timecodes = tmp_path / "out.y4m", tmp_path / "tc.txt"
    proc = run_pipe("-a", f"src={source}", "--timecodes", timecodes, EXAMPLE, y4m)
    assert proc.returncode == 0, proc.stderr.decode()
    assert probe(y4m, "stream=color_range") == probe(source, "stream=color_range") == ["tv"]
    stamps = [float(line) for line in timecodes.read_text().splitlines()[1:]]
    assert stamps == pytest.approx([1000 * float(t) for t in probe(source, "packet=pts_time")], abs=1e-3)
    assert b"only nominal" in run_pipe("-a", f"src={source}", EXAMPLE, y4m).stderr
