"""Every kind of request, repeated: nothing may accumulate on either side.

Each scenario runs on a private core watched from inside VapourSynth
(leakcheck.Probe) and must leave no lumeq object, Python memory, RSS, filter
instance or frame buffer behind, and its core must really be freed at the end.
"""
import asyncio
import contextlib
import itertools

import numpy
import pytest

import lumeq
import leakcheck
from leakcheck import assert_steady, probe, scaled

pytestmark = pytest.mark.stress

ROUNDS = scaled(10_000)

GRAY8 = (1 << 28) | (8 << 16)
GRAY16 = (1 << 28) | (16 << 16)
GRAYH = (1 << 28) | (1 << 24) | (16 << 16)
GRAYS = (1 << 28) | (1 << 24) | (32 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1


@pytest.fixture(autouse=True)
def clean_policy(default_policy_state):
    yield


def run_scenario(scenario, rounds=ROUNDS):
    """`scenario(core)` is a generator: set-up, then it yields the step to
    repeat, then it tears down. The core must be released clean at the end."""
    core = lumeq.Core(threads=2)
    tag = probe().watch(core)
    run = scenario(core)
    step = next(run)
    del core
    assert_steady(step, rounds)
    del step
    next(run, None)
    del run
    probe().assert_clean(tag)


def failing_at(core, bad, length=6):
    """A GRAY8 clip whose frame `bad` fails to render (PEMVerifier refuses it)."""
    parts = [core.std.BlankClip(format=GRAY8, width=8, height=8, length=1, color=[200 if i == bad else 0])
             for i in range(length)]
    return core.std.PEMVerifier(clip=core.std.Splice(clips=parts), upper=[100])


# ------------------------------------------------------------------ frames


def get_frame(core):
    clip = core.std.BlankClip(format=YUV420P8, width=64, height=48, length=8)
    n = itertools.count()
    yield lambda: clip.get_frame(next(n) % 8)


def get_frame_failing(core):
    clip = failing_at(core, 1, length=3)
    n = itertools.count()

    def step():
        with contextlib.suppress(RuntimeError):
            clip.get_frame(next(n) % 4)  # frame 1 fails, frame 3 is out of range

    yield step


def frames_whole(core):
    clip = core.std.BlankClip(format=GRAY8, width=32, height=32, length=5)
    yield lambda: [f.width for f in clip.frames(prefetch=2, backlog=3)]


def frames_abandoned(core):
    clip = core.std.BlankClip(format=GRAY8, width=32, height=32, length=50)

    def step():
        it = clip.frames(prefetch=4)
        next(it)  # dropped with requests in flight

    yield step


def frames_failing(core):
    clip = failing_at(core, 3)

    def step():
        it = clip.frames(prefetch=3)
        with contextlib.suppress(RuntimeError):
            for _ in it:
                pass
        assert next(it, None) is None

    yield step


def async_awaited(core):
    clip = core.std.BlankClip(format=GRAY8, width=32, height=32, length=8)
    bad = failing_at(core, 0, length=1)
    loop = asyncio.new_event_loop()

    async def both():
        frame = await clip.get_frame_async(3)
        with contextlib.suppress(RuntimeError):
            await bad.get_frame_async(0)
        return frame

    yield lambda: loop.run_until_complete(both())
    loop.close()


def async_cancelled(core):
    clip = core.std.BlankClip(format=GRAY8, width=256, height=256, length=8)
    loop = asyncio.new_event_loop()

    async def cancel():
        task = asyncio.ensure_future(clip.get_frame_async(1))
        await asyncio.sleep(0)  # the first resumption issues the request
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task
        with contextlib.suppress(TimeoutError):
            await asyncio.wait_for(clip.get_frame_async(2), 1e-9)
        clip.get_frame_async(3).close()  # never started: no request at all

    yield lambda: loop.run_until_complete(cancel())
    loop.close()


def async_for(core):
    clip = core.std.BlankClip(format=GRAY8, width=32, height=32, length=50)
    bad = failing_at(core, 3)
    loop = asyncio.new_event_loop()

    async def each_way_out():
        assert len([f async for f in clip[:5].frames(prefetch=2)]) == 5
        async for _ in clip.frames(prefetch=4):
            break  # let go with requests in flight
        with contextlib.suppress(RuntimeError):
            async for _ in bad.frames(prefetch=3):
                pass

    yield lambda: loop.run_until_complete(each_way_out())
    loop.close()


# ------------------------------------------------------- values and calls


def plugin_results(core):
    yuv = core.std.BlankClip(format=YUV420P8, width=16, height=16, length=2)

    def step():
        clip = core.std.BlankClip(width=8, height=8, length=1)                 # one clip
        assert len(core.std.SplitPlanes(clip=yuv)) == 3                         # a list of clips
        result = core.leakprobe.Echo(i=[1, 2], f=2.5, b=b"\x00\xff", s="t\u00e9", c=clip, cs=[clip, yuv])
        assert len(result) == 6                                                  # a dict
        assert core.leakprobe.Echo() == {}
        assert core.std.AudioMix(clips=[core.std.BlankAudio()], matrix=[1, 0], channels_out=[2]).get_frame(0)
        audio = core.std.BlankAudio(length=5000).std.AudioTrim(0, 99).get_frame(0).copy()  # bound call, copy
        assert audio._interleave_into(bytearray(400)) == 400
        assert core.leakprobe.Function()() == {}                                 # a function value, called
        assert core.leakprobe.Echo(g=len) is len                      # a callable, back as itself
        with pytest.raises(RuntimeError):
            core.std.Trim(clip=clip, first=5)                                   # VapourSynth's own error
        with pytest.raises(TypeError):
            core.std.Trim(clip=clip, first=[None])                              # conversion failure
        with pytest.raises(RuntimeError):
            core.leakprobe.Echo(a=[1, 2.5, clip])                               # fails mid-list

    yield step


def props_every_kind(core):
    base = core.std.BlankClip(format=GRAY8, width=8, height=8, length=1)
    clip = core.std.SetFrameProps(clip=core.std.ClipToProp(clip=base, mclip=base),
                                  i=7, il=[1, 2, 3], f=0.5, fl=[1.5, 2.5], b=b"\xff\x00", s="t\u00e9", e=[])
    frame = clip.get_frame(0)

    def step():
        props = frame.props
        assert props["s"] == "t\u00e9" and props["il"] == [1, 2, 3]
        assert props["_Alpha"].props["_DurationNum"] == 1  # a frame stored in a property

    yield step


def plane_exports(core):
    clips = [core.std.BlankClip(format=fmt, width=34, height=18, length=2)
             for fmt in (YUV420P8, GRAY16, GRAYH, GRAYS)]

    def step():
        for clip in clips:
            frame = clip.get_frame(1)
            for plane in frame:
                array = numpy.asarray(plane)
                assert array.shape == plane.shape
            kept = clip.get_frame(0)[0]
            del frame
            assert len(kept.tobytes()) == kept.nbytes  # outlives its frame

    yield step


# ------------------------------------------------------------- the tests


SCENARIOS = [get_frame, get_frame_failing, frames_whole, frames_abandoned, frames_failing, async_awaited,
             async_cancelled, async_for, plugin_results, props_every_kind, plane_exports]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.__name__)
