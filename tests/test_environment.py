"""Environments, policies, the core proxy's resolution and environment handles."""
import gc
import threading

import pytest

import lumeq
from lumeq import (EnvironmentPolicy, EnvironmentPolicyAPI, clear_policy, get_current_environment, has_policy,
                   register_policy)

NO_ENV = ("No environment is currently activated. "
          "(Hint: get_current_environment().use() selects an environment.)")


@pytest.fixture(autouse=True)
def clean_policy(default_policy_state):
    yield


class Recording(EnvironmentPolicy):
    """Keeps its own current environment and logs every hook call."""

    def __init__(self):
        self.log = []
        self.api = None
        self.current = None

    def on_policy_registered(self, api):
        self.log.append(("registered", api))
        self.api = api
        self.first = api.create_environment()
        self.current = self.first

    def on_policy_cleared(self):
        self.log.append(("cleared",))

    def get_current_environment(self):
        self.log.append(("get",))
        return self.current

    def set_environment(self, environment):
        self.log.append(("set", environment))
        previous, self.current = self.current, environment
        return previous

    def is_alive(self, environment):
        self.log.append(("is_alive", environment))
        return environment.alive


@pytest.fixture
def recording():
    policy = Recording()
    register_policy(policy)
    policy.log.clear()
    return policy


# ------------------------------------------------------------ policy slot


def test_fresh_process_installs_the_default_only_on_use(run_py):
    proc = run_py("""
        import lumeq
        out = [lumeq.has_policy(), repr(lumeq.core), lumeq.has_policy()]
        lumeq.core.std
        out += [lumeq.has_policy(), repr(lumeq.core)]
        lumeq.clear_policy()
        out.append(lumeq.has_policy())
        env = lumeq.get_current_environment()
        out += [lumeq.has_policy(), repr(env)]
        print(out)
    """)
    assert proc.stdout.strip() == str([
        False, "<lumeq.CoreProxy (unresolved)>", False,
        True, "<lumeq.CoreProxy (resolved)>",
        False, True, "<Environment (default)>",
    ])


def test_default_lifecycle():
    first = get_current_environment()
    core = lumeq.core.core
    assert lumeq.core.core is core
    assert get_current_environment() == first
    clear_policy()
    assert not has_policy()
    assert repr(lumeq.core) == "<lumeq.CoreProxy (unresolved)>"
    assert get_current_environment() != first
    assert lumeq.core.core is not core


def test_register_while_registered_keeps_the_first():
    lumeq.core.core  # installs the default
    with pytest.raises(RuntimeError, match="^There is already a policy registered.$"):
        register_policy(Recording())
    assert get_current_environment().single


def test_registration_hands_over_a_fresh_api():
    policy = Recording()
    register_policy(policy)
    assert has_policy()
    assert [entry[0] for entry in policy.log] == ["registered"]
    assert type(policy.log[0][1]) is EnvironmentPolicyAPI
    clear_policy()
    second = Recording()
    register_policy(second)
    assert second.api is not policy.api


def test_failing_registration_hook_leaves_the_policy_registered():
    class Failing(EnvironmentPolicy):
        def on_policy_registered(self, api):
            raise ValueError("no thanks")

    with pytest.raises(ValueError, match="no thanks"):
        register_policy(Failing())
    assert has_policy()


def test_clearing_with_nothing_registered():
    assert clear_policy() is None
    assert clear_policy() is None
    assert not has_policy()


def test_failing_clear_hook_still_empties_the_slot():
    class Failing(Recording):
        def on_policy_cleared(self):
            raise KeyError("teardown")

    register_policy(Failing())
    with pytest.raises(KeyError, match="teardown"):
        clear_policy()
    assert not has_policy()


def test_any_object_with_the_hooks_can_be_a_policy():
    class Duck:
        def on_policy_registered(self, api):
            self.env = api.create_environment()

        def get_current_environment(self):
            return self.env

        def on_policy_cleared(self):
            pass

    duck = Duck()
    register_policy(duck)
    assert get_current_environment().env_id == id(duck.env)
    assert lumeq.core.core is lumeq.core.core


