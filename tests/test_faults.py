"""Injected faults: policy hooks that raise or answer nonsense at each place
they are called, event loops that go away mid-render, frames that fail at
each position of a window. Each must surface as its documented error, leave
a usable state behind and leak nothing."""
import asyncio
import itertools

import pytest

import lumeq
from leakcheck import probe, scaled, watching

NO_ENV = ("No environment is currently activated. "
          "(Hint: get_current_environment().use() selects an environment.)")
GRAY8 = (1 << 28) | (8 << 16)


@pytest.fixture(autouse=True)
def clean_policy(default_policy_state):
    yield


@pytest.fixture
def watched():
    with watching() as make:
        yield make


# ------------------------------------------------------------ policy hooks


class Boom(Exception):
    pass


class Faulty(lumeq.EnvironmentPolicy):
    """A working policy whose hooks can be told to raise or to answer with a
    value of the wrong type."""

    def __init__(self):
        self.fail, self.wrong = set(), set()

    def hook(self, name, answer):
        if name in self.fail:
            raise Boom(name)
        return 42 if name in self.wrong else answer

    def on_policy_registered(self, api):
        self.api = api
        self.first, self.second = api.create_environment(), api.create_environment()
        self.current = self.first
        return self.hook("on_policy_registered", None)

    def on_policy_cleared(self):
        return self.hook("on_policy_cleared", None)

    def get_current_environment(self):
        return self.hook("get_current_environment", self.current)

    def set_environment(self, environment):
        self.hook("set_environment", None)
        self.current = environment

    def is_alive(self, environment):
        return self.hook("is_alive", environment.alive)


def second_handle(policy):
    policy.current = policy.second
    handle = lumeq.get_current_environment()
    policy.current = policy.first
    return handle


def within_use(policy, handle, hook, how):
    """Turns the fault on inside a `with` block, so only `__exit__` meets it."""
    with handle.use():
        getattr(policy, how).add(hook)


def clip():
    return lumeq.Core().std.BlankClip(width=8, height=8, length=1)


# (hook, call site, what the site does) -> what the caller sees: an exception
# type, or a value the call must return.
SITES = [
    ("get_current_environment", "core", lambda p, h: lumeq.core.std, RuntimeError),
    ("get_current_environment", "core repr", lambda p, h: repr(lumeq.core), "<lumeq.CoreProxy (unresolved)>"),
    ("get_current_environment", "get_current_environment", lambda p, h: lumeq.get_current_environment(),
     RuntimeError),
    ("get_current_environment", "active", lambda p, h: h.active, False),
    ("get_current_environment", "handle repr", lambda p, h: repr(h).endswith("(alive)>"), True),
    ("get_current_environment", "set_output", lambda p, h: clip().set_output(0), RuntimeError),
    ("get_current_environment", "get_output", lambda p, h: lumeq.get_output(0), RuntimeError),
    ("get_current_environment", "get_outputs", lambda p, h: lumeq.get_outputs(), RuntimeError),
    ("get_current_environment", "clear_output", lambda p, h: lumeq.clear_output(0), RuntimeError),
    ("get_current_environment", "clear_outputs", lambda p, h: lumeq.clear_outputs(), RuntimeError),
    ("get_current_environment", "use enter", lambda p, h: h.use().__enter__(), Boom),
    ("set_environment", "use enter", lambda p, h: h.use().__enter__(), Boom),
    ("set_environment", "use exit", lambda p, h: within_use(p, h, "set_environment", "fail"), Boom),
    ("is_alive", "alive", lambda p, h: h.alive, Boom),
    ("is_alive", "use exit", lambda p, h: within_use(p, h, "is_alive", "fail"), Boom),
    ("on_policy_cleared", "clear_policy", lambda p, h: lumeq.clear_policy(), Boom),
    ("on_policy_cleared", "unregister_policy", lambda p, h: p.api.unregister_policy(), Boom),
]

# The same sites with hooks answering 42 instead of raising.
WRONG = {
    ("get_current_environment", "use enter"): TypeError,
    ("is_alive", "alive"): TypeError,
    ("is_alive", "use exit"): TypeError,
}


SERIAL = itertools.count()


def cores_of(policy):
    """Watches the cores of both environments; they must be freed once the
    policy is gone."""
    tag = f"policy-{next(SERIAL)}"
    for env in (policy.first, policy.second):
        policy.current = env
        probe().watch(lumeq.core.core, tag)
    policy.current = policy.first
    return tag


