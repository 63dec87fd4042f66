"""The HTTP interface: the page, its static files and the JSON/image routes,
all behind the run's token."""
from __future__ import annotations

import asyncio
import hmac
import importlib.resources
import io
import json
import logging
import time
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction
from typing import Any, Awaitable, Callable

from aiohttp import web

import lumeq
from lumeq_pipe.timecodes import frame_duration
from lumeq_pipe.wave import WaveWriter

from .compare import NotComparable, compare_stats, difference_frame
from .display import DEFAULT_PNG_LEVEL, Geometry, NotDisplayable, encode_png, planar_rgb, rgba
from .props import props_to_json
from .session import AudioOutput, Session, VideoOutput

TOKEN_HEADER = "X-Lumeq-Token"
STATIC_FILES = {"preview.js": "text/javascript", "fetcher.js": "text/javascript", "preview.css": "text/css"}
# Audio longer than this per request is refused: the page asks in chunks.
AUDIO_LIMIT_SECONDS = 600
Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


def json_error(status: int, message: str) -> web.Response:
    return web.json_response({"error": message}, status=status)


class ApiError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _static(name: str) -> bytes:
    return importlib.resources.files(__package__).joinpath("static", name).read_bytes()


class Preview:
    """The server's routes over one Session."""

    def __init__(self, session: Session, token: str, reload: Callable[[], Awaitable[None]]) -> None:
        self.session = session
        self.reload = reload
        self.token = token
        # zlib and the plane copies let go of the interpreter lock; the server's thread stays free.
        self.encoders = ThreadPoolExecutor(max_workers=2, thread_name_prefix="lumeq-preview-encode")
        # The page asks for its own files with the token, which it cannot know otherwise.
        self.page = _static("index.html").replace(b"__TOKEN__", token.encode())
        self.static = {name: (_static(name), kind) for name, kind in STATIC_FILES.items()}
        # Requests whose client left before the answer: their work stopped there.
        self.cancelled = 0

    def close(self) -> None:
        self.encoders.shutdown(wait=True)

    # ------------------------------------------------------------ plumbing

    def app(self) -> web.Application:
        app = web.Application(middlewares=[self._guard])
        get = web.get
        app.add_routes([
            get("/", self.index),
            get("/static/{name}", self.static_file),
            get("/api/status", self.status),
            get("/api/outputs", self.outputs),
            web.post("/api/reload", self.reload_script),
            get("/api/frame/{output}/{n}.png", self.frame_png),
            get("/api/frame/{output}/{n}.raw", self.frame_raw),
            get("/api/frame/{output}/{n}.rgba", self.frame_rgba),
            get("/api/props/{output}/{n}", self.props),
            get("/api/pixel/{output}/{n}", self.pixel),
            get("/api/time/{output}/{n}", self.time),
            get("/api/audio/{output}.wav", self.audio),
            get("/api/diff/{a}/{b}/{n}.png", self.diff_png),
            get("/api/diff/{a}/{b}/{n}", self.diff_stats),
            get("/api/bench/{output}", self.bench),
        ])
        return app

    def authorised(self, request: web.Request) -> bool:
        given = request.query.get("token") or request.headers.get(TOKEN_HEADER) or ""
        return hmac.compare_digest(given.encode(), self.token.encode())

    @web.middleware
    async def _guard(self, request: web.Request, handler: Handler) -> web.StreamResponse:
        if not self.authorised(request):
            return json_error(403, "a valid token is required (?token=...)")
        try:
            response = await handler(request)
        except asyncio.CancelledError:
            self.cancelled += 1
            raise
        except ApiError as exc:
            return json_error(exc.status, str(exc))
        except NotDisplayable as exc:
            return json_error(422, str(exc))
        except RuntimeError as exc:  # a filter's failure, in VapourSynth's words
            return json_error(500, str(exc))
        except web.HTTPException as exc:
            if exc.status >= 400:
                return json_error(exc.status, exc.reason)
            raise
        except Exception as exc:  # noqa: BLE001 - one request's fault must not look like the server's
            logging.getLogger(__name__).exception("request %s failed", request.path)
            return json_error(500, f"{type(exc).__name__}: {exc}")
        response.headers.setdefault("Cache-Control", "no-store")
        return response

    def video(self, request: web.Request, key: str = "output") -> VideoOutput:
        output = self._output(request, key)
        if not isinstance(output, VideoOutput):
            raise ApiError(400, f"output {output.index} is audio, not video")
        return output

    def _output(self, request: web.Request, key: str) -> VideoOutput | AudioOutput:
        index = _int(request.match_info[key], key)
        output = self.session.outputs.get(index)
        if output is None:
            known = ", ".join(str(i) for i in self.session.outputs) or "none"
            raise ApiError(404, f"no output {index} (outputs: {known})")
        return output

    def frame_number(self, request: web.Request, output: VideoOutput) -> int:
        n = _int(request.match_info["n"], "frame number")
        if not 0 <= n < output.clip.num_frames:
            raise ApiError(404, f"frame {n} is out of range: output {output.index} has "
                                f"{output.clip.num_frames} frames")
        return n

    async def in_thread(self, fn: Callable[..., Any], *args: Any) -> Any:
        return await asyncio.get_running_loop().run_in_executor(self.encoders, fn, *args)

    # ------------------------------------------------------------ page

    async def index(self, request: web.Request) -> web.Response:
        return web.Response(body=self.page, content_type="text/html", charset="utf-8")

    async def static_file(self, request: web.Request) -> web.Response:
        entry = self.static.get(request.match_info["name"])
        if entry is None:
            raise ApiError(404, "no such file")
        body, kind = entry
        return web.Response(body=body, content_type=kind, charset="utf-8")

    # ------------------------------------------------------------ script

    async def status(self, request: web.Request) -> web.Response:
        return web.json_response({**self.session.status(), "cancelled": self.cancelled})

    async def reload_script(self, request: web.Request) -> web.Response:
        await self.reload()
        return web.json_response(self.session.status())

    async def outputs(self, request: web.Request) -> web.Response:
        return web.json_response([output.describe() for output in self.session.outputs.values()])

    # ------------------------------------------------------------ frames

    async def _display_frame(self, request: web.Request) -> tuple[lumeq.VideoFrame, dict[str, str]]:
        output = self.video(request)
        n = self.frame_number(request, output)
        geometry = _geometry(request, output.clip)
        started = time.perf_counter()
        frame, conversion = await output.display.frame(n, geometry)
        notes = list(conversion.notes)
        if geometry is not None and (geometry.out_width, geometry.out_height) != (geometry.width, geometry.height):
            notes.append(f"scaled to {geometry.out_width}x{geometry.out_height} for the window (bilinear)")
        headers = _frame_headers(frame, notes, time.perf_counter() - started)
        if geometry is not None:  # where the pixels sit in the frame
            headers["X-Region"] = f"{geometry.left},{geometry.top},{geometry.width},{geometry.height}"
        return frame, headers

    async def frame_png(self, request: web.Request) -> web.Response:
        level = _int_param(request, "level", DEFAULT_PNG_LEVEL, 0, 9)
        frame, headers = await self._display_frame(request)
        body = await self.in_thread(encode_png, frame, level)
        return web.Response(body=body, content_type="image/png", headers=headers)

    async def frame_raw(self, request: web.Request) -> web.Response:
        frame, headers = await self._display_frame(request)
        body = await self.in_thread(planar_rgb, frame)
        return web.Response(body=body, content_type="application/octet-stream",
                            headers=headers)

    async def frame_rgba(self, request: web.Request) -> web.Response:
        frame, headers = await self._display_frame(request)
        body = await self.in_thread(rgba, frame)
        return web.Response(body=body, content_type="application/octet-stream",
                            headers=headers)

    async def props(self, request: web.Request) -> web.Response:
        output = self.video(request)
        frame = await output.clip.get_frame_async(self.frame_number(request, output))
        return web.json_response(props_to_json(frame.props))

    async def pixel(self, request: web.Request) -> web.Response:
        output = self.video(request)
        n = self.frame_number(request, output)
        x = _int_param(request, "x", None, 0, output.clip.width - 1)
        y = _int_param(request, "y", None, 0, output.clip.height - 1)
        frame = await output.clip.get_frame_async(n)
        fmt = frame.format
        values = []
        for plane in range(fmt.num_planes):
            # Chroma planes are read at the subsampled position of (x, y).
            sub_w, sub_h = (fmt.subsampling_w, fmt.subsampling_h) if plane else (0, 0)
            values.append(frame[plane][y >> sub_h, x >> sub_w])
        return web.json_response({"x": x, "y": y, "values": values})

    async def time(self, request: web.Request) -> web.Response:
        output = self.video(request)
        n = self.frame_number(request, output)
        fps = output.clip.fps
        if fps.numerator > 0:
            seconds = Fraction(n * fps.denominator, fps.numerator)
        else:
            seconds = await self._variable_start(output, n)
        return web.json_response({"frame": n, "seconds": float(seconds)})

    async def _variable_start(self, output: VideoOutput, n: int) -> Fraction:
        """The sum of the durations of frames before n; found once, kept per output."""
        starts = output.starts
        while len(starts) <= n:
            frame_index = len(starts) - 1
            frame = await output.clip.get_frame_async(frame_index)
            duration = frame_duration(frame.props)
            if duration is None:
                raise ApiError(422, f"frame {frame_index} has no _DurationNum/_DurationDen "
                                    "and the clip's rate varies")
            if len(starts) == frame_index + 1:  # another request may have got here first
                starts.append(starts[-1] + duration)
        return starts[n]

    # ------------------------------------------------------------ audio

    async def audio(self, request: web.Request) -> web.Response:
        output = self._output(request, "output")
        if not isinstance(output, AudioOutput):
            raise ApiError(400, f"output {output.index} is video, not audio")
        clip = output.clip
        start = _int_param(request, "start", 0, 0, clip.num_samples)
        end = _int_param(request, "end", clip.num_samples, start, clip.num_samples)
        if end - start > AUDIO_LIMIT_SECONDS * clip.sample_rate:
            raise ApiError(400, f"at most {AUDIO_LIMIT_SECONDS} s of audio per request")
        body = await _wave(clip, start, end)
        return web.Response(body=body, content_type="audio/wav")

    # ------------------------------------------------------------ compare

    def _pair(self, request: web.Request) -> tuple[VideoOutput, VideoOutput, int]:
        a, b = self.video(request, "a"), self.video(request, "b")
        n = self.frame_number(request, a)
        try:
            self.frame_number(request, b)
        except ApiError:
            raise ApiError(404, f"frame {n} is out of range: output {b.index} has {b.clip.num_frames} frames") from None
        return a, b, n

    async def diff_png(self, request: web.Request) -> web.Response:
        a, b, n = self._pair(request)
        frame = await _compared(difference_frame(a, b, n))
        body = await self.in_thread(encode_png, frame, DEFAULT_PNG_LEVEL)
        return web.Response(body=body, content_type="image/png")

    async def diff_stats(self, request: web.Request) -> web.Response:
        a, b, n = self._pair(request)
        return web.json_response(await _compared(compare_stats(a, b, n)))

    # ------------------------------------------------------------ benchmark

    async def bench(self, request: web.Request) -> web.Response:
        output = self.video(request)
        last = output.clip.num_frames - 1
        first = _int_param(request, "start", 0, 0, last)
        end = _int_param(request, "end", last, first, last)
        window = max(1, output.core.num_threads)
        started = time.perf_counter()
        await _render_range(output.clip, first, end, window)
        seconds = time.perf_counter() - started
        count = end - first + 1
        return web.json_response({"start": first, "end": end, "frames": count, "seconds": seconds,
                                  "fps": count / seconds if seconds > 0 else None})


