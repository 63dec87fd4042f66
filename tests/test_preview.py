"""lumeq-preview's HTTP interface, against a real server process; PNGs are
decoded by ffmpeg, WAVs by the standard library."""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
import urllib.error
import urllib.request

import pytest

pytest.importorskip("aiohttp")

FFMPEG = shutil.which("ffmpeg")

SCRIPT = """
import lumeq
core = lumeq.core
std = core.std

def blank(fmt, color, width=64, height=32, **kw):
    return std.BlankClip(format=fmt, width=width, height=height, length=30, color=color, **kw)

# 0: RGB24 with a left and a right half.
std.StackHorizontal([blank(lumeq.RGB24, [255, 0, 0], 32), blank(lumeq.RGB24, [1, 2, 3], 32)]).set_output(0)
# 1: 4:2:0 10-bit; the right half's chroma differs.
std.StackHorizontal([blank(lumeq.YUV420P10, [300, 400, 600], 32), blank(lumeq.YUV420P10, [300, 700, 100], 32)]
                    ).std.SetFrameProps(Name="abc", Numbers=[1, 2, 3], Ratio=1.5, Blob=b"\\xff\\x00").set_output(1)
# 2: red as untagged BT.601 (narrower than HD) and 3: as untagged BT.709 (HD).
blank(lumeq.YUV444P8, [81, 90, 240]).set_output(2)
blank(lumeq.YUV444P8, [63, 102, 240], width=1280, height=8).set_output(3)
# 4: grey at 16 bits; 5: float RGB beyond 1, clamped.
blank(lumeq.GRAY16, [0x8000]).set_output(4)
blank(lumeq.RGBS, [2.0, 0.0, 0.5]).set_output(5)
# 6: differs from 0 by one in the right half's first plane; 7: frames that fail.
std.StackHorizontal([blank(lumeq.RGB24, [255, 0, 0], 32), blank(lumeq.RGB24, [2, 2, 3], 32)]).set_output(6)
def fail(n, f):
    raise ValueError("the filter broke")
blank(lumeq.RGB24, [0, 0, 0]).std.ModifyFrame(clips=[blank(lumeq.RGB24, [0, 0, 0])], selector=fail).set_output(7)
# 8: a variable format; 9: variable rate, 1/24 s then 1/30 s frames; 10: audio.
std.Splice([blank(lumeq.GRAY8, [0]), blank(lumeq.RGB24, [0, 0, 0])], mismatch=True).set_output(8)
std.Splice([blank(lumeq.GRAY8, [0])[:2], blank(lumeq.GRAY8, [0], fpsnum=30)[:2]], mismatch=True).set_output(9)
std.BlankAudio(length=10000, sampletype=lumeq.SampleType.FLOAT, bits=32, channels=[0]).set_output(10)
# 11: frames that take a while.
import time
def slow(n, f):
    time.sleep(1)
    return f
blank(lumeq.RGB24, [0, 0, 0]).std.ModifyFrame(clips=[blank(lumeq.RGB24, [0, 0, 0])], selector=slow).set_output(11)
"""


