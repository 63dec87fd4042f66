"""lumeq-pipe: a script's output rendered to Y4M or raw planes, checked
against ffmpeg as a real reader and against frames read through lumeq."""
import errno
import fcntl
import hashlib
import importlib.metadata
import importlib.util
import io
import os
import pty
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from fractions import Fraction
from pathlib import Path

import pytest

import lumeq

ROOT = Path(__file__).resolve().parent.parent
# Before installation the package is only in the source tree.
if importlib.util.find_spec("lumeq_pipe") is None:
    sys.path.insert(0, str(ROOT / "python"))

from lumeq_pipe.metadata import describe_props  # noqa: E402
from lumeq_pipe.encode import EncodeError, Y4MEncoder, y4m_colorspace  # noqa: E402
from lumeq_pipe.timecodes import FrameClock, TimingError  # noqa: E402
from vsformat import video_id


GRAY8 = video_id(1, 0, 8, 0, 0)
GRAY10 = video_id(1, 0, 10, 0, 0)
YUV420P8 = video_id(3, 0, 8, 1, 1)
YUV422P10 = video_id(3, 0, 10, 1, 0)
RGB24 = video_id(2, 0, 8, 0, 0)

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")
# Readable test ids: formats in hex, the rest as they are.
def param_id(value):
    return f"{value:#x}" if isinstance(value, int) else str(value)


needs_ffmpeg = pytest.mark.skipif(FFMPEG is None or FFPROBE is None, reason="ffmpeg is not installed")

# Frames that differ from each other, with blocks that differ by position, in
# a size whose rows are padded in memory (76 and 38 are not stride multiples).
PATTERN = '''
def pattern(core, fmt, width=76, height=20, length=6):
    planes = 1 if fmt >> 28 == 1 else 3
    peak = (1 << ((fmt >> 16) & 0xFF)) - 1

    def block(n, k):
        color = [(37 * n + 91 * k + 53 * p) % (peak + 1) for p in range(planes)]
        return core.std.BlankClip(format=fmt, width=width // 2, height=height // 2, length=1,
                                  fpsnum=30000, fpsden=1001, color=color)

    frames = []
    for n in range(length):
        top = core.std.StackHorizontal(clips=[block(n, 0), block(n, 1)])
        bottom = core.std.StackHorizontal(clips=[block(n, 2), block(n, 3)])
        frames.append(core.std.StackVertical(clips=[top, bottom]))
    clip = frames[0]
    for frame in frames[1:]:
        clip = clip + frame
    return clip
'''

PATTERN_SCRIPT = PATTERN + '''
from lumeq import core
pattern(core, int(fmt), length=int(globals().get("length", "6"))).set_output()
'''


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def pipe_command(*args):
    return [sys.executable, "-m", "lumeq_pipe", *map(str, args)]


def run_pipe(*args, timeout=60, **kwargs):
    return subprocess.run(pipe_command(*args), capture_output=True, env=child_env(), timeout=timeout, **kwargs)


@pytest.fixture
def script(tmp_path):
    """Writes a script file and returns its path."""

    def write(source, name="script.py"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(source))
        return path

    return write


def direct_frames(fmt, length=6):
    """The pattern's frames read through lumeq itself: each frame's planes
    packed row after row."""
    namespace = {}
    exec(PATTERN, namespace)
    clip = namespace["pattern"](lumeq.Core(), fmt, length=length)
    return [b"".join(frame[i].tobytes() for i in range(len(frame))) for frame in clip.frames()]


@pytest.mark.parametrize("fmt, tag", [
    (GRAY8, "mono"), (GRAY10, "mono10"), (video_id(1, 0, 16, 0, 0), "mono16"),
    (YUV420P8, "420jpeg"), (video_id(3, 0, 8, 1, 0), "422"), (video_id(3, 0, 8, 0, 0), "444"),
    (video_id(3, 0, 8, 2, 0), "411"), (video_id(3, 0, 10, 1, 1), "420p10"), (YUV422P10, "422p10"),
    (video_id(3, 0, 12, 0, 0), "444p12"), (video_id(3, 0, 16, 1, 1), "420p16"),
], ids=param_id)
def test_y4m_colorspace_tags(blank, fmt, tag):
    assert y4m_colorspace(blank(format=fmt, width=16, height=16).get_frame(0).format) == tag