# Answers of on_policy_cleared and set_environment are ignored by every caller.
CASES = [(*site, "fail") for site in SITES] + [
    (hook, site, action, WRONG.get((hook, site), expected), "wrong")
    for hook, site, action, expected in SITES if hook not in ("on_policy_cleared", "set_environment")]


@pytest.mark.parametrize("hook, site, action, expected, mode", CASES, ids=[f"{c[0]}-{c[1]}-{c[4]}" for c in CASES])
def test_policy_hook_faults(watched, hook, site, action, expected, mode):
    if mode == "wrong" and site == "use exit":
        action = lambda p, h: within_use(p, h, hook, "wrong")  # noqa: E731
    policy = Faulty()
    lumeq.register_policy(policy)
    tag = cores_of(policy)
    handle = second_handle(policy)
    if "exit" not in site:
        getattr(policy, mode).add(hook)
    if isinstance(expected, type):
        with pytest.raises(expected) as info:
            action(policy, handle)
        if expected is RuntimeError:
            assert str(info.value) == NO_ENV
        del info
    else:
        assert action(policy, handle) == expected
    # Once the hook behaves, the policy works again and the current
    # environment is where it was.
    policy.fail.clear()
    policy.wrong.clear()
    if lumeq.has_policy():
        policy.current = policy.first
        with handle.use():
            assert lumeq.core.std.BlankClip(width=8, height=8, length=1).get_frame(0).width == 8
        assert policy.current is policy.first
    lumeq.clear_policy()
    policy.api.unregister_policy()  # destroys both environments, whatever happened before
    del policy, handle
    probe().assert_clean(tag, cores=2)


@pytest.mark.parametrize("mode", ["fail", "wrong"])
def test_registration_hook_faults(mode):
    policy = Faulty()
    getattr(policy, mode).add("on_policy_registered")
    if mode == "fail":
        with pytest.raises(Boom):
            lumeq.register_policy(policy)
    else:
        assert lumeq.register_policy(policy) is None  # the answer is ignored
    assert lumeq.has_policy()  # registration is not rolled back
    policy.fail.clear()
    assert lumeq.core.std.BlankClip(width=8, height=8, length=1).num_frames == 1
    tag = probe().watch(lumeq.core.core)
    policy.api.unregister_policy()
    del policy
    probe().assert_clean(tag)


# ------------------------------------------------------------ event loops

CLOSED_LOOP = """
    import asyncio, os, sys, time
    import leakcheck, lumeq
    probe = leakcheck.Probe(os.environ["LEAKPROBE"])
    core = lumeq.Core(threads=1)
    tag = probe.watch(core)
    src = core.std.BlankClip(width=1280, height=720, length=2)
    slow = core.std.BoxBlur(clip=src, hradius=12, vradius=12, hpasses=3, vpasses=3)
    loop = asyncio.new_event_loop()
    task = loop.create_task(slow.get_frame_async(1))
    loop.run_until_complete(asyncio.sleep(0))  # the request is issued
    if sys.argv[1] == "pending":
        time.sleep(1.0)  # the frame arrived and its wake-up waits in the closed loop
    loop.close()
    time.sleep(0.3)
    assert slow.get_frame(0).width == 1280  # the core still renders
    # a new loop on the same thread works as before
    assert asyncio.run(slow.get_frame_async(0)).width == 1280
    # The task still waits on a future of the dead loop, in a cycle through
    # the coroutine that only running the loop would break (the coroutine is
    # invisible to the cycle collector). Cancelling it clears the future's
    # callbacks before asyncio notices the loop is closed.
    try:
        task.cancel()
    except RuntimeError as e:
        assert str(e) == "Event loop is closed"
    task._log_destroy_pending = False
    del task, loop, slow, src, core
    probe.assert_clean(tag)
"""


@pytest.mark.parametrize("when", ["rendering", "pending"])
def test_event_loop_closed_mid_render(run_py, when):
    env = {"LEAKPROBE": probe().path}
    code = CLOSED_LOOP.replace("sys.argv[1]", repr(when))
    proc = run_py(code, env=env)
    assert proc.stderr == ""  # nothing reported by the wake-up that found the loop closed


