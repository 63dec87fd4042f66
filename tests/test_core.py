"""Core objects, their settings, plugin enumeration and lookup, arguments."""
import gc

import pytest

import lumeq


def test_defaults_and_explicit_settings():
    default = lumeq.Core()
    assert default.num_threads >= 1
    assert default.max_cache_size >= 1
    tuned = lumeq.Core(threads=2, max_cache_size=512)
    assert (tuned.num_threads, tuned.max_cache_size) == (2, 512)
    positional = lumeq.Core(3, 100)
    assert (positional.num_threads, positional.max_cache_size) == (3, 100)


@pytest.mark.parametrize("kwargs", [{"threads": -1}, {"threads": 0}, {"max_cache_size": 0},
                                    {"max_cache_size": -5}, {"threads": None, "max_cache_size": None}])
def test_constructor_passes_values_unchecked(kwargs):
    lumeq.Core(**kwargs)


def test_setters_round_trip_and_reject_out_of_range():
    core = lumeq.Core()
    core.num_threads = 0  # automatic detection is accepted
    core.num_threads = 3
    assert core.num_threads == 3
    core.max_cache_size = 1
    assert core.max_cache_size == 1
    with pytest.raises(ValueError, match="^Number of threads must not be negative$"):
        core.num_threads = -1
    assert core.num_threads == 3
    with pytest.raises(ValueError, match="^Maximum cache size must be a positive number$"):
        core.max_cache_size = 0
    assert core.max_cache_size == 1
    assert core.node_timing is False
    core.node_timing = True
    assert core.node_timing is True
    with pytest.raises(TypeError):
        core.node_timing = 1


@pytest.mark.parametrize("name", ["num_threads", "max_cache_size", "node_timing"])
def test_settable_properties_have_no_deleter(name):
    core = lumeq.Core()
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(core, name)


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda: lumeq.Core(1, 2, 3), TypeError,
         "Core.__new__() takes from 0 to 2 positional arguments but 3 were given", None),
        (lambda: lumeq.Core(cores=1), TypeError, "Core.__new__() got an unexpected keyword argument 'cores'", None),
        (lambda: lumeq.Core(2, threads=3), TypeError, "Core.__new__() got multiple values for argument 'threads'", None),
        (lambda: lumeq.Core(threads=2**40), OverflowError, "out of range integral type conversion attempted",
         "while processing 'threads'"),
        (lambda: lumeq.Core(threads="2"), TypeError, None, "while processing 'threads'"),
        (lambda: lumeq.Core(max_cache_size=2**70), OverflowError, None, "while processing 'max_cache_size'"),
        (lambda: lumeq.Core(max_cache_size=2**44 + 1), OverflowError, None, "while processing 'max_cache_size'"),
        (lambda: lumeq.Core(max_cache_size=2**43), OverflowError, None, "while processing 'max_cache_size'"),
        (lambda: setattr(lumeq.Core(), "max_cache_size", 2**43), OverflowError, None, "while processing 'mb'"),
    ],
    ids=["too-many", "unexpected", "multiple", "overflow", "not-int", "overflow64", "bytes-wrap", "bytes-sign",
         "setter-bytes"],
)
def test_argument_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


def test_setter_conversion_names_its_argument():
    core = lumeq.Core()
    with pytest.raises(OverflowError) as info:
        core.num_threads = 2**40
    assert info.value.__notes__ == ["while processing 'value'"]
    with pytest.raises(TypeError) as info:
        core.max_cache_size = "big"
    assert info.value.__notes__ == ["while processing 'mb'"]


def test_plugins_snapshot_and_exhaustion():
    core = lumeq.Core()
    first = [p.namespace for p in core.plugins()]
    assert first == [p.namespace for p in core.plugins()]
    assert "std" in first
    it = core.plugins()
    assert iter(it) is it
    assert len(list(it)) == len(first)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


def test_members_shadow_plugins():
    core = lumeq.Core()
    assert callable(core.plugins)
    assert isinstance(core.std, lumeq.Plugin)


@pytest.mark.parametrize(
    "name, message",
    [("foo", "no plugin with namespace 'foo'"), ("a\x00b", 'invalid namespace "a\\0b"'),
     ("", "no plugin with namespace ''")],
)
def test_unknown_namespaces(name, message):
    with pytest.raises(AttributeError) as info:
        getattr(lumeq.Core(), name)
    assert str(info.value) == message


def test_plugin_outlives_its_core():
    core = lumeq.Core()
    plugin = core.std
    function = plugin.Trim
    del core
    gc.collect()
    assert plugin.name
    assert function.signature.startswith("clip:vnode")


@pytest.mark.parametrize("get_core", [lumeq.Core, lambda: lumeq.core], ids=["core", "proxy"])
def test_version_from_core_info(get_core):
    core = get_core()
    number = core.version_number()
    assert type(number) is int and number > 0
    assert f"Core R{number}" in core.version()