def test_no_growth(scenario):
    run_scenario(scenario)


def outputs(core):
    clip = core.std.BlankClip(format=YUV420P8, width=16, height=16, length=4)
    alpha = core.std.BlankClip(format=GRAY8, width=16, height=16, length=4)
    n = itertools.count()

    def step():
        i = next(n)
        clip.set_output(i % 3)
        clip.set_output(i % 3, alt_output=1)  # replaces the entry
        clip.set_output(-1, alpha=alpha, alt_output=i)
        assert lumeq.get_output(-1).alpha is alpha
        assert len(lumeq.get_outputs()) == 2
        with pytest.raises(RuntimeError):
            clip.set_output(5, alpha=clip)  # refused by the alpha checks
        lumeq.clear_output(i % 3)
        if i % 2:
            lumeq.clear_output(-1)
        else:
            lumeq.clear_outputs()

    yield step
    lumeq.clear_outputs()


def test_output_registration_and_clearing():
    run_scenario(outputs)


class Policy(lumeq.EnvironmentPolicy):
    """One environment per `use()`, in the way a host keeps one per script."""

    def on_policy_registered(self, api):
        self.api = api
        self.current = None

    def get_current_environment(self):
        return self.current

    def set_environment(self, environment):
        self.current = environment

    def is_alive(self, environment):
        return environment.alive


def test_policy_register_and_clear_cycles():
    tag = "policy-cycles"
    cores = 0

    def custom():
        nonlocal cores
        policy = Policy()
        lumeq.register_policy(policy)
        envs = [policy.api.create_environment(), policy.api.create_environment()]
        policy.current = envs[1]
        other = lumeq.get_current_environment()
        policy.current = envs[0]
        probe().watch(lumeq.core.core, tag)
        lumeq.core.std.BlankClip(width=8, height=8, length=1).set_output(0)
        with other.use():
            lumeq.core.std.BlankClip(width=8, height=8, length=1).get_frame(0)
            probe().watch(lumeq.core.core, tag)
        assert policy.current is envs[0]
        cores += 2
        policy.api.destroy_environment(envs[1])
        policy.api.unregister_policy()

    def default():
        nonlocal cores
        lumeq.core.std.BlankClip(width=8, height=8, length=1).get_frame(0).props
        probe().watch(lumeq.core.core, tag)
        cores += 1
        lumeq.clear_policy()

    def step():
        custom()
        default()

    assert_steady(step, scaled(10_000, minimum=20) // 4)
    probe().assert_clean(tag, cores=cores)


def test_destroyed_environments_leave_the_api():
    policy = Policy()
    lumeq.register_policy(policy)
    policy.current = policy.api.create_environment()
    try:
        assert_steady(lambda: policy.api.destroy_environment(policy.api.create_environment()),
                      scaled(10_000, minimum=200))
    finally:
        policy.api.unregister_policy()


def test_probe_notices_a_core_that_is_never_freed():
    """The VapourSynth-side check is real: a reference cycle through lumeq
    objects is never collected, so its core must be reported as not freed."""
    core = lumeq.Core()
    tag = probe().watch(core)

    class Index:
        def __index__(self):
            return 0

    n = Index()
    n.cycle = core.std.BlankClip(width=8, height=8).get_frame_async(n)  # n -> coroutine -> n
    del core, n
    with pytest.raises(AssertionError, match="never freed"):
        probe().assert_clean(tag, timeout=0.2)


@pytest.mark.parametrize("leak", ["clip", "python object", "gc object", "memory"])
def test_the_checks_notice_a_leak(leak, monkeypatch):
    monkeypatch.setattr(leakcheck, "RELEASE_TIMEOUT", 0.05)
    core = lumeq.Core()
    clip = core.std.BlankClip(width=8, height=8, length=1)
    kept = []
    make = {"clip": lambda: clip[0], "python object": lambda: bytes(300), "gc object": lambda: [],
            "memory": lambda: bytearray(64 << 10)}[leak]
    with pytest.raises(AssertionError):
        assert_steady(lambda: kept.append(make()), 200)
