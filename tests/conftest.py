import os
import subprocess
import sys
import textwrap

import pytest

import lumeq


@pytest.fixture
def default_policy_state():
    """No policy registered before and after the test (the policy slot is process-wide)."""
    lumeq.clear_policy()
    yield
    lumeq.clear_policy()


@pytest.fixture
def vcore():
    """An independent core of its own (not the environment's)."""
    return lumeq.Core()


@pytest.fixture
def blank(vcore):
    """A factory of BlankClip clips on a private core."""

    def make(**kwargs):
        kwargs.setdefault("width", 64)
        kwargs.setdefault("height", 48)
        kwargs.setdefault("length", 10)
        return vcore.std.BlankClip(**kwargs)

    return make


def run_python(code, *, env=None, check=True, timeout=120):
    """Runs `code` in a fresh interpreter that imports the same lumeq."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def run_py():
    return run_python


def pytest_addoption(parser):
    parser.addoption("--sanitized", action="store_true", help="running against the sanitizer build")


@pytest.fixture(scope="session")
def sanitized(request):
    return request.config.getoption("--sanitized")