@pytest.mark.parametrize("fmt", [
    RGB24, video_id(3, 1, 32, 1, 1), video_id(1, 1, 32, 0, 0), video_id(1, 0, 14, 0, 0),
    video_id(3, 0, 16, 2, 0), video_id(3, 0, 8, 2, 2), video_id(3, 0, 8, 0, 1),
], ids=["RGB24", "YUV420PS", "GrayS", "Gray14", "YUV411P16", "YUV410P8", "YUV440P8"])
def test_y4m_refuses_formats_without_a_tag(blank, fmt):
    with pytest.raises(EncodeError, match="-c none") as caught:
        y4m_colorspace(blank(format=fmt, width=16, height=16).get_frame(0).format)
    # A YUV clip is told which YUV Y4M carries, not to convert to YUV.
    is_yuv = "YUV" in caught.value.args[0].split(";")[0]
    assert ("Y4M carries YUV 4:2:0, 4:2:2 and 4:4:4" in str(caught.value)) == is_yuv
    assert ("convert it to YUV" in str(caught.value)) != is_yuv


@pytest.fixture(scope="module")
def rendered(tmp_path_factory):
    """Y4M files of the pattern, one per format, rendered once."""
    cache = {}

    def render(fmt):
        if fmt not in cache:
            folder = tmp_path_factory.mktemp("y4m")
            source = folder / "pattern.py"
            source.write_text(PATTERN_SCRIPT)
            out = folder / "out.y4m"
            proc = run_pipe(source, out, "--arg", f"fmt={fmt}")
            assert proc.returncode == 0, proc.stderr.decode()
            cache[fmt] = out.read_bytes()
        return cache[fmt]

    return render


@pytest.mark.parametrize("fmt, tag", [(YUV420P8, "420jpeg"), (YUV422P10, "422p10"), (GRAY8, "mono")],
                         ids=param_id)
def test_y4m_stream_layout(rendered, fmt, tag):
    data = rendered(fmt)
    header = f"YUV4MPEG2 W76 H20 F30000:1001 Ip A0:0 C{tag}\n".encode()
    assert data.startswith(header)
    frames = direct_frames(fmt)
    assert data == header + b"".join(b"FRAME\n" + frame for frame in frames)


@pytest.mark.parametrize("fmt, width", [(YUV420P8, 64), (YUV420P8, 76), (YUV422P10, 64)],
                         ids=["contiguous", "padded", "16-bit"])
def test_frame_writes_survive_short_writes(blank, tmp_path, monkeypatch, fmt, width):
    frame = blank(format=fmt, width=width, height=6, color=[1, 2, 3]).get_frame(0)
    real_writev = os.writev
    # A descriptor that takes at most 5 bytes per call, as a full pipe or a signal may.
    monkeypatch.setattr(os, "writev", lambda fd, parts: real_writev(fd, [memoryview(parts[0]).cast("B")[:5]]))
    path = tmp_path / "frame.y4m"
    with open(path, "wb") as out:
        out.write(b"header\n")
        assert Y4MEncoder().write(out, frame) == 6 + sum(frame[i].nbytes for i in range(len(frame)))
    assert path.read_bytes() == b"header\nFRAME\n" + b"".join(frame[i].tobytes() for i in range(len(frame)))