class Server:
    """`lumeq-preview --no-browser` on a script, and requests to it."""

    def __init__(self, script, *args):
        self.script = script
        self.proc = subprocess.Popen([sys.executable, "-m", "lumeq_preview", "--no-browser", *args, str(script)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.url = self.proc.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/\?token=[\w-]{32,}", self.url), self.url
        self.base, self.token = self.url.split("/?token=")
        self.wait_for(lambda status: status["generation"] >= 1)

    def request(self, path, auth=True, method="GET", **query):
        if auth:
            query["token"] = self.token
        text = "&".join(f"{k}={v}" for k, v in query.items())
        req = urllib.request.Request(f"{self.base}{path}{'?' + text if text else ''}", method=method)
        try:
            with urllib.request.urlopen(req, timeout=30) as response:
                return response.status, response.read(), response.headers
        except urllib.error.HTTPError as error:
            return error.code, error.read(), error.headers

    def json(self, path, **query):
        status, body, _ = self.request(path, **query)
        assert status == 200, body
        return json.loads(body)

    def wait_for(self, condition, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status = self.json("/api/status")
            if condition(status):
                return status
            time.sleep(0.05)
        raise AssertionError(f"timed out; last status {status}")

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        _, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, err


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    script = tmp_path_factory.mktemp("preview") / "script.py"
    script.write_text(SCRIPT)
    running = Server(script)
    yield running
    status, err = running.stop()
    assert status == 0, err


def rgb_pixels(png):
    """The PNG's pixels as RGB24 bytes, decoded by ffmpeg."""
    if FFMPEG is None:
        pytest.skip("ffmpeg is not installed")
    return subprocess.run([FFMPEG, "-v", "error", "-f", "png_pipe", "-i", "-", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                          input=png, capture_output=True, check=True).stdout


def test_outputs_list_every_output_with_its_shape(server):
    outputs = server.json("/api/outputs")
    assert [o["index"] for o in outputs] == list(range(12))
    assert outputs[1] == {"index": 1, "type": "video", "width": 64, "height": 32, "format": "YUV420P10",
                          "fps": [24, 1], "frames": 30}
    assert outputs[9]["fps"] == [0, 1]
    assert outputs[10] == {"index": 10, "type": "audio", "sample_rate": 44100, "channels": 1,
                           "samples": 10000, "frames": 4}
    assert server.json("/api/status") == {"generation": 1, "state": "ok", "error": None, "log": [], "cancelled": 0}


@pytest.mark.parametrize("output, expected, tolerance, note", [
    (0, [(255, 0, 0)] * 32 + [(1, 2, 3)] * 32, 0, None),       # RGB24 as it is
    (2, [(255, 0, 0)] * 64, 3, "BT.601 assumed"),
    (3, [(255, 0, 0)] * 1280, 3, "BT.709 assumed"),
    (4, [(128, 128, 128)] * 64, 0, "16-bit samples reduced to 8 bits, dithered"),
    (5, [(255, 0, 128)] * 64, 1, "clamped"),
])
def test_frame_png_shows_the_display_conversion(server, output, expected, tolerance, note):
    status, png, headers = server.request(f"/api/frame/{output}/3.png")
    assert status == 200 and headers["Content-Type"] == "image/png"
    pixels = rgb_pixels(png)
    row = [tuple(pixels[i:i + 3]) for i in range(0, len(expected) * 3, 3)]
    assert all(abs(a - b) <= tolerance for got, want in zip(row, expected) for a, b in zip(got, want)), row[:4]
    notes = json.loads(headers["X-Display-Notes"])
    assert note is None and notes == [] or any(note in text for text in notes)
    _, raw, _ = server.request(f"/api/frame/{output}/3.raw")
    width = len(expected)
    assert [tuple(raw[p * len(raw) // 3 + x] for p in range(3)) for x in range(width)] == \
        [tuple(pixels[x * 3:x * 3 + 3]) for x in range(width)]
    _, rgba, _ = server.request(f"/api/frame/{output}/3.rgba")
    assert len(rgba) == len(raw) // 3 * 4
    assert [tuple(rgba[x * 4:x * 4 + 4]) for x in range(width)] == [(*pixels[x * 3:x * 3 + 3], 255) for x in range(width)]


def test_a_region_comes_cut_exactly_or_scaled_down_in_the_graph(server):
    status, body, headers = server.request("/api/frame/0/3.rgba", region="30,4,4,2")
    assert status == 200 and headers["X-Region"] == "30,4,4,2"
    assert (headers["X-Frame-Width"], headers["X-Frame-Height"]) == ("4", "2") and len(body) == 4 * 2 * 4
    assert [tuple(body[i:i + 3]) for i in range(0, 16, 4)] == [(255, 0, 0)] * 2 + [(1, 2, 3)] * 2
    status, body, headers = server.request("/api/frame/2/3.rgba", region="0,0,64,32", size="16,8")
    assert (headers["X-Frame-Width"], headers["X-Frame-Height"]) == ("16", "8")
    assert all(abs(a - b) <= 3 for i in range(0, len(body), 4) for a, b in zip(body[i:i + 3], (255, 0, 0)))
    assert any("scaled to 16x8" in note for note in json.loads(headers["X-Display-Notes"]))


def test_a_request_whose_client_leaves_is_cancelled(server):
    before = server.json("/api/status")["cancelled"]
    host, port = server.base.removeprefix("http://").rsplit(":", 1)
    with socket.create_connection((host, int(port))) as connection:
        connection.sendall(f"GET /api/frame/11/0.rgba?token={server.token} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        time.sleep(0.3)  # the frame takes a second
    server.wait_for(lambda status: status["cancelled"] == before + 1, timeout=10)


def test_pixel_reads_the_clips_own_samples_at_the_chroma_position(server):
    assert server.json("/api/pixel/1/0", x=31, y=5) == {"x": 31, "y": 5, "values": [300, 400, 600]}
    assert server.json("/api/pixel/1/0", x=33, y=5)["values"] == [300, 700, 100]
    assert server.json("/api/pixel/5/0", x=0, y=0)["values"] == [2.0, 0.0, 0.5]


def test_props_are_json(server):
    props = server.json("/api/props/1/2")
    assert props["Name"] == "abc" and props["Numbers"] == [1, 2, 3] and props["Ratio"] == 1.5
    assert props["Blob"] == "<2 bytes of binary data>" and props["_DurationNum"] == 1


def test_time_sums_durations_when_the_rate_varies(server):
    assert server.json("/api/time/0/18") == {"frame": 18, "seconds": 0.75}
    assert server.json("/api/time/9/3")["seconds"] == pytest.approx(2 / 24 + 1 / 30)


def test_audio_wav_holds_the_asked_samples(server):
    status, body, _ = server.request("/api/audio/10.wav", start=100, end=3500)
    assert status == 200
    # The standard library reads no float WAV; its header is all there is to check.
    assert body[:4] == b"RIFF" and body[8:12] == b"WAVE"
    data = body.index(b"data")
    assert int.from_bytes(body[data + 4:data + 8], "little") == len(body) - data - 8 == (3500 - 100) * 4


def test_difference_of_two_outputs(server):
    same = server.json("/api/diff/0/0/4")
    assert same["identical"] and same["psnr"] is None and same["max_difference"] == 0
    _, png, _ = server.request("/api/diff/0/0/4.png")
    assert set(rgb_pixels(png)) == {0}
    differs = server.json("/api/diff/0/6/4")
    assert differs["max_difference"] == 1 and not differs["identical"]
    mse = (32 * 32) / (3 * 64 * 32)
    assert differs["psnr"] == pytest.approx(10 * __import__("math").log10(255 ** 2 / mse))
    assert set(rgb_pixels(server.request("/api/diff/0/6/4.png")[1])) == {0, 8}


def test_benchmark_renders_the_range(server):
    result = server.json("/api/bench/1", start=5, end=24)
    assert result["frames"] == 20 and result["fps"] > 0


@pytest.mark.parametrize("path, query, status, text", [
    ("/api/frame/42/0.png", {}, 404, "no output 42"),
    ("/api/frame/0/30.png", {}, 404, "out of range"),
    ("/api/props/0/-1", {}, 404, "out of range"),
    ("/api/frame/x/0.png", {}, 400, "integer"),
    ("/api/pixel/0/0", {"x": 64, "y": 0}, 400, "between"),
    ("/api/pixel/0/0", {"y": 0}, 400, "required"),
    ("/api/frame/0/0.png", {"level": 12}, 400, "between"),
    ("/api/audio/0.wav", {}, 400, "video, not audio"),
    ("/api/diff/0/1/0", {}, 422, "differ in format"),
    ("/api/diff/0/3/0", {}, 422, "differ in size"),
    ("/api/frame/8/0.png", {}, 422, "format varies"),
    ("/api/frame/7/0.png", {}, 500, "the filter broke"),
    ("/api/frame/0/0.rgba", {"region": "60,0,8,8"}, 400, "not inside"),
    ("/api/frame/0/0.rgba", {"region": "0,0,8,8", "size": "16,8"}, 400, "at most"),
    ("/api/frame/0/0.rgba", {"region": "1,2,3"}, 400, "4 integers"),
    ("/api/frame/0/0.rgba", {"size": "4,4"}, 400, "needs a region"),
    ("/static/..%2f..%2fserver.py", {}, 404, "no such file"),
    ("/static/%2e%2e%2fserver.py", {}, 404, "no such file"),
    ("/static/../server.py", {}, 404, ""),
    ("/nowhere", {}, 404, ""),
])
def test_errors_are_json_and_the_server_keeps_serving(server, path, query, status, text):
    got, body, headers = server.request(path, **query)
    assert got == status
    assert text in json.loads(body)["error"]
    assert server.json("/api/status")["state"] == "ok"


@pytest.mark.parametrize("path", ["/", "/static/preview.js", "/api/status", "/api/frame/0/0.png", "/nowhere"])
@pytest.mark.parametrize("token", [None, "wrong"])
def test_every_route_needs_the_token(server, path, token):
    query = {} if token is None else {"token": token}
    status, body, _ = server.request(path, auth=False, **query)
    assert status == 403 and "token" in json.loads(body)["error"]


def write_script(path, body):
    # A new modification time even when the file system's clock is coarse, and
    # one change as the watcher sees it: the file is whole and stamped before
    # it replaces the old one, so a poll between the two steps cannot reload twice.
    stamp = os.stat(path).st_mtime_ns + 10**9 if path.exists() else None
    staged = path.with_name(path.name + ".new")
    staged.write_text(textwrap.dedent(body))
    if stamp is not None:
        os.utime(staged, ns=(stamp, stamp))
    os.replace(staged, path)


def test_saving_reloads_and_errors_show_until_fixed(tmp_path):
    script = tmp_path / "edit.py"
    write_script(script, "import lumeq\nlumeq.core.std.BlankClip(width=16, height=16, length=5).set_output(3)\n")
    running = Server(script)
    try:
        assert [o["index"] for o in running.json("/api/outputs")] == [3]
        write_script(script, "import logging\nlogging.getLogger('lumeq').warning('left behind')\n1 / 0\n")
        broken = running.wait_for(lambda s: s["generation"] == 2)
        assert broken["state"] == "error" and "ZeroDivisionError" in broken["error"]
        assert any(r["message"] == "left behind" for r in broken["log"])
        assert running.json("/api/outputs") == []
        write_script(script, "import lumeq\nlumeq.core.std.BlankClip(width=8, height=8, length=7).set_output(0)\n")
        fixed = running.wait_for(lambda s: s["generation"] == 3)
        assert fixed["state"] == "ok" and fixed["error"] is None
        assert running.json("/api/outputs")[0]["frames"] == 7
    finally:
        status, err = running.stop()
    assert status == 0, err


def _rss_kib(pid):
    with open(f"/proc/{pid}/status") as file:
        return int(re.search(r"VmRSS:\s+(\d+)", file.read()).group(1))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_fifty_reloads_of_a_1080p_script_keep_memory_flat(tmp_path, request):
    if request.config.getoption("--sanitized", default=False):
        pytest.skip("the sanitizer's quarantine keeps freed memory on purpose")
    script = tmp_path / "hd.py"
    script.write_text("import lumeq\nlumeq.core.std.BlankClip(format=lumeq.YUV420P8, width=1920, height=1080,"
                      " length=100, color=[40, 100, 200]).set_output(0)\n")
    running = Server(script)
    try:
        def reload_and_render(times):
            for _ in range(times):
                assert running.request("/api/reload", method="POST")[0] == 200
                assert running.request("/api/frame/0/7.raw")[0] == 200
        reload_and_render(20)  # the allocator settles first
        before = _rss_kib(running.proc.pid)
        reload_and_render(50)
        grown = _rss_kib(running.proc.pid) - before
        assert running.json("/api/status")["generation"] == 71
        # The aim is 10 MiB: with the heap trimmed at each reload, runs here
        # grew 1.3 to 3.2 MiB (up to 11.7 MiB on a loaded machine before the
        # trim), while a 1080p frame kept per reload would add over 150 MiB.
        assert grown <= 16 * 1024, f"RSS grew by {grown} KiB over 50 reloads"
    finally:
        running.stop()


def test_unreadable_script_is_one_line_and_status_one(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "lumeq_preview", "--no-browser", str(tmp_path / "missing.py")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.count("\n") == 1 and "cannot read script" in proc.stderr


@pytest.mark.parametrize("host, loopback", [("127.0.0.1", True), ("::1", True), ("localhost", True),
                                            ("0.0.0.0", False), ("192.168.1.2", False)])
def test_only_loopback_addresses_pass_without_a_warning(host, loopback):
    from lumeq_preview.cli import is_loopback
    assert is_loopback(host) is loopback


def test_the_package_is_strictly_typed(tmp_path):
    pytest.importorskip("mypy")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, MYPYPATH=os.path.join(root, "stubs"))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           os.path.join(root, "python", "lumeq_preview")],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


NOTEBOOK = """
import json, lumeq
from IPython.core.interactiveshell import InteractiveShell
formatter = InteractiveShell.instance().display_formatter
clip = lumeq.core.std.BlankClip(format=lumeq.YUV444P8, width=640, height=4, color=[81, 90, 240], length=2)
shown = {"clip": formatter.format(clip)[0]["image/png"], "frame": formatter.format(clip.get_frame(1))[0]["image/png"]}
print(json.dumps({name: png.hex() for name, png in shown.items()}))
"""


def test_notebooks_show_clips_and_frames_through_the_same_conversion(run_py):
    pytest.importorskip("IPython")
    shown = json.loads(run_py(NOTEBOOK).stdout.strip().splitlines()[-1])
    for png in shown.values():
        pixels = rgb_pixels(bytes.fromhex(png))
        assert len(pixels) == 640 * 4 * 3
        assert all(abs(a - b) <= 3 for a, b in zip(pixels[:3], (255, 0, 0)))
