"""lumeq-preview's page in headless Chromium: one server and one browser for
the module, a fresh page per test. Colours are read back from the page's canvas."""
import os
import shutil
import textwrap
import urllib.request

import pytest

pytest.importorskip("aiohttp")
playwright = pytest.importorskip("playwright.sync_api")
CHROMIUM = shutil.which("chromium")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")

from test_preview import Server, write_script  # noqa: E402

SCRIPT = """
import lumeq
std = lumeq.core.std

def clip(color, fmt=lumeq.RGB24):
    return std.BlankClip(format=fmt, width=160, height=90, length=1, color=color)

def steps():
    return clip([int(red), 0, 0]) + clip([0, 255, 0]) + clip([0, 0, 255])

steps().set_output(0)
(clip([235, 128, 128], lumeq.YUV444P8) * 3).set_output(1)
steps().set_output(2)
# Variable rate: 0.6 s, then two of 0.2 s.
std.Splice([std.BlankClip(format=lumeq.RGB24, width=160, height=90, length=1, fpsnum=n, fpsden=d)
            for n, d in ((5, 3), (5, 1), (5, 1))], mismatch=True).set_output(3)
# Larger than the window: red left, blue right.
std.StackHorizontal([std.BlankClip(format=lumeq.RGB24, width=960, height=1080, length=240, color=color)
                     for color in ([255, 0, 0], [0, 0, 255])]).set_output(4)
"""

WAIT = 15000


@pytest.fixture(scope="module")
def server(tmp_path_factory, request):
    # Under the sanitizer runtime the server answers too slowly for a browser's
    # timeouts; the HTTP tests cover the same routes there.
    if request.config.getoption("--sanitized", default=False):
        pytest.skip("browser timeouts are not met by the sanitizer build")
    script = tmp_path_factory.mktemp("browser") / "script.py"
    script.write_text(textwrap.dedent(SCRIPT))
    running = Server(script, "-a", "red=200")
    yield running
    running.stop()


@pytest.fixture(scope="module")
def browser(request):
    if request.config.getoption("--sanitized", default=False):
        pytest.skip("browser timeouts are not met by the sanitizer build")
    with playwright.sync_playwright() as driver:
        launched = driver.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield launched
        launched.close()


@pytest.fixture
def page(browser, server):
    opened = browser.new_page(viewport={"width": 1000, "height": 600})
    errors = []
    opened.on("pageerror", lambda error: errors.append(str(error)))
    opened.goto(server.url)
    yield opened
    opened.close()
    assert errors == []


def painted(page, generation, output, frame, compare=""):
    page.wait_for_function(f"document.body.dataset.painted === '{generation}:{output}:{frame}:{compare}'",
                           timeout=WAIT)


def centre(page):
    """The colour at the middle of the frame as the page shows it."""
    return page.evaluate("""() => {
        const c = document.getElementById('canvas');
        return Array.from(c.getContext('2d').getImageData(c.width >> 1, c.height >> 1, 1, 1).data.slice(0, 3));
    }""")


def test_first_frame_is_painted_and_the_picker_reads_samples(page):
    painted(page, 1, 0, 0)
    assert centre(page) == [200, 0, 0]  # -a red=200 reached the script
    box = page.locator("#canvas").bounding_box()
    page.mouse.move(box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    page.wait_for_function("document.getElementById('pixel').textContent.includes('R=200  G=0  B=0')", timeout=WAIT)


def test_keys_step_frames_and_switch_outputs(page):
    painted(page, 1, 0, 0)
    page.keyboard.press("ArrowRight")
    painted(page, 1, 0, 1)
    assert centre(page) == [0, 255, 0]
    page.keyboard.press("End")
    painted(page, 1, 0, 2)
    assert centre(page) == [0, 0, 255]
    page.keyboard.press("ArrowLeft")  # the frame fetched ahead is the one shown
    painted(page, 1, 0, 1)
    assert centre(page) == [0, 255, 0]
    page.keyboard.press("ArrowRight")
    painted(page, 1, 0, 2)
    page.keyboard.press("1")  # same frame number, other output
    painted(page, 1, 1, 2)
    assert centre(page) == [255, 255, 255]
    assert "YUV444P8" in page.locator("nav button.active").inner_text()


def test_difference_of_equal_outputs_is_black(page):
    painted(page, 1, 0, 0)
    page.select_option("#compare", "2")
    painted(page, 1, 0, 0, "2")
    assert centre(page) == [0, 0, 0]
    page.wait_for_function("document.getElementById('compare-stats').textContent === 'identical'", timeout=WAIT)


def test_a_variable_rate_plays_by_the_frames_own_durations(page):
    painted(page, 1, 0, 0)
    page.keyboard.press("3")
    painted(page, 1, 3, 0)
    took = page.evaluate("""async () => {
        const t0 = performance.now();
        document.dispatchEvent(new KeyboardEvent('keydown', {key: ' '}));
        while (!preview.lastPlay) await new Promise((r) => setTimeout(r, 10));
        return (performance.now() - t0) / 1000;
    }""")
    # At a nominal 24 fps the three frames would pass in an eighth of a second.
    assert took >= 0.9 and page.evaluate("preview.lastPlay.last") == 2


def test_playback_moves_only_the_pixels_the_window_shows(page):
    painted(page, 1, 0, 0)
    page.keyboard.press("4")
    painted(page, 1, 4, 0)
    page.keyboard.press("Space")
    # A playback frame fetched at the window's size is put on the canvas as it is.
    page.wait_for_function("preview.direct && preview.painted.frame > 0", timeout=WAIT)
    colours = page.evaluate("""() => {
        const c = document.getElementById('canvas'), y = Math.round(preview.oy + 540 * preview.scale);
        const at = (x) => Array.from(c.getContext('2d').getImageData(Math.round(preview.ox + x * preview.scale), y, 1, 1).data.slice(0, 3));
        return [at(480), at(1440), preview.direct.width];
    }""")
    page.keyboard.press("Space")
    assert colours[:2] == [[255, 0, 0], [0, 0, 255]] and colours[2] < 1920
    page.wait_for_function("preview.painted && !preview.direct && !preview.playing", timeout=WAIT)


def test_no_token_is_refused(server):
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(server.base + "/", timeout=10)
    assert refused.value.code == 403


def test_saving_the_script_shows_the_new_frame_and_errors_recover(page, server):
    painted(page, 1, 0, 0)
    original = server.script.read_text()
    try:
        write_script(server.script, original.replace("[int(red), 0, 0]", "[10, 20, 30]"))
        painted(page, 2, 0, 0)
        assert centre(page) == [10, 20, 30]
        write_script(server.script, original + "\nraise ValueError('broken on purpose')\n")
        page.wait_for_function("(document.body.dataset.message || '').includes('broken on purpose')", timeout=WAIT)
        assert page.locator("#message").is_visible()
        assert "Traceback" in page.locator("#message").inner_text()
    finally:
        write_script(server.script, original)
    painted(page, 4, 0, 0)
    assert not page.locator("#message").is_visible()
    assert centre(page) == [200, 0, 0]