def test_unregister_destroys_everything_the_api_created(recording):
    api = recording.api
    extra = [api.create_environment(), api.create_environment(flags=5)]
    api.unregister_policy()
    assert not has_policy()
    assert not recording.first.alive and not any(env.alive for env in extra)
    assert [entry for entry in recording.log if entry[0] == "cleared"] == [("cleared",)]
    # The list was emptied: a second call destroys nothing and clears nothing.
    api.unregister_policy()
    assert recording.log.count(("cleared",)) == 1


def test_destroy_environment_is_idempotent_and_accepts_foreign_environments(recording):
    other = Recording()
    clear_policy()
    register_policy(other)
    foreign = recording.first
    other.api.destroy_environment(foreign)
    assert other.api.destroy_environment(foreign) is None
    assert not foreign.alive and other.first.alive


@pytest.mark.parametrize("call, exc, note", [
    (lambda api: api.create_environment(2**40), OverflowError, "while processing 'flags'"),
    (lambda api: api.create_environment("1"), TypeError, "while processing 'flags'"),
    (lambda api: api.destroy_environment(3), TypeError, "while processing 'environment'"),
    (lambda api: api.destroy_environment(None), TypeError, "while processing 'environment'"),
])
def test_api_argument_errors(recording, call, exc, note):
    with pytest.raises(exc) as info:
        call(recording.api)
    assert note in info.value.__notes__


# ------------------------------------------------------------ EnvironmentPolicy base


def test_base_class_defaults(recording):
    base = EnvironmentPolicy()
    for call in (base.get_current_environment, lambda: base.set_environment(object())):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()
    assert base.is_alive(None) is False
    assert base.is_alive(recording.first) is True
    recording.api.destroy_environment(recording.first)
    assert base.is_alive(recording.first) is False
    with pytest.raises(TypeError, match="'int' object is not an instance of 'EnvironmentData'") as info:
        base.is_alive(3)
    assert info.value.__notes__ == ["while processing 'environment'"]
    assert base.on_policy_registered(object()) is None
    assert base.on_policy_cleared() is None


def test_subclass_constructor_takes_no_arguments():
    class WithInit(EnvironmentPolicy):
        def __init__(self, x):
            self.x = x

    with pytest.raises(TypeError, match=r"^EnvironmentPolicy.__new__\(\) takes 0 positional arguments but 1 was given$"):
        WithInit(1)
    with pytest.raises(TypeError, match="__init__"):
        WithInit()
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        EnvironmentPolicy(x=1)


def test_collected_subclass_instances_are_freed_cleanly():
    class Cyclic(EnvironmentPolicy):
        def __init__(self):
            self.me = self

    deleted = []

    class Finalized(EnvironmentPolicy):
        def __del__(self):
            deleted.append(True)

    for _ in range(200):
        Cyclic()
        Finalized()
    gc.collect()
    assert len(deleted) == 200


@pytest.mark.parametrize("make", [
    lambda: EnvironmentPolicy(),
    lambda: type("GetRaises", (EnvironmentPolicy,), {"get_current_environment": lambda self: 1 / 0})(),
    lambda: type("GetWrongType", (EnvironmentPolicy,), {"get_current_environment": lambda self: 42})(),
    lambda: type("GetNone", (EnvironmentPolicy,), {"get_current_environment": lambda self: None})(),
], ids=["overrides-nothing", "raises", "wrong-type", "none"])
def test_no_current_environment_is_one_error(make):
    register_policy(make())
    for use in (lambda: lumeq.core.std, lambda: lumeq.core.core, lambda: lumeq.core.num_threads,
                get_current_environment):
        with pytest.raises(RuntimeError) as info:
            use()
        assert str(info.value) == NO_ENV
        assert info.value.__context__ is None
    assert repr(lumeq.core) == "<lumeq.CoreProxy (unresolved)>"


# ------------------------------------------------------------ environments and cores


