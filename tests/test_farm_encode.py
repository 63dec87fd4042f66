"""lumeq-farm's encoder presets, variable-rate times, target quality and audio,
on one loopback Dask cluster shared by the module."""
import re
import subprocess
import sys

import pytest

from test_pipe import FFMPEG, FFPROBE, child_env, pipe_command

distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.skipif(FFMPEG is None or FFPROBE is None, reason="ffmpeg is not installed")

from lumeq_farm import encoders  # noqa: E402
from lumeq_farm.quality import QuantizerSearch, ssimulacra2_available  # noqa: E402

YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1

# Frames that carry their own durations: 25, 50, 29.97 and 25 frames/s again.
VFR_SCRIPT = f'''
from lumeq import core
def part(n, num, den, shade):
    clip = core.std.BlankClip(format={YUV420P8}, width=64, height=64, length=n, fpsnum=25, fpsden=1,
                              color=[shade, 128, 128])
    return core.std.SetFrameProps(clip, _DurationNum=num, _DurationDen=den)
clip = part(7, 1, 25, 20) + part(9, 1, 50, 90) + part(8, 1001, 30000, 160) + part(4, 1, 25, 220)
clip.set_output()
'''

SOURCE_SCRIPT = '''
from lumeq import core
core.bs.VideoSource(src, cachemode=0).set_output()
'''

AUDIO_SCRIPT = f'''
from lumeq import core
core.std.BlankClip(format={YUV420P8}, width=64, height=64, length=30, fpsnum=25, fpsden=1).set_output(0)
core.std.BlankAudio(samplerate=int(rate), length=int(rate) * 30 // 25 - 7).set_output(1)
'''


@pytest.fixture(scope="module")
def scheduler():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    yield cluster.scheduler_address
    cluster.close()


def ffmpeg(*args):
    subprocess.run([FFMPEG, "-v", "error", "-y", *map(str, args)], check=True)


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    """Three scenes of rising difficulty: a test card, a fractal zoom, noise."""
    folder = tmp_path_factory.mktemp("scenes")
    source = folder / "scenes.mkv"
    parts = ["testsrc2=size=64x64:rate=25:duration=1.2", "mandelbrot=size=64x64:rate=25,trim=duration=1.2",
             "color=gray:size=64x64:rate=25:duration=1.2,noise=alls=50:allf=t"]
    inputs = [arg for part in parts for arg in ("-f", "lavfi", "-i", part)]
    ffmpeg(*inputs, "-lavfi", "[0][1][2]concat=n=3,format=yuv420p", "-c:v", "ffv1", source)
    script = folder / "source.py"
    script.write_text(SOURCE_SCRIPT)
    return script, source


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def farm(scheduler, *args):
    return subprocess.run([sys.executable, "-m", "lumeq_farm", "--scheduler", scheduler, *map(str, args)],
                          capture_output=True, text=True, env=child_env(), timeout=300)


def probe(path, entries, stream="v:0"):
    done = subprocess.run([FFPROBE, "-v", "error", "-select_streams", stream, "-show_entries", entries,
                           "-of", "csv=p=0", str(path)], capture_output=True, text=True, check=True)
    return [line.rstrip(",") for line in done.stdout.split("\n") if line]


def reported_chunks(stderr):
    return [(int(c), float(q), float(s)) for c, q, s in
            re.findall(r"chunk (\d+): quantizer ([\d.]+), score ([\d.]+)", stderr)]


@pytest.mark.parametrize("encoder, preset, name, codec", [
    ("x264", "ultrafast", "out.mp4", "h264"), ("x265", "ultrafast", "out.mkv", "hevc"),
    ("svt-av1", "12", "out.webm", "av1"), ("aom", "8", "out.ivf", "av1"), ("rav1e", "10", "out.mkv", "av1")])
def test_presets_join_into_the_container_with_a_key_frame_per_chunk(scheduler, tmp_path, encoder, preset, name, codec):
    script = write(tmp_path, "vfr.py", VFR_SCRIPT)
    out = tmp_path / name
    done = farm(scheduler, "--chunk-frames", 10, "--encoder", encoder, "--preset", preset, script, out)
    assert done.returncode == 0, done.stderr
    assert probe(out, "stream=codec_name") == [codec]
    flags = probe(out, "packet=pts,flags")
    assert len(flags) == 28
    in_order = sorted(flags, key=lambda line: int(line.split(",")[0]))
    assert [in_order[n].split(",")[1].startswith("K") for n in (0, 10, 20)] == [True] * 3