ABANDONED = """
    import asyncio, os
    import leakcheck, lumeq
    probe = leakcheck.Probe(os.environ["LEAKPROBE"])
    for round in range({rounds}):
        core = lumeq.Core(threads=2)
        tag = probe.watch(core, "abandoned")
        src = core.std.BlankClip(width=1280, height=720, length=8)
        slow = core.std.BoxBlur(clip=src, hradius=12, vradius=12, hpasses=3, vpasses=3)

        async def cancel():
            tasks = [asyncio.ensure_future(slow.get_frame_async(n)) for n in range(4)]
            await asyncio.sleep(0)
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        asyncio.run(cancel())
        it = slow.frames(prefetch=4)
        del it, slow, src, core  # every request still rendering; the core goes with them
    probe.assert_clean("abandoned", cores={rounds})
"""


@pytest.mark.stress
def test_requests_abandoned_with_their_core(run_py):
    """Cancelled requests and a dropped iterator still rendering while the
    last reference to their core goes away: the core is freed only after
    VapourSynth has finished them."""
    proc = run_py(ABANDONED.format(rounds=scaled(200, minimum=5)), env={"LEAKPROBE": probe().path})
    assert proc.returncode == 0


# ------------------------------------------------------------ failing frames

WINDOWS = [(1, 1), (2, 2), (3, 6), (8, 24)]
LENGTH = 7


def failing(core, bad):
    """Frame i holds the value i; the frames listed in `bad` fail to render."""
    parts = [core.std.BlankClip(format=GRAY8, width=8, height=8, length=1, color=[200 if i in bad else i])
             for i in range(LENGTH)]
    return core.std.PEMVerifier(clip=core.std.Splice(clips=parts), upper=[100])


@pytest.mark.parametrize("prefetch, backlog", WINDOWS)
@pytest.mark.parametrize("bad", [{k} for k in range(LENGTH)] + [{2, 5}, {0, LENGTH - 1}], ids=str)
def test_frame_failure_at_every_window_position(watched, prefetch, backlog, bad):
    clip = failing(watched(), bad)
    first = min(bad)
    message = str(pytest.raises(RuntimeError, clip.get_frame, first).value)
    it = clip.frames(prefetch=prefetch, backlog=backlog)
    got = []
    with pytest.raises(RuntimeError) as info:
        for frame in it:
            got.append(frame[0][0, 0])
    assert got == list(range(first))
    assert str(info.value) == message
    assert next(it, None) is None and next(it, None) is None  # exhausted for good
    good = min(set(range(LENGTH)) - bad)
    assert clip.get_frame(good)[0][0, 0] == good  # the clip still renders


@pytest.mark.parametrize("bad", range(LENGTH))
def test_async_frame_failure_at_every_position(watched, bad):
    clip = failing(watched(), {bad})

    async def everything():
        return await asyncio.gather(*(clip.get_frame_async(n) for n in range(LENGTH)), return_exceptions=True)

    results = asyncio.run(everything())
    assert [isinstance(r, RuntimeError) for r in results] == [n == bad for n in range(LENGTH)]
    assert [r[0][0, 0] for n, r in enumerate(results) if n != bad] == [n for n in range(LENGTH) if n != bad]


@pytest.mark.stress
def test_frame_failures_keep_the_process_sound(run_py):
    """Many failing renders in a row, through all three ways of rendering,
    in a fresh process that must exit cleanly."""
    proc = run_py(f"""
        import asyncio, os
        import leakcheck, lumeq
        probe = leakcheck.Probe(os.environ["LEAKPROBE"])
        core = lumeq.Core(threads=2)
        tag = probe.watch(core)
        parts = [core.std.BlankClip(format={GRAY8}, width=8, height=8, length=1, color=[200 * (i % 2)])
                 for i in range(6)]
        bad = core.std.PEMVerifier(clip=core.std.Splice(clips=parts), upper=[100])
        failures = 0
        for _ in range({scaled(2_000, minimum=20)}):
            try:
                list(bad.frames())
            except RuntimeError:
                failures += 1
            try:
                bad.get_frame(1)
            except RuntimeError:
                failures += 1
            try:
                asyncio.run(bad.get_frame_async(3))
            except RuntimeError:
                failures += 1
        del bad, parts, core
        probe.assert_clean(tag)
        print(failures)
    """, env={"LEAKPROBE": probe().path})
    assert int(proc.stdout) == 3 * scaled(2_000, minimum=20)
    assert proc.stderr == ""
