"""The previewed script: each (re)load runs it in a new environment and core,
on a worker thread, and swaps its outputs in; the previous core is freed."""
from __future__ import annotations

import collections
import ctypes
import gc
import logging
import os
import sys
import threading
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

import lumeq
from lumeq_pipe.host import HostError, HostPolicy, ScriptFailed, run_script

from .display import DisplayClip

# VapourSynth's reports (among them what a freed core leaves alive) arrive here.
LOGGER_NAME = "lumeq"
LOG_LIMIT = 200


class ThreadPolicy(HostPolicy):
    """Each thread has its own current environment: the loader thread runs the
    new script in the new environment while the server keeps serving the old
    outputs, whose clips carry their own core."""

    def __init__(self) -> None:
        super().__init__()
        self._local = threading.local()

    def get_current_environment(self) -> Any:
        return getattr(self._local, "environment", None)

    def set_environment(self, environment: Any) -> Any:
        previous = getattr(self._local, "environment", None)
        self._local.environment = environment
        return previous


@dataclass
class VideoOutput:
    index: int
    clip: lumeq.VideoNode
    display: DisplayClip
    # The script's core, for filters that take two clips (comparison); the
    # server's thread has no current environment to find it by.
    core: lumeq.Core
    # Start times of frames 0..len-1 for a variable-rate clip, found so far.
    starts: list[Fraction] = field(default_factory=lambda: [Fraction(0)])

    def describe(self) -> dict[str, Any]:
        clip = self.clip
        fps = clip.fps
        return {"index": self.index, "type": "video", "width": clip.width, "height": clip.height,
                "format": clip.format_name if clip.format is not None else "variable",
                "fps": [fps.numerator, fps.denominator], "frames": clip.num_frames}


@dataclass
class AudioOutput:
    index: int
    clip: lumeq.AudioNode

    def describe(self) -> dict[str, Any]:
        clip = self.clip
        return {"index": self.index, "type": "audio", "sample_rate": clip.sample_rate,
                "channels": clip.num_channels, "samples": clip.num_samples, "frames": clip.num_frames}


Output = VideoOutput | AudioOutput


@dataclass
class Loaded:
    """One load attempt's result, handed from the loader thread to the server."""

    environment: Any
    outputs: dict[int, Output] = field(default_factory=dict)
    error: str | None = None


class LogCollector(logging.Handler):
    """Keeps the latest log records for the page, each with the generation it came in."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.records: collections.deque[dict[str, Any]] = collections.deque(maxlen=LOG_LIMIT)
        self.generation = 0
        self._serial = 0

    def emit(self, record: logging.LogRecord) -> None:
        self._serial += 1
        self.records.append({"id": self._serial, "generation": self.generation,
                             "level": record.levelname, "message": record.getMessage()})


class Session:
    """The script and its current outputs. `load` runs on a worker thread,
    everything else on the server's thread."""

    def __init__(self, path: str, script_args: dict[str, str]) -> None:
        self.path = os.path.abspath(path)
        self.script_args = dict(script_args)
        self.generation = 0
        self.error: str | None = None
        self.outputs: dict[int, Output] = {}
        self._environment: Any = None
        self.log = LogCollector()
        if lumeq.has_policy():
            raise HostError("an environment policy is already registered in this process")
        self.policy = ThreadPolicy()
        lumeq.register_policy(self.policy)
        logger = logging.getLogger(LOGGER_NAME)
        logger.addHandler(self.log)
        if logger.getEffectiveLevel() > logging.INFO:
            logger.setLevel(logging.INFO)

    @property
    def state(self) -> str:
        return "error" if self.error is not None else "ok"

    def status(self) -> dict[str, Any]:
        return {"generation": self.generation, "state": self.state, "error": self.error,
                "log": list(self.log.records)}

    def load(self) -> Loaded:
        """Runs the script in a new environment (worker thread)."""
        api = self.policy.api
        if api is None:
            raise HostError("the environment policy was unregistered")
        # What the script and its filters log belongs to the load in progress.
        self.log.generation = self.generation + 1
        loaded = Loaded(api.create_environment())
        self.policy.set_environment(loaded.environment)
        try:
            _forget_script_modules(os.path.dirname(self.path))
            run_script(self.path, self.script_args)
            loaded.outputs = _collect_outputs()
            if not loaded.outputs:
                loaded.error = "the script registered no outputs (call clip.set_output(index))"
        except ScriptFailed as failed:
            loaded.error = failed.format()
        except HostError as exc:
            loaded.error = str(exc)
        finally:
            self.policy.set_environment(None)
            _drop_repeated_path(os.path.dirname(self.path))
        return loaded

    def publish(self, loaded: Loaded) -> None:
        """Swaps the new outputs in and frees the previous core (server thread)."""
        previous = self._environment
        self.outputs = loaded.outputs
        self.error = loaded.error
        self._environment = loaded.environment
        del loaded
        # What the freed core reports (filters or frames it leaves alive) is
        # told as the previous load's.
        self.log.generation = self.generation
        self._free(previous)
        self.generation += 1

    def _free(self, environment: Any) -> None:
        api = self.policy.api
        if environment is not None and api is not None:
            api.destroy_environment(environment)
        # The script's globals may hold clips in cycles; the core goes only with them.
        gc.collect()
        _return_freed_memory()

    def close(self) -> None:
        self.outputs = {}
        environment, self._environment = self._environment, None
        self._free(environment)
        api = self.policy.api
        if api is not None:
            api.unregister_policy()
        logging.getLogger(LOGGER_NAME).removeHandler(self.log)


def _return_freed_memory() -> None:
    """A freed core leaves its frames' memory spread over the allocator's
    arenas (one per thread that rendered); glibc hands it back to the
    system only when asked, so the server's size would follow its busiest
    reload rather than its current one."""
    try:
        libc = ctypes.CDLL(None)
        trim = libc.malloc_trim
    except (OSError, AttributeError):  # not glibc
        return
    trim.argtypes = [ctypes.c_size_t]
    trim(0)


def _collect_outputs() -> dict[int, Output]:
    outputs: dict[int, Output] = {}
    core = lumeq.core.core
    for index, value in sorted(lumeq.get_outputs().items()):
        if isinstance(value, lumeq.AudioNode):
            outputs[index] = AudioOutput(index, value)
        else:
            outputs[index] = VideoOutput(index, value.clip, DisplayClip(value.clip), core)
    return outputs


def _forget_script_modules(directory: str) -> None:
    """Modules the script imports from beside itself are imported afresh at
    each reload, so that an edit to one of them shows too."""
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str) and os.path.dirname(os.path.abspath(file)) == directory:
            del sys.modules[name]


def _drop_repeated_path(directory: str) -> None:
    # Each run puts the script's directory first on sys.path; keep one copy.
    while sys.path.count(directory) > 1:
        sys.path.remove(directory)
