import asyncio
import gc
import logging
import os
import pathlib
import threading
import weakref

import numpy as np
import pytest

import lumeq


@pytest.fixture
def tcore():
    return lumeq.Core(threads=2)


TEST_PLUGIN = pathlib.Path(__file__).resolve().parent.parent / "build" / "native" / "liblumeqtest.so"


@pytest.fixture
def test_plugin(tcore):
    if not TEST_PLUGIN.exists():
        pytest.skip("test plugin not built (make native-tests)")
    with pytest.raises(AttributeError):  # a name not found is not remembered as missing
        tcore.lumeqtest
    tcore.std.LoadPlugin(path=str(TEST_PLUGIN))
    return tcore.lumeqtest


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


class UnprintableError(Exception):
    def __str__(self):
        raise ValueError("no text for this one")


@pytest.mark.parametrize("make_error, text", [
    (UnprintableError, "UnprintableError"),
    (lambda: ValueError(os.fsdecode(b"frame-\xff.png")), r"ValueError: frame-\udcff.png"),
    (lambda: FileNotFoundError(2, "gone", os.fsdecode(b"\xff.png")), r"FileNotFoundError: [Errno 2] gone: '\udcff.png'"),
])
@pytest.mark.parametrize("kind", ["FrameEval", "ModifyFrame", "Lut"])
def test_unprintable_callback_error_fails_the_frame(tcore, make_error, text, kind):
    black, _ = pair(tcore)
    raised = []

    def fail(*args, **kwargs):
        raised.append(make_error())
        raise raised[-1]

    with pytest.raises(RuntimeError) as info:
        if kind == "FrameEval":
            tcore.std.FrameEval(clip=black, eval=fail).get_frame(0)
        elif kind == "ModifyFrame":
            tcore.std.ModifyFrame(clip=black, clips=black, selector=fail).get_frame(0)
        else:
            tcore.std.Lut(clip=black, planes=[0], function=fail)
    assert text in str(info.value) and info.value.__cause__ is raised[-1]


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
            results.append(asyncio.run(render_async()))

    async def render_async():
        frames = await asyncio.gather(*(outer.get_frame_async(n) for n in range(12)))
        return [first_pixel(f) for f in frames]

    threads = [threading.Thread(target=render) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert results == [expected] * 45


def test_get_frame_inside_a_callback_on_the_only_worker():
    # The worker running the callback must lend its place while it waits,
    # or the frame it waits for has no thread left to render it.
    core = lumeq.Core(threads=1)
    black, white = pair(core)
    clip = core.std.FrameEval(clip=black, eval=lambda n: white if first_pixel(black.get_frame(n)) == 0 else black)
    results = []
    worker = threading.Thread(target=lambda: results.extend(first_pixel(f) for f in clip.frames()), daemon=True)
    worker.start()
    worker.join(30)
    assert not worker.is_alive() and results == [255] * 12


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


LOG_INTERRUPT_CODE = """
import logging, pathlib, signal, sys, tempfile, lumeq

class SlowShipping(logging.Handler):
    def emit(self, record):
        signal.raise_signal(signal.SIGINT)  # Ctrl-C while the record is shipped
        sum(range(1000))

logging.getLogger("lumeq").addHandler(SlowShipping())
folder = pathlib.Path(tempfile.mkdtemp())
(folder / "not_a_plugin.so").write_bytes(b"junk")
core = lumeq.Core()
try:
    core.std.LoadAllPlugins(path=str(folder))
    print("went on")
except KeyboardInterrupt:
    print("interrupted")
print(sys.exc_info()[0], "done")
"""


def test_interrupt_in_a_log_handler_surfaces_where_the_call_returns(run_py):
    assert run_py(LOG_INTERRUPT_CODE).stdout == "interrupted\nNone done\n"


FORK_WHILE_CALLBACKS_CODE = """
import os, sys, threading, time, warnings, lumeq

warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running is the point
core = lumeq.Core(threads=2)
core.std.LoadPlugin(path=PLUGIN)
adder = core.lumeqtest.MakeAdder(amount=3)
inside = threading.Event()
clip = core.std.BlankClip(width=16, height=16, length=4)
slow = core.std.FrameEval(clip=clip, eval=lambda n: inside.set() or time.sleep(2) or clip)
threading.Thread(target=slow.get_frame, args=(0,), daemon=True).start()
inside.wait()
pid = os.fork()
if pid == 0:
    for use in (lambda: adder(x=1), lambda: lumeq.Core().std.BlankClip().std.FrameEval(eval=adder)):
        try:
            print("child:", use(), flush=True)
        except RuntimeError as e:
            print("child:", e, flush=True)
    sys.exit(0)  # an ordinary exit, with the parent's callbacks running when it forked
print("parent:", adder(x=1), os.waitpid(pid, 0)[1])
"""


def test_fork_while_callbacks_run(run_py):
    if not TEST_PLUGIN.exists():
        pytest.skip("test plugin not built (make native-tests)")
    out = run_py(FORK_WHILE_CALLBACKS_CODE.replace("PLUGIN", repr(str(TEST_PLUGIN))), timeout=60).stdout
    foreign = "this object's core was created in another process (before a fork); create a new Core here"
    assert out == f"child: {foreign}\nchild: {foreign}\nparent: 4 0\n"


def test_function_values(test_plugin):
    adder = test_plugin.MakeAdder(amount=3)
    assert type(adder).__name__ == "FunctionValue" and adder(x=2) == 5
    assert test_plugin.Call(function=adder, x=10) == 13
    with pytest.raises(RuntimeError, match="x is required"):
        adder()
    with pytest.raises(TypeError, match="keyword"):
        adder(2)

    def twice(x):
        return 2 * x

    # A callable lumeq made into a function comes back as itself.
    assert test_plugin.Echo(f=twice, g=[twice, adder])["f"] is twice
    assert test_plugin.Echo(f=twice)(x=4) == 8 and test_plugin.Call(function=twice, x=21) == 42


def test_modify_frame_edits_props_and_pixels(tcore):
    black, white = pair(tcore)

    def edit(n, f):
        out = f[n % 2].copy()
        np.asarray(out[0])[: n + 1] = n
        out.props["n"] = n
        return out

    clip = tcore.std.ModifyFrame(clip=black, clips=[black, white], selector=edit)
    for n, frame in enumerate(clip.frames()):
        plane = np.asarray(frame[0])
        assert frame.readonly and frame.props["n"] == n
        assert (plane[: n + 1] == n).all() and (plane[n + 1:] == (255 if n % 2 else 0)).all()
    assert first_pixel(tcore.std.ModifyFrame(clip=black, clips=black, selector=lambda n, f: f).get_frame(3)) == 0


def test_frame_returned_with_buffer_out_fails_the_render(tcore):
    black, _ = pair(tcore)
    kept = []

    def keep_buffer(n, f):
        out = f.copy()
        kept.append(np.asarray(out[0]))
        return out

    with pytest.raises(RuntimeError, match="BufferError"):
        tcore.std.ModifyFrame(clip=black, clips=black, selector=keep_buffer).get_frame(0)
    kept[0][:] = 9  # still the caller's own frame: nothing was handed over


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("render", ["get_frame", "frames", "asyncio"])
def test_interrupt_in_callback_surfaces_on_the_waiting_thread(tcore, exc_type, render):
    black, _ = pair(tcore)

    def stop(n):
        if n == 5:
            raise exc_type("stop here")
        return black

    clip = tcore.std.FrameEval(clip=black, eval=stop)
    with pytest.raises(exc_type):
        if render == "get_frame":
            clip.get_frame(5)
        elif render == "frames":
            list(clip.frames())
        else:
            asyncio.run(clip.get_frame_async(5))
    assert first_pixel(clip.get_frame(4)) == 0


def test_callbacks_while_the_filter_is_created(tcore, test_plugin):
    black, white = pair(tcore)
    # Lut calls its function for every value while it is created.
    inverted = tcore.std.Lut(clip=white, planes=[0], function=lambda x: 255 - x)
    assert first_pixel(inverted.get_frame(0)) == 0
    # Creation that renders a callback clip on VapourSynth's threads.
    choosing = tcore.std.FrameEval(clip=black, eval=lambda n: white)
    assert first_pixel(test_plugin.Render(clip=choosing, n=2)) == 255


def test_callback_keeping_its_own_clip_alive(run_py):
    # The cycle runs through VapourSynth, where the collector cannot see:
    # it stays until exit, which must still be clean.
    proc = run_py("""
        import gc, lumeq
        core = lumeq.Core(threads=2)
        base = core.std.BlankClip(width=16, height=16, length=4)
        for _ in range(20):
            clip = core.std.FrameEval(clip=base, eval=lambda n: clip if n > 9 else base)
            clip.get_frame(0)
            del clip
        gc.collect()
        print("done")
    """, check=False)
    assert proc.returncode == 0 and "done" in proc.stdout, proc.stderr
