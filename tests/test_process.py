"""The process around lumeq: interpreter exit with threads still rendering."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

DAEMON_EXIT_CODE = """
import threading
import lumeq

if CALLBACKS:
    import atexit, time
    atexit.register(time.sleep, 0.2)  # a host's exit hook, run after lumeq's closed the callbacks
core = lumeq.Core(threads=2)
clip = core.std.BoxBlur(clip=core.std.BlankClip(width=64, height=48, length=100000), hradius=1)
if CALLBACKS:
    source = clip
    clip = core.std.FrameEval(clip=source, eval=lambda n: source)
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


@pytest.mark.parametrize("callbacks", [False, True], ids=["plain", "callbacks"])
@pytest.mark.parametrize("mode", ["get_frame", "frames"])
def test_exit_with_daemon_threads_waiting_for_frames(mode, callbacks):
    # With callbacks, a frame refused by the closed callback gate must leave
    # its daemon thread parked, not raising in the moments before exit.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = textwrap.dedent(DAEMON_EXIT_CODE).replace("MODE", repr(mode)).replace("CALLBACKS", str(callbacks))
    runs = [
        subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for _ in range(10)
    ]
    outcomes = [(p.wait(timeout=120), p.stderr.read().decode()) for p in runs]
    for p in runs:
        p.stdout.close()
        p.stderr.close()
    assert outcomes == [(0, "")] * 10


FORK_CODE = """
import asyncio, json, multiprocessing, os, sys, warnings
import lumeq

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running is the point

class PortableLoop(asyncio.SelectorEventLoop):
    def add_reader(self, fd, callback, *args):
        raise NotImplementedError

def awaited(clip, n, portable):
    async def main():
        return await clip.get_frame_async(n)
    loop = PortableLoop() if portable else asyncio.new_event_loop()
    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()

def blank(core):
    return core.std.BlankClip(width=64, height=48, length=40, color=[77, 0, 0])

def luma(frame):
    return frame[0][0, 0]

# The parent has used everything before it forks: its VapourSynth threads,
# the executor and a wake descriptor exist only in the parent.
inherited = blank(lumeq.Core())
luma(inherited.get_frame(0)), [luma(f) for f in inherited.frames()]
awaited(inherited, 1, False), awaited(inherited, 2, True)
lumeq.core.std.BlankClip().get_frame(0)
parent_core = lumeq.Core()
parent_std = parent_core.std  # the parent's lookups are remembered, the child's refused all the same
parent_std.Trim
parent_frames = inherited.frames()  # its requests were made by the parent

def fresh(how):
    clip = blank(lumeq.core if how == "default" else lumeq.Core())
    out = [luma(clip.get_frame(3)), sum(map(luma, clip.frames()))]
    return out + [luma(awaited(clip, n, portable)) for n, portable in ((5, False), (6, True))]

def foreign(how):
    uses = {
        "get_frame": lambda: inherited.get_frame(0),
        "frames": lambda: inherited.frames(),
        "async for": lambda: parent_frames.__anext__(),
        "async": lambda: awaited(inherited, 0, False),
        "slice": lambda: inherited[1:5],
        "argument": lambda: lumeq.Core().std.Trim(clip=inherited, first=1),
        "plugin": lambda: parent_core.std,
        "function": lambda: parent_std.Trim,
    }
    try:
        uses[how]()
    except RuntimeError as e:
        return str(e)
    return "no error"

def work(job):
    kind, how = job
    return fresh(how) if kind == "fresh" else foreign(how)

jobs = [("fresh", "new"), ("fresh", "default")] + [("foreign", how) for how in
        ("get_frame", "frames", "async for", "async", "slice", "argument", "plugin", "function")]
with multiprocessing.get_context("fork").Pool(2) as pool:
    results = pool.map(work, jobs * 2)

# A child that ends the ordinary way lets go of the parent's objects.
pid = os.fork()
if pid == 0:
    sys.exit(fresh("new") != [77, 77 * 40, 77, 77])
status = os.waitpid(pid, 0)[1]
print(json.dumps({"results": results, "child_status": status}))
"""


def test_fork_children_render_with_their_own_cores(run_py):
    out = json.loads(run_py(FORK_CODE, timeout=120).stdout)
    assert out["child_status"] == 0
    results = out["results"]
    assert results[:2] == [[77, 77 * 40, 77, 77]] * 2
    foreign = "this object's core was created in another process (before a fork); create a new Core here"
    assert results[2:10] == [foreign] * 8
    assert results[10:] == results[:10]
