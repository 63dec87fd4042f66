"""lumeq-preview's workloads, each against a floor that does the same
transfer and painting with nothing of lumeq or VapourSynth in it.

    preview_workloads.py request rgba|raw|png|floor REQUESTS
        GETs of one cached 1080p frame (the RGBA pixels the page loads, the
        raw planes, or a level-1 PNG); floor: RGBA bytes from a handler that has them ready
    preview_workloads.py step lumeq|floor STEPS [PAUSE_MS]
        in Chromium: ArrowRight to the next 1080p frame painted on the canvas,
        the steps back to back or PAUSE_MS apart (a deliberate step, which
        the page's read-ahead has time to serve); floor: fetching ready RGBA
        pixels and painting them the page's way
    preview_workloads.py drag lumeq|floor FRAMES
        in Chromium: a slider drag over FRAMES frames in one second, then the
        time until the last frame is painted; floor: one step
    preview_workloads.py play lumeq|floor SECONDS
        in Chromium: playback of a 1080p 24 fps clip; the painted frames per
        second of the clip's time, and the frames dropped; floor: ready RGBA frames fetched and painted back to back,
        three at a time, the page's way (what the browser can move at all)

Prints one JSON line: {"workload", "seconds", "items", ...}.
"""
import asyncio
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

WIDTH, HEIGHT = 1920, 1080
# Frames that differ (so no step is served from the page's own state) and cost nothing.
SCRIPT = """import lumeq
std = lumeq.core.std
frames = [std.BlankClip(format=lumeq.YUV420P8, width=1920, height=1080, length=1, fpsnum=24, fpsden=1,
                        color=[16 + k, 128, 128]) for k in range(8)]
(std.Splice(frames) * 100).set_output(0)
"""


def report(workload, seconds, items, **extra):
    print(json.dumps({"workload": workload, "seconds": seconds, "items": items, **extra}))