async def _compared(awaitable: Awaitable[Any]) -> Any:
    try:
        return await awaitable
    except NotComparable as exc:
        raise ApiError(422, str(exc)) from None


async def _render_range(clip: lumeq.VideoNode, first: int, last: int, window: int) -> None:
    """Frames first..last, `window` at a time, each dropped once rendered."""
    pending: set[asyncio.Future[Any]] = set()
    n = first
    try:
        while n <= last or pending:
            while n <= last and len(pending) < window:
                pending.add(asyncio.ensure_future(clip.get_frame_async(n)))
                n += 1
            done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
            for task in done:
                task.result()
    finally:
        for task in pending:
            task.cancel()


async def _wave(clip: lumeq.AudioNode, start: int, end: int) -> bytes:
    """Sample frames [start, end) as a WAV file."""
    out = io.BytesIO()
    if end == start:
        empty = WaveWriter(0, -1)
        empty.check(clip)
        out.write(empty.header(clip, None))  # type: ignore[arg-type]  # the header needs no frame
        return out.getvalue()
    part = clip if (start, end) == (0, clip.num_samples) else clip[start:end]
    writer = WaveWriter(0, part.num_frames - 1)
    writer.check(part)
    for n in range(part.num_frames):
        frame = await part.get_frame_async(n)
        if n == 0:
            out.write(writer.header(part, frame))
        writer.write(out, frame)
    return out.getvalue()