@needs_ffmpeg
@pytest.mark.parametrize("fmt, pix_fmt", [
    (YUV420P8, "yuv420p"), (YUV422P10, "yuv422p10le"), (GRAY8, "gray"), (GRAY10, "gray10le"),
], ids=param_id)
def test_ffmpeg_reads_the_same_frames(rendered, tmp_path, fmt, pix_fmt):
    source = tmp_path / "pattern.py"
    source.write_text(PATTERN_SCRIPT)
    producer = subprocess.Popen(pipe_command(source, "-", "--arg", f"fmt={fmt}"), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=child_env())
    consumer = subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "yuv4mpegpipe",
                               "-i", "-", "-f", "framemd5", "-"], stdin=producer.stdout, capture_output=True,
                              timeout=60)
    producer.stdout.close()
    assert producer.wait(timeout=60) == 0, producer.stderr.read().decode()
    producer.stderr.close()
    assert consumer.returncode == 0, consumer.stderr.decode()
    digests = [line.rsplit(",", 1)[1].strip() for line in consumer.stdout.decode().splitlines()
               if line and not line.startswith("#")]
    assert digests == [hashlib.md5(frame).hexdigest() for frame in direct_frames(fmt)]

    stored = tmp_path / "out.y4m"
    stored.write_bytes(rendered(fmt))
    probe = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=pix_fmt,width,height,r_frame_rate", "-of", "default=nw=1", str(stored)],
                           capture_output=True, text=True, timeout=60)
    assert dict(line.split("=", 1) for line in probe.stdout.split()) == {
        "pix_fmt": pix_fmt, "width": "76", "height": "20", "r_frame_rate": "30000/1001"}


def test_chunks_concatenate_to_the_whole(script, tmp_path):
    source = script(PATTERN_SCRIPT)
    fmt = f"fmt={YUV420P8}"
    whole = tmp_path / "whole.raw"
    assert run_pipe(source, whole, "-c", "none", "-a", fmt, "-a", "length=10").returncode == 0
    parts = []
    for i, (first, last, requests) in enumerate([(0, 3, 1), (4, 4, 2), (5, 9, 3)]):
        part = tmp_path / f"part{i}.raw"
        proc = run_pipe(source, part, "-c", "none", "-a", fmt, "-a", "length=10",
                        "--start", first, "--end", last, "-r", requests)
        assert proc.returncode == 0, proc.stderr.decode()
        parts.append(part.read_bytes())
    assert b"".join(parts) == whole.read_bytes() == b"".join(direct_frames(YUV420P8, 10))


def test_raw_planes_for_rgb(script, tmp_path):
    source = script("""
        from lumeq import core
        core.std.BlankClip(format=%d, width=70, height=9, length=2, color=[10, 20, 30]).set_output()
    """ % RGB24)
    out = tmp_path / "out.raw"
    proc = run_pipe(source, out, "-c", "none")
    assert proc.returncode == 0, proc.stderr.decode()
    plane = 70 * 9
    assert out.read_bytes() == (bytes([10]) * plane + bytes([20]) * plane + bytes([30]) * plane) * 2
    assert b"lumeq-pipe: 2/2 frames" in proc.stderr


def test_script_environment_arguments_and_info(script):
    source = script("""
        import sys
        import lumeq
        from lumeq import core

        if __name__ == "__main__":
            raise SystemExit("the main block must not run under a host")
        environment = lumeq.get_current_environment()
        assert not environment.single and environment.active, environment
        print("script says", __name__, label, file=sys.stderr)
        core.std.BlankClip(width=int(width), height=32, length=7, fpsnum=30000, fpsden=1001,
                           format=%d).set_output(2)
        core.std.BlankClip(width=8, height=8).set_output()
    """ % YUV420P8)
    proc = run_pipe("--info", "-o", 2, "--arg", "width=100", "--arg", "label=a=b", source)
    assert proc.returncode == 0, proc.stderr.decode()
    assert "script says __lumeq__ a=b" in proc.stderr.decode()
    info = dict(line.split(":", 1) for line in proc.stdout.decode().splitlines())
    assert {k: v.strip() for k, v in info.items()} == {
        "output": "2", "size": "100x32", "frames": "7", "frame rate": "30000/1001 (29.970 frames/s)",
        "format": "YUV420P8", "alpha": "none", "outputs": "0, 2"}


def test_script_output_cannot_corrupt_the_stream(script):
    source = script("""
        from lumeq import core
        print("chatter on stdout")
        core.std.BlankClip(format=%d, width=16, height=16, length=3).set_output()
    """ % GRAY8)
    proc = run_pipe(source, "-")
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout == b"YUV4MPEG2 W16 H16 F24:1 Ip A0:0 Cmono\n" + (b"FRAME\n" + bytes(256)) * 3
    assert b"chatter on stdout" in proc.stderr


