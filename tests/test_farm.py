"""lumeq-farm: chunked renders on a loopback LocalCluster, joined frame-exact."""
import subprocess
import sys

import pytest

from test_pipe import FFMPEG, FFPROBE, child_env, pipe_command

pytest.importorskip("distributed")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None or FFPROBE is None, reason="ffmpeg is not installed")

# 23 frames of distinct colours: not a multiple of the chunk size used here.
SCRIPT = '''
from lumeq import core
def frame(n):
    return core.std.BlankClip(format=(3 << 28) | (8 << 16) | (1 << 8) | 1, width=64, height=32, length=1,
                              fpsnum=25, fpsden=1, color=[(29 * n) % 256, (71 * n) % 256, (113 * n) % 256])
clip = frame(0)
for n in range(1, 23):
    clip = clip + frame(n)
clip.set_output()
'''
FFV1 = "ffmpeg -v error -f yuv4mpegpipe -i - -c:v ffv1 -y {out}"
FARM = ["--workers", "2", "--chunk-frames", "5"]

# An encoder that, the first time it runs, kills the worker process that
# started it halfway through its chunk; every later run is plain ffv1.
KILL_ONCE = '''
import os, signal, subprocess, sys
marker, out = sys.argv[1], sys.argv[2]
try:
    os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
except FileExistsError:
    sys.exit(subprocess.run(["ffmpeg", "-v", "error", "-f", "yuv4mpegpipe", "-i", "-", "-c:v", "ffv1",
                             "-y", out]).returncode)
sys.stdin.buffer.read(30000)
os.kill(os.getppid(), signal.SIGKILL)
'''


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "script.py"
    path.write_text(SCRIPT)
    return path


def farm(*args):
    return subprocess.run([sys.executable, "-m", "lumeq_farm", *map(str, args)], capture_output=True,
                          text=True, env=child_env(), timeout=120)


def framemd5(path):
    done = subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-f", "framemd5", "-"],
                          capture_output=True, text=True, check=True)
    return [line for line in done.stdout.splitlines() if not line.startswith("#")]


def single_render(script, tmp_path, *args):
    whole = tmp_path / "whole.y4m"
    subprocess.run(pipe_command(*args, script, whole), check=True, env=child_env(), capture_output=True)
    return whole


@needs_ffmpeg
@pytest.mark.parametrize("name, encoder, frames", [("out.y4m", None, (0, 22)), ("out.mkv", FFV1, (0, 22)),
                                                    ("out.mkv", FFV1, (3, 16))])
def test_joined_chunks_match_one_render(script, tmp_path, name, encoder, frames):
    out = tmp_path / name
    first, last = frames
    extra = ["--encoder", encoder] if encoder else []
    done = farm(*FARM, *extra, "--start", first, "--end", last, script, out)
    assert done.returncode == 0, done.stderr
    whole = single_render(script, tmp_path, "--start", first, "--end", last)
    assert len(framemd5(out)) == last - first + 1
    assert framemd5(out) == framemd5(whole)
    assert "frames in" in done.stderr.splitlines()[-1]
    if encoder is None:
        # One header, then the FRAME records: byte-identical to the single render.
        assert out.read_bytes() == whole.read_bytes()


@needs_ffmpeg
def test_killed_worker_costs_only_a_retry(script, tmp_path):
    killer = tmp_path / "kill_once.py"
    killer.write_text(KILL_ONCE)
    out = tmp_path / "out.mkv"
    encoder = f"{sys.executable} {killer} {tmp_path / 'killed'} {{out}}"
    done = farm(*FARM, "--encoder", encoder, script, out)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "killed").exists()
    assert framemd5(out) == framemd5(single_render(script, tmp_path))


def test_failed_chunk_stops_with_its_range_and_resume_keeps_finished(script, tmp_path):
    out = tmp_path / "out.y4m"
    work = tmp_path / "work"
    done = farm(*FARM, "--retries", "1", "--end", 22, "--work-dir", work, "--encoder", "false", script, out)
    assert done.returncode == 1
    assert "chunk" in done.stderr and "frames" in done.stderr and "status 1" in done.stderr
    assert farm(*FARM, "--work-dir", work, script, out).returncode == 0
    kept = {p.name: p.stat().st_mtime_ns for p in work.glob("chunk-*.y4m")}
    assert len(kept) == 5
    again = farm(*FARM, "--resume", "--work-dir", work, script, out)
    assert again.returncode == 0, again.stderr
    assert {p.name: p.stat().st_mtime_ns for p in work.glob("chunk-*.y4m")} == kept
    assert out.read_bytes() == single_render(script, tmp_path).read_bytes()


def test_without_distributed_the_command_says_how_to_install(script, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "distributed.py").write_text("raise ImportError('blocked')\n")
    env = child_env()
    env["PYTHONPATH"] = f"{blocker}:{env['PYTHONPATH']}"
    done = subprocess.run([sys.executable, "-m", "lumeq_farm", str(script), str(tmp_path / "o.y4m")],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 1
    assert "pip install 'lumeq[farm]'" in done.stderr


@pytest.mark.parametrize("args, message", [
    (["-a", "not a pair"], "expected KEY=VALUE with KEY a Python name"),
    (["--workers", "1", "--start", "30"], "--start 30 is past the last frame of output 0 (22)"),
    (["--workers", "1", "--start", "9", "--end", "4"], "--end 4 is before --start 9"),
])
def test_refuses_what_lumeq_pipe_refuses_with_the_same_words(script, tmp_path, args, message):
    done = farm(*args, "--work-dir", tmp_path / "work", script, tmp_path / "out.y4m")
    assert done.returncode == 2
    assert message in done.stderr
    assert not (tmp_path / "out.y4m").exists()
