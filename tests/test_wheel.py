"""The wheel `make` builds: a manylinux wheel that installs into a fresh
environment next to vapoursynth from PyPI."""
import importlib.metadata
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

DIST = Path(__file__).resolve().parent.parent / "dist"


@pytest.fixture
def wheel(sanitized):
    if sanitized:
        pytest.skip("the fresh environment would not run under the sanitizer runtimes")
    wheels = sorted(DIST.glob("lumeq-*.whl"))
    if not wheels:
        pytest.skip("no wheel built (make)")
    return wheels[-1]


def test_wheel_is_tagged_manylinux(wheel):
    assert "-manylinux_" in wheel.name and wheel.name.startswith("lumeq-") and "-cp312-abi3-" in wheel.name
    auditwheel = shutil.which("auditwheel", path=os.path.dirname(sys.executable))
    if auditwheel is None:
        pytest.skip("auditwheel is not installed")
    shown = subprocess.run([auditwheel, "show", str(wheel)], capture_output=True, text=True, timeout=120)
    tag = wheel.name.rsplit("-", 1)[1].removesuffix(".whl")
    assert f'consistent with the following platform tag: "{tag}"' in " ".join(shown.stdout.split()), shown.stdout


def test_wheel_installs_into_a_fresh_environment(wheel, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "VIRTUAL_ENV")}
    venv = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, env=env, timeout=300)
    python = str(venv / "bin" / "python")
    vapoursynth = f"vapoursynth=={importlib.metadata.version('vapoursynth')}"
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel), vapoursynth],
                   check=True, env=env, timeout=600, capture_output=True)
    check = ("import lumeq, importlib.metadata as m; "
             "assert lumeq.__version__ == m.version('lumeq'); print(lumeq.core.std.BlankClip(length=7).num_frames)")
    proc = subprocess.run([python, "-c", check], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    assert proc.stdout == "7\n", proc.stderr
    proc = subprocess.run([str(venv / "bin" / "lumeq-pipe"), "--version"], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.stdout.startswith(f"lumeq {importlib.metadata.version('lumeq')}\n") and "Core R" in proc.stdout, \
        proc.stdout + proc.stderr