@pytest.mark.parametrize("body, args, status, message", [
    ("def broken():\n    raise ValueError('bad input 42')\nbroken()", [], 1, "ValueError: bad input 42"),
    ("core.std.BlankClip().set_output(0)\ncore.std.BlankClip().set_output(5)", ["-o", "3"], 1,
     "no output registered at index 3 (registered: 0, 5)"),
    ("pass", [], 1, "no output registered at index 0 (the script registered no outputs)"),
    ("core.std.BlankClip(varsize=True).set_output()", [], 1, "constant frame size"),
    ("core.std.BlankClip(varformat=True).set_output()", [], 1, "constant format"),
    (f"core.std.BlankClip(format={RGB24}).set_output()", [], 1, "Y4M cannot carry the RGB format RGB24"),
    ("core.std.BlankClip(length=10).set_output()", ["--start", "10"], 2, "--start 10 is past the last frame"),
    ("core.std.BlankClip(length=10).set_output()", ["--start", "5", "--end", "4"], 2, "--end 4 is before"),
    ("import sys\nsys.exit(3)", [], 1, "the script exited"),
    ("core.std.BlankAudio(channels=list(range(8)), bits=32, length=48000 * 3 * 3600).set_output()", [], 1,
     "exceeds the 4 GiB limit of WAV files; write it with -c w64"),
    ("core.std.BlankAudio().set_output()", ["-c", "y4m"], 2, "-c y4m carries video, but the output is audio"),
    ("core.std.BlankClip().set_output()", ["-c", "wav"], 2, "-c wav carries audio, but the output is video"),
], ids=["raises", "wrong-index", "no-outputs", "varsize", "varformat", "rgb", "start", "range", "exit",
        "wav-limit", "y4m-audio", "wav-video"])
def test_failures(script, tmp_path, body, args, status, message):
    source = script("from lumeq import core\n" + body)
    out = tmp_path / "out.y4m"
    proc = run_pipe(source, out, *args)
    stderr = proc.stderr.decode()
    assert proc.returncode == status, stderr
    assert message in stderr
    assert not out.exists()
    if "raise" in body:
        # The script's own frames, not the host's.
        assert f'File "{source}", line 3, in broken' in stderr and "runpy" not in stderr
    else:
        assert "Traceback" not in stderr


@pytest.mark.parametrize("container, header", [("none", 0), ("y4m", len(b"YUV4MPEG2 W32 H16 F24:1 Ip A0:0 Cmono\n"))])
def test_frame_failure_keeps_earlier_frames(script, tmp_path, container, header):
    # Frames 5 and later carry no clip in the property PropToClip reads.
    source = script("""
        from lumeq import core
        blank = core.std.BlankClip(width=32, height=16, length=10, format=%d, color=[77])
        source = core.std.ClipToProp(clip=blank[:5], mclip=blank[:5]) + blank[5:]
        core.std.PropToClip(clip=source).set_output()
    """ % GRAY8)
    out = tmp_path / "out"
    proc = run_pipe(source, out, "-c", container)
    stderr = proc.stderr.decode()
    assert proc.returncode == 1, stderr
    assert "frame 5 failed to render: PropToClip" in stderr and "Traceback" not in stderr
    marker = b"FRAME\n" if container == "y4m" else b""
    assert out.read_bytes()[header:] == (marker + bytes([77]) * 512) * 5


LONG_SCRIPT = """
from lumeq import core
core.std.BlankClip(format=%d, width=64, height=64, length=1000000).set_output()
""" % YUV420P8
LONG_FRAME_SIZE = 64 * 64 * 3 // 2


