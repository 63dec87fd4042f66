"""The process around lumeq: interpreter exit with threads still rendering."""

import os
import subprocess
import sys
import textwrap

import pytest

DAEMON_EXIT_CODE = """
import threading
import lumeq

core = lumeq.Core(threads=2)
clip = core.std.BoxBlur(clip=core.std.BlankClip(width=64, height=48, length=100000), hradius=1)
started = threading.Barrier(3)

def render(offset):
    started.wait()
    if MODE == "get_frame":
        for n in range(offset, 100000, 2):
            clip.get_frame(n)
    else:
        for _ in clip[offset:].frames(prefetch=4):
            pass

for i in range(2):
    threading.Thread(target=render, args=(i,), daemon=True).start()
started.wait()
# A long teardown, so that frames finish while the interpreter finalizes.
junk = [[i] for i in range(500_000)]
"""


@pytest.mark.parametrize("mode", ["get_frame", "frames"])
def test_exit_with_daemon_threads_waiting_for_frames(mode):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = textwrap.dedent(DAEMON_EXIT_CODE).replace("MODE", repr(mode))
    runs = [
        subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for _ in range(10)
    ]
    outcomes = [(p.wait(timeout=120), p.stderr.read().decode()) for p in runs]
    for p in runs:
        p.stdout.close()
        p.stderr.close()
    assert outcomes == [(0, "")] * 10