def _frame_headers(frame: lumeq.VideoFrame, notes: list[str], took: float) -> dict[str, str]:
    headers = {"X-Frame-Width": str(frame.width), "X-Frame-Height": str(frame.height),
               "X-Display-Notes": json.dumps(notes), "X-Render-Ms": f"{took * 1000:.1f}"}
    duration = frame_duration(frame.props)
    if duration is not None:  # what a variable-rate playback times the frame by
        headers["X-Frame-Duration"] = f"{duration.numerator}/{duration.denominator}"
    return headers


def _geometry(request: web.Request, clip: lumeq.VideoNode) -> Geometry | None:
    """?region=LEFT,TOP,WIDTH,HEIGHT[&size=WIDTH,HEIGHT]: a part of the frame, scaled down to size."""
    region = request.query.get("region")
    if region is None:
        if "size" in request.query:
            raise ApiError(400, "size needs a region")
        return None
    left, top, width, height = _ints(region, "region", 4)
    out_width, out_height = _ints(request.query.get("size", f"{width},{height}"), "size", 2)
    geometry = Geometry(left, top, width, height, out_width, out_height)
    try:
        geometry.check(clip.width, clip.height)
    except ValueError as exc:
        raise ApiError(400, str(exc)) from None
    return geometry


def _ints(text: str, what: str, count: int) -> list[int]:
    parts = text.split(",")
    if len(parts) != count:
        raise ApiError(400, f"{what} must be {count} integers separated by commas, got {text!r}")
    return [_int(part, what) for part in parts]


def _int(text: str, what: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise ApiError(400, f"{what} must be an integer, got {text!r}") from None


def _int_param(request: web.Request, name: str, default: int | None, low: int, high: int) -> int:
    text = request.query.get(name)
    if text is None:
        if default is None:
            raise ApiError(400, f"the parameter {name} is required")
        return default
    value = _int(text, name)
    if not low <= value <= high:
        raise ApiError(400, f"{name} must be between {low} and {high}, got {value}")
    return value