def test_reader_closing_the_pipe_ends_quietly(script):
    proc = subprocess.Popen(pipe_command(script(LONG_SCRIPT), "-"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=child_env())
    assert len(proc.stdout.read(1000)) == 1000
    proc.stdout.close()
    status = proc.wait(timeout=60)
    stderr = proc.stderr.read().decode()
    proc.stderr.close()
    assert status == 128 + signal.SIGPIPE, stderr
    assert "Traceback" not in stderr and "Exception ignored" not in stderr


def test_the_output_pipe_is_widened(script):
    proc = subprocess.Popen(pipe_command(script(LONG_SCRIPT), "-"), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=child_env())
    try:
        proc.stdout.read(1)  # the header is written once the pipe is set
        assert fcntl.fcntl(proc.stdout.fileno(), fcntl.F_GETPIPE_SZ) == 1 << 20
    finally:
        proc.kill()
        proc.wait(timeout=60)
        proc.stdout.close()


@pytest.mark.parametrize("refused, asked", [({}, [1 << 20]), ({1 << 20: errno.EPERM}, [1 << 20, 1 << 18]),
                                            ({1 << 20: errno.EBADF}, [1 << 20])], ids=["granted", "over budget", "not a pipe"])
def test_a_smaller_pipe_is_asked_for_only_when_the_larger_is_not_permitted(monkeypatch, refused, asked):
    from lumeq_pipe import render

    sizes = []

    def fake_fcntl(fd, command, size):
        sizes.append(size)
        if size in refused:
            raise OSError(refused[size], os.strerror(refused[size]))

    monkeypatch.setattr(render.fcntl, "fcntl", fake_fcntl)
    render._widen_pipe(7)
    assert sizes == asked


def padded_frame():
    """A 4:2:0 10-bit frame whose rows are padded to the stride."""
    return lumeq.core.std.BlankClip(width=100, height=30, format=lumeq.YUV420P10, color=[100, 200, 300]).get_frame(0)


def expected_bytes(frame, head):
    return head + b"".join(frame[p].tobytes() for p in range(len(frame)))


def _read_all(fd, into, delay=0.0):
    time.sleep(delay)
    while chunk := os.read(fd, 65536):
        into.extend(chunk)


@pytest.mark.parametrize("piece", [0, 8192, 7], ids=["one writev", "pipe pieces", "odd pieces"])
@pytest.mark.parametrize("into_pipe", [True, False], ids=["pipe", "file"])
def test_a_frame_is_written_whole_in_order_and_unpadded(tmp_path, into_pipe, piece):
    frame, head = padded_frame(), b"FRAME\n"
    if into_pipe:
        read_end, write_end = os.pipe()
        got = bytearray()
        reader = threading.Thread(target=_read_all, args=(read_end, got))
        reader.start()
        written = frame._write_planes(write_end, head, piece)
        os.close(write_end)
        reader.join()
        os.close(read_end)
    else:
        with open(tmp_path / "frame", "wb") as out:
            written = frame._write_planes(out.fileno(), head, piece)
        got = (tmp_path / "frame").read_bytes()
    assert bytes(got) == expected_bytes(frame, head) and written == len(got)


@pytest.mark.parametrize("raises", [False, True], ids=["handler returns", "handler raises"])
def test_a_signal_during_a_blocked_write_runs_its_handler(raises):
    frame = lumeq.core.std.BlankClip(width=1920, height=1080, format=lumeq.GRAY8, color=[7]).get_frame(0)
    calls = []

    def handler(signum, stack):
        calls.append(signum)
        if raises:
            raise KeyboardInterrupt

    read_end, write_end = os.pipe()  # 64 KiB: the write blocks until the reader starts
    got = bytearray()
    reader = threading.Thread(target=_read_all, args=(read_end, got, 0.3))
    reader.start()
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        if raises:
            with pytest.raises(KeyboardInterrupt):
                frame._write_planes(write_end, b"", 8192)
        else:
            frame._write_planes(write_end, b"", 8192)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(write_end)
        reader.join()
        os.close(read_end)
    assert calls == [signal.SIGALRM]
    assert raises or bytes(got) == expected_bytes(frame, b"")


def test_a_closed_reader_is_a_broken_pipe_and_a_negative_piece_is_refused():
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        with pytest.raises(BrokenPipeError):
            padded_frame()._write_planes(write_end, b"FRAME\n", 8192)
        with pytest.raises(ValueError, match="piece"):
            padded_frame()._write_planes(write_end, b"", -1)
    finally:
        os.close(write_end)


def test_ctrl_c_stops_after_whole_frames(script, tmp_path):
    out = tmp_path / "out.raw"
    proc = subprocess.Popen(pipe_command(script(LONG_SCRIPT), out, "-c", "none"), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=child_env())
    deadline = time.monotonic() + 30
    while (not out.exists() or out.stat().st_size == 0) and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    status = proc.wait(timeout=30)
    stderr = proc.stderr.read().decode()
    proc.stderr.close()
    assert status == 128 + signal.SIGINT, stderr
    assert "interrupted" in stderr and "Traceback" not in stderr
    size = out.stat().st_size
    assert 0 < size < LONG_FRAME_SIZE * 1000000 and size % LONG_FRAME_SIZE == 0


def test_refuses_to_write_video_to_a_terminal(script):
    leader, follower = pty.openpty()
    try:
        proc = subprocess.run(pipe_command(script(LONG_SCRIPT), "-"), stdout=follower, stderr=subprocess.PIPE,
                              env=child_env(), timeout=60)
    finally:
        os.close(follower)
        os.close(leader)
    assert proc.returncode == 2
    assert b"refusing to write video to a terminal" in proc.stderr


def test_progress_when_asked(script, tmp_path):
    source = script(PATTERN_SCRIPT)
    proc = run_pipe(source, tmp_path / "out.y4m", "-p", "-a", f"fmt={GRAY8}")
    lines = proc.stderr.decode().splitlines()
    assert proc.returncode == 0
    assert lines[0].startswith("frame ") and "frames/s" in lines[0]
    assert lines[-1].startswith("lumeq-pipe: 6/6 frames")


@pytest.mark.parametrize("option, starts, contains", [
    ("--help", "usage: lumeq-pipe", "--timecodes times.txt"),
    ("--version", f"lumeq {importlib.metadata.version('lumeq')}\n", "Core R"),
])
def test_console_script_is_installed(option, starts, contains):
    command = shutil.which("lumeq-pipe", path=str(Path(sys.executable).parent))
    if command is None:
        pytest.skip("lumeq-pipe is not installed next to this interpreter")
    proc = subprocess.run([command, option], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.startswith(starts) and contains in proc.stdout


@needs_ffmpeg
@pytest.mark.parametrize("props, reported", [
    ({}, {"chroma_location": "center", "field_order": "progressive", "sample_aspect_ratio": "N/A"}),
    ({"_ChromaLocation": 0}, {"chroma_location": "left"}),
    ({"_ChromaLocation": 1}, {"chroma_location": "center"}),
    ({"_ChromaLocation": 2}, {"chroma_location": "topleft"}),
    ({"_SARNum": 32, "_SARDen": 27}, {"sample_aspect_ratio": "32:27"}),
    ({"_FieldBased": 0}, {"field_order": "progressive"}),
    ({"_FieldBased": 1}, {"field_order": "bb"}),
    ({"_FieldBased": 2}, {"field_order": "tt"}),
    ({"_Range": 1}, {"color_range": "pc"}),
    ({"_Range": 0}, {"color_range": "tv"}),
    ({"_ColorRange": 0}, {"color_range": "pc"}),
    ({"_ColorRange": 1}, {"color_range": "tv"}),
], ids=str)
def test_header_carries_the_first_frames_properties(script, tmp_path, props, reported):
    source = script(f"from lumeq import core\n"
                    f"clip = core.std.BlankClip(format={YUV420P8}, width=16, height=16, length=2)\n"
                    f"core.std.SetFrameProps(clip=clip, **{props!r}).set_output()\n")
    out = tmp_path / "out.y4m"
    proc = run_pipe(source, out)
    assert proc.returncode == 0, proc.stderr.decode()
    probe = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=" + ",".join(reported), "-of", "default=nw=1", str(out)],
                           capture_output=True, text=True, timeout=60)
    assert dict(line.split("=", 1) for line in probe.stdout.split()) == reported


# Frames 2 and 3 last 1/12 s instead of the clip's nominal 1/24 s.
VFR_SCRIPT = f'''
from lumeq import core
clip = core.std.BlankClip(format={GRAY8}, width=16, height=16, length=6, fpsnum=24, fpsden=1)
slow = core.std.SetFrameProps(clip=clip, _DurationNum=1, _DurationDen=12)
(clip[:2] + slow[2:4] + clip[4:]).set_output()
'''


@pytest.mark.parametrize("args, timecodes, warned", [
    ([], None, True),
    (["--timecodes", "tc.txt"], [0, 41.666667, 83.333333, 166.666667, 250, 291.666667], False),
    (["-c", "none", "-t", "tc.txt", "-s", "3"], [0, 83.333333, 125], False),
], ids=str)
def test_timecodes_and_the_nominal_rate_warning(script, tmp_path, monkeypatch, args, timecodes, warned):
    monkeypatch.chdir(tmp_path)
    proc = run_pipe(script(VFR_SCRIPT), "out.y4m", *args)
    assert proc.returncode == 0, proc.stderr.decode()
    assert ("rate is only nominal" in proc.stderr.decode()) == warned
    if timecodes is not None:
        lines = (tmp_path / "tc.txt").read_text().splitlines()
        assert lines[0] == "# timecode format v2"
        assert [float(t) for t in lines[1:]] == timecodes


def test_timecodes_do_not_drift():
    clock_out = io.StringIO()
    clock = FrameClock(Fraction(30000, 1001), clock_out)
    for n in range(100_001):
        clock.advance(n, {"_DurationNum": 1001, "_DurationDen": 30000})
    # Frame 100000 starts at exactly 100000 * 1001 / 30000 s = 3336666.666667 ms.
    assert clock_out.getvalue().splitlines()[-1] == "3336666.666667"
    assert not clock.varies


@pytest.mark.parametrize("fps, props, varies", [
    (Fraction(24, 1), {"_DurationNum": 2, "_DurationDen": 48}, False),  # the nominal rate, unreduced
    (Fraction(24, 1), {"_DurationNum": 1, "_DurationDen": 12}, True),
    (Fraction(24, 1), {}, False),  # no duration: the nominal one
    (Fraction(0, 1), {"_DurationNum": 1, "_DurationDen": 24}, True),
    (Fraction(0, 1), {"_DurationNum": True, "_DurationDen": 0}, None),  # neither gives one
])
def test_frame_clock_follows_durations(fps, props, varies):
    clock = FrameClock(fps, None)
    if varies is None:
        with pytest.raises(TimingError, match="frame 7 has no _DurationNum/_DurationDen"):
            clock.advance(7, props)
    else:
        clock.advance(7, props)
        assert clock.varies == varies


def test_script_from_standard_input(tmp_path):
    (tmp_path / "helper.py").write_text(f"FMT = {GRAY8}\n")
    source = ("import helper\nfrom lumeq import core\nassert '__file__' not in globals()\n"
              "core.std.BlankClip(format=helper.FMT, width=8, height=8, length=2).set_output(3)\n")
    proc = run_pipe("--info", "-o", 3, "-", input=source.encode(), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()
    assert "outputs:         3\n" in proc.stdout.decode()
    failed = run_pipe("-", "out.y4m", input=b"raise ValueError('from stdin')", cwd=tmp_path)
    assert failed.returncode == 1 and b"ValueError: from stdin" in failed.stderr


@pytest.mark.parametrize("props, named", [
    ({"_Range": 1}, "full"), ({"_Range": 0, "_ColorRange": 0}, "limited"), ({"_ColorRange": 0}, "full"),
    ({"_ColorRange": 1}, "limited"), ({"_Range": 7}, None), ({"_ChromaLocation": 5}, None),
], ids=str)
def test_range_read_in_each_propertys_numbering(props, named):
    lines = dict(describe_props(props))
    assert lines.get("range") == named


def test_info_names_the_first_frames_properties(script):
    source = script(f"""
        from lumeq import core
        clip = core.std.BlankClip(format={YUV420P8}, width=8, height=8)
        core.std.SetFrameProps(clip=clip, _ChromaLocation=2, _FieldBased=2, _Range=0,
                               _SARNum=10, _SARDen=11).set_output(4)
        clip.set_output(1)
    """)
    info = run_pipe("--info", "-o", 4, source).stdout.decode()
    assert ("chroma location: top_left\nfield order:     top field first\nrange:           limited\n"
            "SAR:             10:11\noutputs:         1, 4\n") in info


def test_filter_times_cover_the_graph_once(script):
    clip = lumeq.core.std.BlankClip(format=GRAY8, width=64, height=64, length=4)
    # A diamond: the source is reached through both sides of the stack.
    stacked = lumeq.core.std.StackHorizontal(clips=[clip, lumeq.core.std.FlipVertical(clip=clip)])
    assert sorted(name for name, _ in stacked.filter_times()) == ["BlankClip", "FlipVertical", "StackHorizontal"]
    proc = run_pipe("--filter-time", script(f"""
        from lumeq import core
        clip = core.std.BlankClip(format={YUV420P8}, width=320, height=240, length=20)
        core.resize.Bicubic(clip=clip, width=160, height=120).set_output()
    """), os.devnull)
    assert proc.returncode == 0, proc.stderr.decode()
    table = proc.stderr.decode().splitlines()[-4:]
    assert table[0].split() == ["filter", "time", "(ms)", "share"] and table[-1].startswith("total")
    rows = [line.split() for line in table[1:-1]]
    assert sorted(row[0] for row in rows) == ["Bicubic", "BlankClip"]
    assert [float(row[1]) for row in rows] == sorted((float(row[1]) for row in rows), reverse=True) != [0.0, 0.0]
# (what ffmpeg generates, the file it writes, the PCM codec both decodes are compared in)
AUDIO_SOURCES = {
    "flac-s16-stereo-48k": (["-ac", "2", "-ar", "48000", "-sample_fmt", "s16", "-t", "1.5"], "in.flac", "pcm_s16le"),
    "wav-f32-5.1": (["-ac", "6", "-ar", "48000", "-c:a", "pcm_f32le", "-t", "1"], "in.wav", "pcm_f32le"),
    "wav-s24-mono-44.1k": (["-ac", "1", "-ar", "44100", "-c:a", "pcm_s24le", "-t", "1"], "in.wav", "pcm_s24le"),
    "odd-length": (["-ac", "2", "-ar", "48000", "-c:a", "pcm_s16le", "-af", "atrim=end_sample=10001"],
                   "in.wav", "pcm_s16le"),
}


def ffmpeg_md5(path, codec):
    proc = subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-map", "0:a", "-c:a", codec, "-f", "md5", "-"],
                          capture_output=True, text=True, timeout=120, check=True)
    return proc.stdout.strip()


@needs_ffmpeg
@pytest.mark.parametrize("name", sorted(AUDIO_SOURCES))
@pytest.mark.parametrize("container", ["wav", "w64"])
def test_audio_source_round_trip_through_ffmpeg(script, tmp_path, name, container):
    args, filename, codec = AUDIO_SOURCES[name]
    original = tmp_path / filename
    subprocess.run([FFMPEG, "-v", "error", "-f", "lavfi", "-i", "sine=frequency=441:sample_rate=48000:duration=2",
                    *args, str(original)], check=True, timeout=120)
    source = script(f"from lumeq import core\ncore.bs.AudioSource(source={str(original)!r}, cachemode=0).set_output()\n")
    out = tmp_path / f"out.{container}"
    proc = run_pipe(source, out, "-c", container)
    assert proc.returncode == 0, proc.stderr.decode()
    assert ffmpeg_md5(out, codec) == ffmpeg_md5(original, codec)


def test_raw_audio_range_is_interleaved(script, tmp_path):
    import numpy as np

    source = script("""
        from lumeq import core
        core.std.BlankAudio(length=10000, bits=24, waveform="sine", frequency=300.5, amplitude=0.7).set_output(4)
    """)
    out = tmp_path / "out.raw"
    proc = run_pipe(source, out, "-o", "4", "-c", "none", "--start", "1", "--end", "3")
    assert proc.returncode == 0, proc.stderr.decode()
    clip = lumeq.core.std.BlankAudio(length=10000, bits=24, waveform="sine", frequency=300.5, amplitude=0.7)
    whole = np.concatenate([np.stack([np.asarray(f[c]) for c in range(2)], axis=1) for f in clip.frames()])
    packed = whole[3072:].astype("<i4").view("u1").reshape(-1, 2, 4)[:, :, 1:]
    assert out.read_bytes() == packed.tobytes()
    info = run_pipe(source, "-o", "4", "--info").stdout.decode()
    assert "sample rate: 44100 Hz" in info and "channels:    2 (FRONT_LEFT, FRONT_RIGHT)" in info
    assert "sample type: 24-bit integer" in info and "samples:     10000" in info
