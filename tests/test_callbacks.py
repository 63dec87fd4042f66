import logging
import threading

import numpy as np
import pytest

import lumeq


@pytest.fixture
def tcore():
    return lumeq.Core(threads=2)


def pair(core):
    make = lambda v: core.std.BlankClip(width=16, height=16, length=12, color=[v, v, v])
    return make(0), make(255)


def first_pixel(frame):
    return int(np.asarray(frame[0])[0, 0])


@pytest.mark.parametrize("with_props", [False, True])
def test_frame_eval_chooses_clip_per_frame(tcore, with_props):
    black, white = pair(tcore)
    seen = []

    if with_props:
        def choose(n, f):
            seen.append(f.props["_DurationNum"])
            return white if n % 3 == 0 else black
        clip = tcore.std.FrameEval(clip=black, eval=choose, prop_src=black)
    else:
        clip = tcore.std.FrameEval(clip=black, eval=lambda n: white if n % 3 == 0 else black)
    assert [first_pixel(f) for f in clip.frames()] == [255 if n % 3 == 0 else 0 for n in range(12)]
    assert seen == ([1] * 12 if with_props else [])


def test_exception_in_callback_surfaces_with_its_text(tcore, caplog):
    black, _ = pair(tcore)

    def bad(n):
        raise ValueError(f"no frame {n} today")

    clip = tcore.std.FrameEval(clip=black, eval=bad)
    with caplog.at_level(logging.ERROR, logger="lumeq"):
        with pytest.raises(RuntimeError, match="ValueError: no frame 4 today"):
            clip.get_frame(4)
    record = next(r for r in caplog.records if r.name == "lumeq")
    assert record.exc_info[0] is ValueError and "in bad" in caplog.text


@pytest.mark.parametrize("bad_result", [object(), [1, "x"]])
def test_unconvertible_result_fails_the_frame(tcore, bad_result):
    black, _ = pair(tcore)
    clip = tcore.std.FrameEval(clip=black, eval=lambda n: bad_result)
    with pytest.raises(RuntimeError):
        clip.get_frame(0)


def test_callbacks_on_worker_threads_with_python_threads_waiting(tcore):
    black, white = pair(tcore)
    # The inner callback renders a frame of another callback clip while VapourSynth
    # waits on it: nested waits from worker threads must not hold the GIL.
    inner = tcore.std.FrameEval(clip=black, eval=lambda n: white if n % 2 else black)
    outer = tcore.std.FrameEval(clip=black, eval=lambda n: inner if first_pixel(inner.get_frame(n)) else black)
    expected = [255 if n % 2 else 0 for n in range(12)]
    barrier = threading.Barrier(3)
    results = []

    def render():
        barrier.wait()
        for _ in range(5):
            results.append([first_pixel(f) for f in outer.frames()])
            results.append([first_pixel(outer.get_frame(n)) for n in range(12)])

    threads = [threading.Thread(target=render) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert results == [expected] * 30


def test_callable_released_with_its_clip(tcore):
    import gc
    import weakref

    black, _ = pair(tcore)

    class Chooser:
        def __call__(self, n):
            return black

    chooser = Chooser()
    ref = weakref.ref(chooser)
    clip = tcore.std.FrameEval(clip=black, eval=chooser)
    del chooser
    clip.get_frame(0)
    assert ref() is not None
    del clip
    gc.collect()
    assert ref() is None


EXIT_WITH_CALLBACKS_CODE = """
import asyncio, atexit, time, lumeq

def render():
    core = lumeq.Core(threads=2)
    clip = core.std.BlankClip(width=16, height=16, length=1000)
    slow = core.std.FrameEval(clip=clip, eval=lambda n: time.sleep(0.002) or clip)
    async def main():
        tasks = [asyncio.ensure_future(slow.get_frame_async(n)) for n in range(1000)]
        try:
            await tasks[0]
        except RuntimeError as e:
            print("refused:", e)
    asyncio.run(main())

if IN_EXIT_HOOK:
    atexit.register(render)
else:
    render()
print("exiting")
"""


@pytest.mark.parametrize("in_exit_hook", [False, True], ids=["script", "first-in-exit-hook"])
def test_exit_with_callbacks_pending(run_py, in_exit_hook):
    # Requests still running in VapourSynth when the interpreter exits: their
    # callbacks must fail without touching Python, and exit stays clean. A
    # core first made in an exit hook is already past the gate.
    proc = run_py(EXIT_WITH_CALLBACKS_CODE.replace("IN_EXIT_HOOK", str(in_exit_hook)), check=False)
    assert proc.returncode == 0, proc.stderr
    refused = "refused: Python callback called after the interpreter began to shut down"
    assert proc.stdout.split("\n")[:-1] == (["exiting", refused] if in_exit_hook else ["exiting"])


def test_vapoursynth_messages_reach_the_lumeq_logger(tcore, tmp_path, caplog):
    (tmp_path / "not_a_plugin.so").write_bytes(b"junk")
    with caplog.at_level(logging.DEBUG, logger="lumeq"):
        tcore.std.LoadAllPlugins(path=str(tmp_path))
    [record] = [r for r in caplog.records if r.name == "lumeq"]
    assert record.levelno == logging.WARNING and "not_a_plugin.so" in record.getMessage()