class Preview:
    """lumeq-preview on the 1080p script, in a process of its own."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="lumeq-preview-bench-")
        script = os.path.join(self.dir, "script.py")
        with open(script, "w") as file:
            file.write(SCRIPT)
        self.proc = subprocess.Popen([sys.executable, "-m", "lumeq_preview", "--no-browser", script],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.url = self.proc.stdout.readline().strip()
        self.base, self.token = self.url.split("/?token=")
        while json.loads(self.get("/api/status"))["generation"] < 1:
            time.sleep(0.05)

    def get(self, path):
        with urllib.request.urlopen(f"{self.base}{path}?token={self.token}") as response:
            return response.read()

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


FLOOR_PAGE = b"""<!doctype html><canvas id=c width=1920 height=1080></canvas><script>
const ctx = document.getElementById('c').getContext('2d');
window.paintOnce = async () => {
  const buffer = await (await fetch('/frame')).arrayBuffer();
  ctx.putImageData(new ImageData(new Uint8ClampedArray(buffer), 1920, 1080), 0, 0);
};
</script>"""


class Floor:
    """An aiohttp server with the frame's bytes ready: what moving and painting them costs."""

    def __init__(self):
        from aiohttp import web

        body = bytes(range(256)) * (WIDTH * HEIGHT * 4 // 256)  # RGBA, as the page loads it
        app = web.Application()
        app.add_routes([web.get("/", lambda r: _response(web, FLOOR_PAGE, "text/html")),
                        web.get("/frame", lambda r: _response(web, body, "application/octet-stream"))])
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(app, access_log=None)
        self.loop.run_until_complete(self.runner.setup())
        site = web.TCPSite(self.runner, "127.0.0.1", 0)
        self.loop.run_until_complete(site.start())
        port = site._server.sockets[0].getsockname()[1]
        self.base, self.url = f"http://127.0.0.1:{port}", f"http://127.0.0.1:{port}/"
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def get(self, path):
        with urllib.request.urlopen(self.base + path) as response:
            return response.read()

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()


async def _response(web, body, kind):
    return web.Response(body=body, content_type=kind)


def request(kind, count):
    server = Floor() if kind == "floor" else Preview()
    path = "/frame" if kind == "floor" else f"/api/frame/0/3.{kind}"
    try:
        server.get(path)  # renders and caches the frame
        times = []
        for _ in range(count):
            started = time.perf_counter()
            server.get(path)
            times.append(time.perf_counter() - started)
    finally:
        server.close()
    report(f"request_{kind}", statistics.median(times), count, min=min(times), max=max(times))


def browser_page(url):
    from playwright.sync_api import sync_playwright

    driver = sync_playwright().start()
    browser = driver.chromium.launch(executable_path=shutil.which("chromium"), args=["--no-sandbox"])
    page = browser.new_page(viewport={"width": 1600, "height": 1000})
    page.goto(url)
    return driver, browser, page


STEP = """async (n) => {
  const t0 = performance.now();
  document.dispatchEvent(new KeyboardEvent('keydown', {key: 'ArrowRight'}));
  while (!(preview.painted && preview.painted.frame === n)) await new Promise(requestAnimationFrame);
  return preview.painted.at - t0;
}"""
FLOOR_STEP = """async () => { const t0 = performance.now(); await paintOnce(); return performance.now() - t0; }"""
DRAG = """async (frames) => {
  const slider = document.getElementById('slider'), before = preview.requests;
  const t0 = performance.now();
  for (let i = 1; i < frames; i++) {
    slider.value = i;
    slider.dispatchEvent(new Event('input'));
    // A hand's drag: the positions spread over one second, one per event-loop turn.
    while (performance.now() - t0 < i * 1000 / frames) await new Promise((r) => setTimeout(r, 0));
  }
  slider.dispatchEvent(new Event('change'));  // let go
  const released = performance.now();
  while (!(preview.painted && preview.painted.frame === frames - 1)) await new Promise(requestAnimationFrame);
  return {after: preview.painted.at - released, requests: preview.requests - before};
}"""


def wait_first_paint(page):
    page.wait_for_function("window.preview && preview.painted && preview.painted.frame === 0", timeout=60000)


def step(kind, count, pause_ms=0):
    server = Floor() if kind == "floor" else Preview()
    driver, browser, page = browser_page(server.url)
    try:
        if kind == "floor":
            page.evaluate(FLOOR_STEP)
            times = [page.evaluate(FLOOR_STEP) / 1000 for _ in range(count)]
        else:
            wait_first_paint(page)
            times = []
            for n in range(1, count + 1):
                time.sleep(pause_ms / 1000)
                times.append(page.evaluate(STEP, n) / 1000)
    finally:
        browser.close()
        driver.stop()
        server.close()
    report(f"step_{kind}", statistics.median(times), count, min=min(times), max=max(times))


def drag(kind, frames):
    server = Floor() if kind == "floor" else Preview()
    driver, browser, page = browser_page(server.url)
    try:
        if kind == "floor":
            page.evaluate(FLOOR_STEP)
            result = {"after": page.evaluate(FLOOR_STEP), "requests": 1}
        else:
            wait_first_paint(page)
            result = page.evaluate(DRAG, frames)
            render_ms = float(urllib.request.urlopen(
                f"{server.base}/api/frame/0/{frames - 1}.raw?token={server.token}").headers["X-Render-Ms"])
            result["render_ms"] = render_ms
    finally:
        browser.close()
        driver.stop()
        server.close()
    report(f"drag_{kind}", result.pop("after") / 1000, frames, **result)


FLOOR_PLAY = """async (seconds) => {
  let painted = 0;
  const t0 = performance.now();
  const lane = async () => { while (performance.now() - t0 < seconds * 1000) { await paintOnce(); painted++; } };
  await Promise.all([lane(), lane(), lane()]);
  return {seconds: (performance.now() - t0) / 1000, painted};
}"""


def play(kind, seconds):
    if kind == "floor":
        server = Floor()
        driver, browser, page = browser_page(server.url)
        try:
            page.evaluate(FLOOR_STEP)
            stats = page.evaluate(FLOOR_PLAY, seconds)
        finally:
            browser.close()
            driver.stop()
            server.close()
        report("play_floor", stats["seconds"], stats["painted"])
        return
    server = Preview()
    driver, browser, page = browser_page(server.url)
    try:
        wait_first_paint(page)
        page.keyboard.press("Space")
        time.sleep(seconds)
        page.keyboard.press("Space")
        stats = page.evaluate("preview.lastPlay")
    finally:
        browser.close()
        driver.stop()
        server.close()
    # From the first painted frame to the last, timed by the clip's clock (the
    # page's is wall time, so the two agree but for a paint's jitter): the
    # frames painted over the clip time they span, 24 exactly when none drops.
    shown, dropped = stats["painted"] - 1, stats["dropped"]
    report("play", (shown + dropped) / 24, shown, dropped=dropped, wall_seconds=stats["seconds"], nominal_fps=24)


def main():
    workload, kind, count, *more = sys.argv[1:]
    {"request": request, "step": step, "drag": drag, "play": play}[workload](kind, int(count), *map(int, more))


if __name__ == "__main__":
    main()