@pytest.mark.parametrize("args, message", [
    (["--encoder", "x264", "OUT.webm"], "cannot carry H264"),
    (["--encoder", "x264", "--preset", "warp", "OUT.mkv"], "--preset for x264 is one of"),
    (["--encoder", "svt-av1", "--crf", "20.5", "OUT.mkv"], "a whole number from 1 to 63"),
    (["--encoder", "ffmpeg -i - {out}", "--crf", "20", "OUT.mkv"], "--crf goes with a preset"),
    (["--encoder", "x264", "--target-quality", "vmaf:90", "OUT.mkv"], "METRIC one of psnr"),
    (["--encoder", "x264", "--target-quality", "ssim:1.5", "OUT.mkv"], "at most 1"),
    (["--encoder", "aom", "--audio", "1", "OUT.ivf"], "cannot carry flac"),
    (["--encoder", "x264", "--audio", "1", "--audio-codec", "opus", "OUT.mp4"], "cannot carry opus"),
    (["--audio", "1", "OUT.y4m"], "--audio needs --encoder"),
])
def test_option_errors_stop_before_anything_runs(tmp_path, args, message):
    script = write(tmp_path, "vfr.py", VFR_SCRIPT)
    out = str(tmp_path / args[-1])
    done = subprocess.run([sys.executable, "-m", "lumeq_farm", *args[:-1], str(script), out],
                          capture_output=True, text=True, env=child_env(), timeout=60)
    assert done.returncode == 2
    assert message in done.stderr and len(done.stderr.strip().splitlines()) == 1
    assert not list(tmp_path.glob("OUT*"))


def test_a_preset_whose_library_is_missing_says_so(monkeypatch):
    monkeypatch.setattr(encoders, "available_libraries", lambda: frozenset({"libx264"}))
    with pytest.raises(encoders.PresetError, match="libsvtav1, which this ffmpeg was built without"):
        encoders.make_preset("svt-av1", "out.mkv", None, None)


@pytest.mark.parametrize("name, tolerance_ms", [("out.mkv", 0.5), ("out.mp4", 0.001), ("out.y4m", 0)])
def test_variable_rate_times_reach_the_joined_file(scheduler, tmp_path, name, tolerance_ms):
    script = write(tmp_path, "vfr.py", VFR_SCRIPT)
    timecodes = tmp_path / "tc.txt"
    subprocess.run(pipe_command("--timecodes", timecodes, script, "/dev/null"), check=True, env=child_env(),
                   capture_output=True)
    out = tmp_path / name
    # x264's medium preset reorders frames: decode times must follow the map too.
    encoder = [] if name.endswith(".y4m") else ["--encoder", "x264"]
    done = farm(scheduler, "--chunk-frames", 6, *encoder, script, out)
    assert done.returncode == 0, done.stderr
    expected = [float(line) for line in timecodes.read_text().splitlines()[1:]]
    if encoder:
        stamps = sorted(1000 * float(t) for t in probe(out, "packet=pts_time"))
    else:
        # Y4M keeps no times: they go beside it, summed from the chunks' (to the ns each).
        stamps = [float(line) for line in (tmp_path / "out.y4m.timecodes.txt").read_text().splitlines()[1:]]
    assert stamps == pytest.approx(expected, abs=tolerance_ms + 1e-5)


def test_timecodes_end_line_and_its_requirement(tmp_path):
    script = write(tmp_path, "vfr.py", VFR_SCRIPT)
    timecodes = tmp_path / "tc.txt"
    run = subprocess.run(pipe_command("--timecodes", timecodes, "--timecodes-end", "-s", 5, "-e", 8, script,
                                      "/dev/null"), env=child_env(), capture_output=True)
    assert run.returncode == 0
    assert timecodes.read_text().splitlines()[1:] == ["0.000000", "40.000000", "80.000000", "100.000000",
                                                      "120.000000"]
    refused = subprocess.run(pipe_command("--timecodes-end", script, "/dev/null"), env=child_env(),
                             capture_output=True, text=True)
    assert refused.returncode == 2 and "--timecodes-end goes with --timecodes" in refused.stderr


