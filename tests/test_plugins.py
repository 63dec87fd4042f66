"""Plugin and Function objects: descriptions, enumeration, lookup errors."""
import gc

import pytest

import lumeq


@pytest.fixture
def std():
    return lumeq.Core().std


def test_plugin_description(std):
    assert repr(std) == f"<lumeq.Plugin namespace=std name={std.name}>"
    assert std.namespace == "std"
    assert isinstance(std.identifier, str) and std.identifier
    major, minor = std.version
    assert isinstance(major, int) and isinstance(minor, int) and type(std.version) is tuple
    assert std.plugin_path is None or isinstance(std.plugin_path, str)


def test_builtin_plugins_report_no_path():
    paths = {p.namespace: p.plugin_path for p in lumeq.Core().plugins()}
    assert None in paths.values()


def test_function_description(std):
    trim = std.Trim
    assert repr(trim) == "<lumeq.Function std.Trim>"
    assert trim.name == "Trim"
    assert trim.plugin.namespace == "std"
    assert isinstance(trim.plugin, lumeq.Plugin)
    assert trim.signature == "clip:vnode:all;first:int:opt;last:int:opt;length:int:opt;"
    assert trim.return_signature.startswith("clip:vnode")
    assert std.Trim is not std.Trim


def test_functions_iteration(std):
    names = [f.name for f in std.functions()]
    assert "Trim" in names and "BlankClip" in names
    assert len(names) == len(set(names))
    assert all(f.plugin.namespace == "std" for f in std.functions())
    it = std.functions()
    assert iter(it) is it
    list(it)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize(
    "name, message",
    [("Nope", "plugin 'std' has no function 'Nope'"), ("Tr\x00im", 'invalid function name "Tr\\0im"'),
     ("a\tb\n\"\\", 'plugin \'std\' has no function \'a\tb\n"\\\''),
     ("x\x01\ty", 'invalid function name "x\\u{1}\\ty\\0"')],
)
def test_unknown_functions(std, name, message):
    if message.startswith("invalid") and "\x00" not in name:
        name += "\x00"
    with pytest.raises(AttributeError) as info:
        getattr(std, name)
    assert str(info.value) == message


def test_function_outlives_core_plugin_and_iterator():
    core = lumeq.Core()
    it = core.std.functions()
    function = next(it)
    del core, it
    gc.collect()
    assert isinstance(function.signature, str)
    assert function.plugin.name
