"""The documentation site: it builds strictly, and opened from the file
system in headless Chromium its pages render with their navigation and
search, load nothing from outside and log no error."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytest.importorskip("mkdocs", reason="the documentation tools are not installed (make docs installs them)")


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("site")
    proc = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--site-dir", str(out)], cwd=ROOT,
                          capture_output=True, text=True, env=dict(os.environ, NO_MKDOCS_2_WARNING="1"),
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return out


@pytest.fixture(scope="module")
def browser():
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed")
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("chromium is not installed")
    # The driver and the browser inherit the environment; a sanitizer runtime
    # preloaded for lumeq has no business in them.
    with pytest.MonkeyPatch.context() as patch:
        patch.delenv("LD_PRELOAD", raising=False)
        driver = sync_api.sync_playwright().start()
    try:
        launched = driver.chromium.launch(executable_path=chromium)
        yield launched
        launched.close()
    finally:
        driver.stop()


def open_page(browser, url):
    page = browser.new_page(viewport={"width": 1400, "height": 900})
    problems = []
    page.on("console", lambda message: message.type == "error" and problems.append(message.text))
    page.on("pageerror", lambda error: problems.append(str(error)))
    page.on("request", lambda request: request.url.startswith("file:") or problems.append(request.url))
    page.goto(url)
    page.wait_for_load_state("load")
    return page, problems


@pytest.mark.parametrize("path, heading", [("index.html", "lumeq"), ("api/clips.html", "VideoNode")])
def test_page_renders_with_navigation_and_search(site, browser, path, heading):
    page, problems = open_page(browser, (site / path).as_uri())
    assert page.locator("h1, h2").filter(has_text=heading).first.is_visible()
    navigation = page.locator("nav.md-nav--primary")
    assert navigation.is_visible()
    for title in ("Getting started", "lumeq-pipe", "API reference"):
        assert navigation.get_by_text(title, exact=True).first.is_visible()
    search = page.locator("input.md-search__input")
    assert search.is_visible()
    search.click()
    page.keyboard.type("get_frame_async", delay=20)
    page.locator(".md-search-result__item").first.wait_for(timeout=10_000)
    assert page.locator(".md-search-result__item").count() > 0
    page.close()
    assert problems == []


def test_video_node_reference_has_its_members(site, browser):
    page, problems = open_page(browser, (site / "api" / "clips.html").as_uri())
    for member in ("get_frame", "frames", "set_output", "__getitem__"):
        assert page.locator(f'[id="lumeq.VideoNode.{member}"]').count() == 1
    # The innermost documented object holding the heading: the method's own entry.
    entry = page.locator("div.doc-object", has=page.locator('[id="lumeq.VideoNode.get_frame"]')).last
    assert "Returns a VideoFrame from position n." in entry.inner_text()
    page.close()
    assert problems == []