def test_core_is_created_once_per_environment(recording):
    api = recording.api
    second = api.create_environment(flags=5)
    assert repr(lumeq.core) == "<lumeq.CoreProxy (unresolved)>"
    first_core = lumeq.core.core
    assert lumeq.core.core is first_core
    recording.current = second
    assert repr(lumeq.core) == "<lumeq.CoreProxy (unresolved)>"
    second_core = lumeq.core.core
    assert second_core is not first_core
    assert type(second_core) is type(first_core)
    assert second_core.num_threads == first_core.num_threads


def test_destroyed_environment_still_handed_out_gets_a_fresh_core(recording):
    old_core = lumeq.core.core
    recording.api.destroy_environment(recording.first)
    assert not recording.first.alive
    assert repr(lumeq.core) == "<lumeq.CoreProxy (unresolved)>"
    new_core = lumeq.core.core
    assert new_core is not old_core and lumeq.core.core is new_core
    assert not recording.first.alive
    # The old core object stays usable for whoever still holds it.
    assert old_core.std.BlankClip(length=3).num_frames == 3


def test_failed_library_load_leaves_the_environment_without_core(run_py):
    proc = run_py("""
        import sys, types
        m = types.ModuleType('vapoursynth'); m.__file__ = '/nonexistent/vapoursynth.so'
        sys.modules['vapoursynth'] = m
        import lumeq
        for use in (lambda: lumeq.core.core, lumeq.get_current_environment, lambda: lumeq.core.std):
            try:
                use()
            except RuntimeError as e:
                print(e)
        print(lumeq.has_policy(), repr(lumeq.core))
    """)
    lines = proc.stdout.strip().splitlines()
    assert len(lines) == 4
    assert lines[0] == lines[1] == lines[2]
    assert lines[0].startswith("failed to load VapourSynth library")
    assert lines[3] == "True <lumeq.CoreProxy (unresolved)>"


# ------------------------------------------------------------ Environment handles


def test_default_handle():
    env = get_current_environment()
    assert repr(env) == "<Environment (default)>"
    assert (env.env_id, env.single, env.active, env.alive) == (-1, True, True, True)
    assert env.use().__class__.__name__ == "_FastManager"


def test_handle_comparison():
    a, b = get_current_environment(), get_current_environment()
    assert a is not b
    assert a == b and not (a != b)
    for other in (None, 0, "env"):
        assert a != other and not (a == other)
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        hash(a)


def test_handles_under_a_custom_policy(recording):
    env = get_current_environment()
    data = recording.first
    assert env.env_id == id(data)
    assert not env.single
    assert repr(env) == f"<Environment {id(data)} (active)>"
    other_data = recording.api.create_environment()
    recording.current = other_data
    other = get_current_environment()
    assert other != env
    assert (env.active, other.active) == (False, True)
    assert repr(env) == f"<Environment {id(data)} (alive)>"
    recording.log.clear()
    assert env.alive is True
    assert recording.log == [("is_alive", data)]
    recording.api.destroy_environment(data)
    assert repr(env) == f"<Environment {id(data)} (dead)>"
    assert env.alive is False


def test_alive_hook_must_answer_a_bool(recording):
    env = get_current_environment()
    recording.is_alive = lambda environment: 1
    with pytest.raises(TypeError, match="'int' object is not an instance of 'bool'"):
        env.alive


def test_old_handle_after_clear_policy():
    env = get_current_environment()
    clear_policy()
    assert env.single and not has_policy()
    assert env.alive is False
    assert has_policy()
    assert not env.active


# ------------------------------------------------------------ activation


def test_use_under_the_default_policy_changes_nothing():
    env = get_current_environment()
    core = lumeq.core.core
    with env.use() as bound:
        assert bound is None
        assert get_current_environment() == env
    assert get_current_environment() == env and lumeq.core.core is core


def test_use_call_sequence(recording):
    target = recording.api.create_environment()
    clear = recording.first
    recording.current = target
    handle = get_current_environment()
    recording.current = clear
    recording.log.clear()
    with handle.use() as bound:
        assert bound is None
        assert recording.log == [("get",), ("set", target)]
        assert recording.current is target
        recording.log.clear()
    assert recording.log == [("is_alive", clear), ("set", clear)]
    assert recording.current is clear


