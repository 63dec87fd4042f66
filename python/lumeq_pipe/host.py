"""Hosting a script: a private environment, the script run inside it, its outputs."""
from __future__ import annotations

import builtins
import os
import runpy
import sys
import traceback
from types import TracebackType
from typing import Any

import lumeq

# Scripts see this as `__name__`, so their `if __name__ == "__main__":` blocks
# (a script's own preview or test code) do not run under the host.
SCRIPT_NAME = "__lumeq__"


class HostError(Exception):
    """A failure of the host itself, reported as one line."""


class HostPolicy(lumeq.EnvironmentPolicy):
    """Keeps the one environment the host activated, for every thread.

    The host renders on its main thread only, so there is nothing to select
    per thread; activation is simply whatever `set_environment` was last given.
    """

    def __init__(self) -> None:
        self.api: lumeq.EnvironmentPolicyAPI | None = None
        self.current: Any = None

    def on_policy_registered(self, special_api: lumeq.EnvironmentPolicyAPI) -> None:
        self.api = special_api

    def on_policy_cleared(self) -> None:
        self.api = None
        self.current = None

    def get_current_environment(self) -> Any:
        return self.current

    def set_environment(self, environment: Any) -> Any:
        previous, self.current = self.current, environment
        return previous

    def is_alive(self, environment: Any) -> bool:
        return environment is not None and bool(environment.alive)


class Host:
    """Registers the host's policy and one environment; a context manager that
    keeps that environment active and tears everything down on exit."""

    def __init__(self) -> None:
        if lumeq.has_policy():
            raise HostError("an environment policy is already registered in this process")
        self.policy = HostPolicy()
        lumeq.register_policy(self.policy)
        try:
            api = self.policy.api
            if api is None:
                raise HostError("the environment policy was not handed its API on registration")
            self.policy.set_environment(api.create_environment())
            # Also creates the environment's core, so a library that cannot be
            # loaded is reported here rather than halfway through the script.
            self.environment = lumeq.get_current_environment()
        except BaseException:
            self.close()
            raise
        self._activation: Any = None

    def __enter__(self) -> Host:
        self._activation = self.environment.use()
        self._activation.__enter__()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            if self._activation is not None:
                self._activation.__exit__(exc_type, exc, tb)
                self._activation = None
        finally:
            self.close()

    def close(self) -> None:
        """Destroys the environment (its outputs and its claim on the core)
        and unregisters the policy; safe to call more than once."""
        api = self.policy.api
        if api is not None:
            api.unregister_policy()


class ScriptFailed(Exception):
    """The script raised; `exception` is what it raised."""

    def __init__(self, path: str, exception: BaseException) -> None:
        super().__init__(path)
        self.path = path
        self.exception = exception

    def format(self) -> str:
        """The script's traceback, without the host's own frames above it."""
        exc = self.exception
        tb = _from_script(exc.__traceback__, self.path)
        if tb is None and not isinstance(exc, SyntaxError):
            tb = exc.__traceback__
        return "".join(traceback.format_exception(type(exc), exc, tb))


def _from_script(tb: TracebackType | None, path: str) -> TracebackType | None:
    while tb is not None and tb.tb_frame.f_code.co_filename != path:
        tb = tb.tb_next
    return tb


STDIN_NAME = "<stdin>"


def run_script(path: str, script_args: dict[str, str]) -> dict[str, Any]:
    """Runs the script file at `path` (or standard input for "-") in the
    current environment with the `script_args` as extra globals; returns its
    globals.

    Raises ScriptFailed when the script raises (SystemExit included: a script
    that exits has produced no outputs to render), HostError when it cannot be read.
    """
    if path == "-":
        return _run_stdin_script(script_args)
    path = os.path.abspath(path)
    if not os.path.isfile(path):
        raise HostError(f"cannot read script {path}: no such file")
    if not os.access(path, os.R_OK):
        raise HostError(f"cannot read script {path}: permission denied")
    sys.argv = [path]
    # As `python script.py` does, so a script can import modules beside it.
    sys.path.insert(0, os.path.dirname(path))
    try:
        return runpy.run_path(path, init_globals=dict(script_args), run_name=SCRIPT_NAME)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:
        raise ScriptFailed(path, exc) from None


def _run_stdin_script(script_args: dict[str, str]) -> dict[str, Any]:
    """As `python -` does: no __file__, the working directory as the base for imports."""
    try:
        source = sys.stdin.buffer.read()
    except OSError as exc:
        raise HostError(f"cannot read the script from standard input: {exc.strerror or exc}") from None
    sys.argv = ["-"]
    sys.path.insert(0, os.getcwd())
    script_globals: dict[str, Any] = {**script_args, "__name__": SCRIPT_NAME, "__builtins__": builtins}
    try:
        exec(compile(source, STDIN_NAME, "exec"), script_globals)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:
        raise ScriptFailed(STDIN_NAME, exc) from None
    return script_globals


def find_output(index: int) -> lumeq.VideoOutputTuple | lumeq.AudioNode:
    """The output the script registered at `index`, or HostError naming the
    indices that do exist."""
    try:
        return lumeq.get_output(index)
    except KeyError:
        registered = ", ".join(str(i) for i in lumeq.get_outputs())
        hint = f" (registered: {registered})" if registered else " (the script registered no outputs)"
        raise HostError(f"no output registered at index {index}{hint}") from None