def chunk_scores(metric, out, source, bounds):
    """Each chunk's score, measured afresh on the joined file."""
    pattern = r"average:([\d.]+)" if metric == "psnr" else r"All:([\d.]+)"
    scores = []
    for first, last in bounds:
        cut = f"trim=start_frame={first}:end_frame={last + 1},setpts=PTS-STARTPTS"
        done = subprocess.run([FFMPEG, "-hide_banner", "-nostats", "-i", str(out), "-i", str(source), "-lavfi",
                               f"[0:v]{cut}[a];[1:v]{cut}[b];[a][b]{metric}", "-f", "null", "-"],
                              capture_output=True, text=True, check=True)
        scores.append(float(re.findall(pattern, done.stderr)[-1]))
    return scores


@pytest.mark.parametrize("metric, value, name", [
    ("psnr", 36.0, "out.mp4"), ("ssim", 0.95, "out.mkv"),
    pytest.param("ssimulacra2", 60.0, "out.mkv", marks=pytest.mark.skipif(
        not ssimulacra2_available(), reason="the vszip plugin is not installed"))])
def test_target_quality_meets_the_target_in_every_chunk(scheduler, scenes, tmp_path, metric, value, name):
    script, source = scenes
    out = tmp_path / name
    done = farm(scheduler, "-a", f"src={source}", "--chunk-frames", 30, "--encoder", "x264", "--preset",
                "ultrafast", "--target-quality", f"{metric}:{value}", script, out)
    assert done.returncode == 0, done.stderr
    reported = sorted(reported_chunks(done.stderr))
    assert [c for c, _, _ in reported] == [0, 1, 2]
    assert all(score >= value * 0.99 for _, _, score in reported)
    # The harder the scene, the lower the quantizer it needs.
    assert reported[0][1] > reported[2][1]
    if metric != "ssimulacra2":
        # The joined file decodes to the chunks as measured (each carries its own parameter sets).
        again = chunk_scores(metric, out, source, [(0, 29), (30, 59), (60, 89)])
        assert again == pytest.approx([score for _, _, score in reported], rel=1e-3)


@pytest.mark.parametrize("fractional, crossing", [(True, 31.3), (False, 44.6), (True, 2.0), (False, 60.0)])
def test_quantizer_search_finds_the_highest_quantizer_that_meets(fractional, crossing):
    codec = encoders.CODECS["x264" if fractional else "svt-av1"]
    preset = encoders.Preset(codec, codec.default_quality, codec.default_preset, ".mkv")
    search = QuantizerSearch(preset, target=40.0)

    def score(q):  # falls steeply, then gently: linear interpolation alone misses it
        return 40.0 + (crossing - q) * (0.4 if q > crossing else 1.5)
    while (q := search.next_q()) is not None:
        search.probes.append(type("Probe", (), {"q": q, "score": score(q), "path": ""})())
    assert len(search.probes) <= 4
    chosen = search.choice()
    # The interpolated choice may fall short by the tolerance, no more.
    assert score(chosen) >= 40.0 * 0.99
    low, high = codec.quality_range
    assert chosen >= min(crossing, high) - 2 * search.resolution or chosen == low


@pytest.mark.parametrize("codec, name, rate, frames", [
    ("flac", "out.mkv", 48000, None), ("opus", "out.mkv", 44100, None), ("copy-pcm", "out.mkv", 44100, None),
    ("flac", "out.mp4", 48000, None), ("opus", "out.mkv", 48000, (5, 24))])
def test_audio_is_muxed_whole(scheduler, tmp_path, codec, name, rate, frames):
    script = write(tmp_path, "av.py", AUDIO_SCRIPT)
    out = tmp_path / name
    extra = ["--start", frames[0], "--end", frames[1]] if frames else []
    done = farm(scheduler, "-a", f"rate={rate}", "--chunk-frames", 12, "--encoder", "x264", "--preset",
                "ultrafast", "--audio", 1, "--audio-codec", codec, *extra, script, out)
    assert done.returncode == 0, done.stderr
    samples = rate * 30 // 25 - 7
    if frames:
        samples = min(samples, (frames[1] + 1) * rate // 25) - frames[0] * rate // 25
    counted_rate = 48000 if codec == "opus" else rate
    decoded = subprocess.run([FFMPEG, "-v", "error", "-i", str(out), "-map", "0:a:0", "-ac", "1", "-f", "u8",
                              "-c:a", "pcm_u8", "-"], capture_output=True, check=True).stdout
    assert abs(len(decoded) - samples * counted_rate / rate) < 1
    assert len(probe(out, "packet=pts")) == (frames[1] - frames[0] + 1 if frames else 30)
