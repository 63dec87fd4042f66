"""Many threads on shared clips, iterators, environments and object lifetimes."""
import asyncio
import itertools
import queue
import threading

import pytest

import lumeq
from leakcheck import assert_released, baseline, probe, scaled, watching

pytestmark = pytest.mark.stress

GRAY8 = (1 << 28) | (8 << 16)
GRAY16 = (1 << 28) | (16 << 16)


@pytest.fixture(autouse=True)
def clean_policy(default_policy_state):
    yield


@pytest.fixture
def watched():
    with watching(threads=4) as make:
        yield make


def numbered(core, count):
    """A GRAY16 clip whose frame i is filled with the value i."""
    return core.std.Splice(clips=[core.std.BlankClip(format=GRAY16, width=8, height=8, length=1, color=[i])
                                  for i in range(count)])


def value(frame):
    return frame[0][0, 0]


def run_threads(count, work):
    """Runs work(k) on `count` threads released together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    errors = []

    def body(k):
        barrier.wait()
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001 - reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_eight_threads_get_frame_on_one_clip(watched):
    clip = numbered(watched(), 97)
    rounds = scaled(10_000) // 8

    def work(k):
        for i in range(rounds):
            n = (k * 13 + i * 7) % 97
            assert value(clip.get_frame(n)) == n

    run_threads(8, work)


def test_four_iterators_at_once(watched):
    length = scaled(4_000, minimum=50)
    clip = numbered(watched(), length)
    windows = [(None, None), (1, 1), (2, 8), (8, 3)]

    def work(k):
        prefetch, backlog = windows[k]
        assert [value(f) for f in clip.frames(prefetch=prefetch, backlog=backlog)] == list(range(length))

    run_threads(4, work)


@pytest.mark.parametrize("prefetch", [1, 4])
def test_two_threads_share_one_iterator(watched, prefetch):
    length = scaled(10_000, minimum=100)
    it = numbered(watched(), length).frames(prefetch=prefetch)
    got = [[], []]

    def work(k):
        for frame in it:
            got[k].append(value(frame))

    run_threads(2, work)
    for own in got:
        assert own == sorted(own)  # each thread is served in frame order
    assert sorted(got[0] + got[1]) == list(range(length))  # none lost, none repeated
    assert next(it, None) is None


def test_async_requests_from_threads_with_their_own_loops(watched):
    clip = numbered(watched(), 31)
    rounds = scaled(4_000, minimum=20) // 4

    def work(k):
        async def main():
            for i in range(0, rounds, 8):
                wanted = [(k + i + j) % 31 for j in range(8)]
                frames = await asyncio.gather(*(clip.get_frame_async(n) for n in wanted))
                assert [value(f) for f in frames] == wanted

        asyncio.run(main())

    run_threads(4, work)


class PerThread(lumeq.EnvironmentPolicy):
    """Each thread has its own current environment."""

    def __init__(self):
        self.local = threading.local()

    def on_policy_registered(self, api):
        self.api = api

    def get_current_environment(self):
        return getattr(self.local, "env", None)

    def set_environment(self, environment):
        self.local.env = environment

    def is_alive(self, environment):
        return environment.alive


def test_threads_switch_environments_while_rendering():
    before = baseline()
    policy = PerThread()
    lumeq.register_policy(policy)
    rounds = scaled(4_000, minimum=20) // 4
    tag = "per-thread"

    def handle(environment):
        policy.local.env = environment
        try:
            return lumeq.get_current_environment()
        finally:
            policy.local.env = None

    def work(k):
        handles = [handle(policy.api.create_environment()) for _ in range(2)]
        cores, clips = [], []
        for h in handles:
            with h.use():
                cores.append(lumeq.core.core)
                probe().watch(cores[-1], tag)
                clips.append(lumeq.core.std.BlankClip(format=GRAY8, width=8, height=8, length=4, color=[k]))
        for i in range(rounds):
            a, b = i % 2, 1 - i % 2
            with handles[a].use():
                assert lumeq.core.core is cores[a]
                with handles[b].use():
                    assert lumeq.core.core is cores[b]
                    assert value(clips[a].get_frame(i % 4)) == k
                assert lumeq.core.core is cores[a]
                frame = lumeq.core.std.BlankClip(format=GRAY8, width=8, height=8, length=1, color=[i % 256])
                assert value(frame.get_frame(0)) == i % 256
            assert policy.get_current_environment() is None
            with pytest.raises(RuntimeError, match="No environment is currently activated"):
                lumeq.core.std

    run_threads(4, work)
    policy.api.unregister_policy()
    del policy.api
    assert_released(before)
    probe().assert_clean(tag, cores=8)


# ------------------------------------------------------------ deletion order

KINDS = ("core", "plugin", "function", "clip", "frame", "plane", "iterator")


def make_objects(tag):
    core = lumeq.Core(threads=2)
    probe().watch(core, tag)
    plugin = core.std
    function = plugin.BlankClip
    clip = function(format=GRAY8, width=16, height=16, length=20, color=[9])
    frame = clip.get_frame(0)
    return {"core": core, "plugin": plugin, "function": function, "clip": clip, "frame": frame,
            "plane": frame[0], "iterator": clip.frames(prefetch=3)}


def exercise(objects):
    """Each object still alive still works, whatever went before it."""
    for kind in list(objects):
        obj = objects.get(kind)
        if obj is None:
            continue
        if kind == "core":
            assert obj.num_threads == 2
        elif kind == "plugin":
            assert obj.namespace == "std"
        elif kind == "function":
            assert obj.name == "BlankClip"
        elif kind == "clip":
            assert value(obj.get_frame(1)) == 9
        elif kind == "frame":
            assert obj[0][1, 1] == 9 and obj.props["_DurationNum"] == 1
        elif kind == "plane":
            assert obj[2, 2] == 9 and len(obj.tobytes()) == 256
        elif kind == "iterator":
            assert value(next(obj)) == 9
        del obj


class Deleter:
    """A second thread that drops the objects it is told to drop."""

    def __init__(self):
        self.orders = queue.Queue()
        self.done = queue.Queue()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while (job := self.orders.get()) is not None:
            objects, kind = job
            del job
            objects.pop(kind)
            self.done.put(kind)

    def drop(self, objects, kind):
        self.orders.put((objects, kind))
        assert self.done.get(timeout=30) == kind

    def stop(self):
        self.orders.put(None)
        self.thread.join()


def test_objects_deleted_in_every_order():
    orders = list(itertools.permutations(KINDS))
    wanted = scaled(len(orders), minimum=24)
    chosen = orders[::max(1, len(orders) // wanted)]
    tag = "deletion-order"
    deleter = Deleter()
    before = baseline()
    try:
        for i, order in enumerate(chosen):
            objects = make_objects(tag)
            for j, kind in enumerate(order):
                # main thread only, other thread only, or alternating
                if (i % 3 == 1) or (i % 3 == 2 and j % 2):
                    deleter.drop(objects, kind)
                else:
                    objects.pop(kind)
                exercise(objects)
    finally:
        deleter.stop()
    assert_released(before)
    probe().assert_clean(tag, cores=len(chosen))


def test_objects_dropped_by_many_threads_at_once():
    rounds = scaled(1_000, minimum=10)
    tag = "parallel-drop"
    before = baseline()
    for _ in range(rounds):
        objects = make_objects(tag)
        held = [objects.pop(kind) for kind in KINDS]
        del objects

        def work(k):
            held[k] = None

        run_threads(len(KINDS), work)
    assert_released(before)
    probe().assert_clean(tag, cores=rounds)
