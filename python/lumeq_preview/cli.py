"""The lumeq-preview command: serve a script's outputs to the browser."""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import ipaddress
import os
import secrets
import signal
import sys
import webbrowser
from typing import Sequence

from aiohttp import web

from lumeq_pipe.command import EXIT_ERROR, EXIT_OK, report, script_arg
from lumeq_pipe.host import HostError

from .server import Preview
from .session import Session
from .watch import Reloader

# 192 bits, more than enough that the token cannot be guessed.
TOKEN_BYTES = 24

_DESCRIPTION = """\
Run a lumeq script and show its outputs in the browser: frames, properties,
sample values under the cursor, comparison of two outputs, playback with
audio. The script runs again, in a new core, whenever its file is saved; the
page follows without being reloaded.

The first line on standard output is the page's address, with this run's
token; every request must carry the token. The server listens on 127.0.0.1
unless told otherwise: on a remote machine, forward the port over SSH
(ssh -L 8765:127.0.0.1:8765 host) and open the printed address locally.
"""

_EPILOG = """\
examples:
  lumeq-preview script.py
  lumeq-preview -a src=in.mkv --port 8765 --no-browser script.py
  ssh -L 8765:127.0.0.1:8765 server lumeq-preview --port 8765 --no-browser script.py

keys in the page: 0-9 output, Left/Right one frame (with Shift ten), Home/End,
Space play/pause, f fit to the window; the wheel zooms at the cursor, a drag pans.

exit status: 0 stopped (Ctrl-C), 1 the script cannot be read or the server
cannot start, 2 bad usage.
"""


class PreviewError(Exception):
    """A failure reported as one line on standard error."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="lumeq-preview", description=_DESCRIPTION, epilog=_EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("script", metavar="SCRIPT", help="the Python script to preview")
    parser.add_argument("-a", "--arg", metavar="KEY=VALUE", action="append", type=script_arg, default=[],
                        help="a global variable KEY set to the string VALUE for the script; repeatable")
    parser.add_argument("--host", metavar="ADDR", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1, this machine only)")
    parser.add_argument("--port", metavar="N", type=int, default=0,
                        help="the port to listen on (default 0: any free port)")
    parser.add_argument("--no-browser", action="store_true", help="do not open the page in the default browser")
    return parser


def _fail(message: str) -> None:
    report("lumeq-preview", message)


def _check_readable(path: str) -> None:
    if not os.path.isfile(path):
        raise PreviewError(f"cannot read script {path}: no such file")
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise PreviewError(f"cannot read script {path}: {exc.strerror or exc}") from None


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def page_url(host: str, port: int, token: str) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/?token={token}"


async def _serve(opts: argparse.Namespace) -> None:
    try:
        session = Session(opts.script, dict(opts.arg))
    except HostError as exc:
        raise PreviewError(str(exc)) from None
    reloader = Reloader(session)
    token = secrets.token_urlsafe(TOKEN_BYTES)
    preview = Preview(session, token, reloader.reload)
    runner = web.AppRunner(preview.app(), handler_cancellation=True, access_log=None)
    try:
        await runner.setup()
        site = web.TCPSite(runner, opts.host, opts.port)
        try:
            await site.start()
        except OSError as exc:
            raise PreviewError(f"cannot listen on {opts.host}:{opts.port}: {exc.strerror or exc}") from None
        await _announce(opts, site, token)
        await _run_until_stopped(reloader)
    finally:
        await runner.cleanup()
        preview.close()
        reloader.close()
        session.close()


async def _announce(opts: argparse.Namespace, site: web.TCPSite, token: str) -> None:
    server = site._server
    sockets = getattr(server, "sockets", None) or []
    port = sockets[0].getsockname()[1] if sockets else opts.port
    url = page_url(opts.host, port, token)
    sys.stdout.write(url + "\n")
    sys.stdout.flush()
    # Whatever the script prints goes to standard error: standard output is the address.
    sys.stdout = sys.stderr
    if not is_loopback(opts.host):
        _fail(f"warning: listening on {opts.host}: anyone who can reach port {port} and knows the "
              "token can see the frames")
    if not opts.no_browser:
        webbrowser.open(url)


async def _run_until_stopped(reloader: Reloader) -> None:
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    watching = asyncio.create_task(reloader.watch())
    stopping = asyncio.create_task(stop.wait())
    try:
        await asyncio.wait({watching, stopping}, return_when=asyncio.FIRST_COMPLETED)
        if watching.done():
            watching.result()  # the watcher's own failure
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(signum)
        for task in (watching, stopping):
            task.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await task


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments) and
    returns the exit status."""
    opts = build_parser().parse_args(argv)
    try:
        _check_readable(opts.script)
        asyncio.run(_serve(opts))
    except PreviewError as exc:
        _fail(str(exc))
        return EXIT_ERROR
    except KeyboardInterrupt:
        _fail("interrupted")
    return EXIT_OK