def test_exception_in_block_propagates_after_restore(recording):
    target = recording.api.create_environment()
    recording.current = target
    handle = get_current_environment()
    recording.current = recording.first
    with pytest.raises(ZeroDivisionError):
        with handle.use():
            assert recording.current is target
            1 / 0
    assert recording.current is recording.first


def test_exit_without_previous_sets_none_without_asking(recording):
    manager = get_current_environment().use()
    recording.current = None
    manager.__enter__()
    recording.log.clear()
    assert manager.__exit__(None, None, None) is False
    assert recording.log == [("set", None)]


def test_exit_with_dead_previous_sets_none(recording):
    previous = recording.first
    manager = get_current_environment().use()
    manager.__enter__()
    recording.api.destroy_environment(previous)
    recording.log.clear()
    manager.__exit__(None, None, None)
    assert recording.log == [("is_alive", previous), ("set", None)]


def test_use_on_dead_environment_runs_no_hook(recording):
    handle = get_current_environment()
    recording.api.destroy_environment(recording.first)
    recording.log.clear()
    with pytest.raises(RuntimeError, match="^The environment is dead.$"):
        handle.use()
    assert recording.log == []


def test_reentered_manager_activates_once(recording):
    target = recording.api.create_environment()
    recording.current = target
    manager = get_current_environment().use()
    recording.current = recording.first
    manager.__enter__()
    recording.log.clear()
    manager.__enter__()
    assert recording.log == [("get",)]
    manager.__exit__(None, None, None)
    assert recording.current is target  # what the second __enter__ saw
    manager.__exit__(None, None, None)
    assert recording.current is None  # nothing recorded any more


def test_manager_method_reentered_from_a_hook(recording):
    manager = get_current_environment().use()
    recording.set_environment = lambda environment: manager.__exit__(None, None, None)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        manager.__enter__()


def test_enter_refuses_a_foreign_previous_environment(recording):
    manager = get_current_environment().use()
    recording.current = "not an environment"
    with pytest.raises(TypeError, match="'str' object is not an instance of 'EnvironmentData'"):
        manager.__enter__()
    assert all(entry[0] != "set" for entry in recording.log)


def test_exit_requires_its_three_arguments(recording):
    manager = get_current_environment().use()
    with pytest.raises(TypeError, match="missing 1 required positional argument: '_traceback'"):
        manager.__exit__(None, None)


# ------------------------------------------------------------ threads


def test_racing_first_resolution_creates_one_core(run_py):
    proc = run_py("""
        import threading, lumeq
        barrier = threading.Barrier(4)
        cores, errors = [], []
        def work():
            barrier.wait()
            try:
                cores.append(lumeq.core.core)
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(errors, len(cores), len({id(c) for c in cores}), lumeq.core.core is cores[0])
    """)
    assert proc.stdout.strip() == "[] 4 1 True"


def test_per_thread_policy_keeps_cores_apart():
    class PerThread(EnvironmentPolicy):
        def on_policy_registered(self, api):
            self.api = api
            self.local = threading.local()

        def get_current_environment(self):
            if not hasattr(self.local, "env"):
                self.local.env = self.api.create_environment()
            return self.local.env

    register_policy(PerThread())
    barrier = threading.Barrier(3)
    seen = {}

    def work(name):
        barrier.wait()
        seen[name] = (lumeq.core.core, lumeq.core.core, get_current_environment().env_id)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(first is second for first, second, _ in seen.values())
    assert len({id(first) for first, _, _ in seen.values()}) == 3
    assert len({env_id for _, _, env_id in seen.values()}) == 3


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_non_exception_from_current_hook_propagates(exc):
    class Interrupted(Recording):
        def get_current_environment(self):
            raise exc()

    register_policy(Interrupted())
    with pytest.raises(exc):
        lumeq.core.std
