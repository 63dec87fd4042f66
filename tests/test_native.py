"""Runs the native unit tests (built by `make native-tests`)."""
import pathlib
import subprocess

import pytest

NATIVE_DIR = pathlib.Path(__file__).resolve().parent.parent / "build" / "native"
PROGRAMS = sorted(p for p in NATIVE_DIR.glob("test_*") if p.is_file() and p.stat().st_mode & 0o111)


@pytest.mark.skipif(not PROGRAMS, reason="native tests not built (make native-tests)")
@pytest.mark.parametrize("program", PROGRAMS, ids=lambda p: p.name)
def test_native_program(program):
    proc = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
