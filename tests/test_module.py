"""The module object: its names, classes and what importing does."""
import pathlib
import shutil
import subprocess

import pytest

import lumeq

ALL = [
    "Core", "CoreProxy", "PluginIter", "ColorFamily", "SampleType", "Environment",
    "EnvironmentPolicy", "EnvironmentPolicyAPI", "StandaloneEnvironmentPolicy", "VideoOutputTuple",
    "clear_output", "clear_outputs", "clear_policy", "get_current_environment", "get_output",
    "get_outputs", "has_policy", "register_policy", "VideoFormat", "VideoFrame", "FrameIter",
    "VideoNode", "AudioNode", "AudioFrame", "Function", "PluginFunctionIter", "Plugin",
]
ENUMERATIONS = ["PresetVideoFormat", "ChromaLocation", "FieldBased", "MatrixCoefficients", "TransferCharacteristics",
                "ColorPrimaries", "ColorRange", "Range", "AudioChannels"]
PRESETS = [name for name, value in vars(lumeq.PresetVideoFormat).items() if isinstance(value, lumeq.PresetVideoFormat)]
ALL += ENUMERATIONS + ["AudioFormat"] + PRESETS + ["core"]

# Published classes; every one of them (and every unpublished one) is lumeq's.
CLASSES = {*ENUMERATIONS, "AudioFormat", "ColorFamily", "SampleType", "Environment", "EnvironmentPolicy",
           "EnvironmentPolicyAPI", "StandaloneEnvironmentPolicy", "VideoOutputTuple", "VideoFormat", "VideoFrame",
           "AudioFrame", "Core", "CoreProxy", "PluginIter", "FrameIter", "VideoNode", "AudioNode", "Function",
           "PluginFunctionIter", "Plugin"}


def test_docstring_and_all_in_order():
    assert lumeq.__doc__ == "Python bindings for VapourSynth."
    assert lumeq.__all__ == ALL
    for name in ALL:
        assert hasattr(lumeq, name)


@pytest.mark.parametrize("name", ["EnvironmentData", "Plane", "Coroutine", "release_waiter", "_FastManager",
                                  "PanicException"])
def test_internal_names_are_not_published(name):
    assert not hasattr(lumeq, name)


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_type_module_and_qualname(name):
    cls = getattr(lumeq, name)
    assert cls.__module__ == "lumeq"
    assert cls.__qualname__ == name
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__


@pytest.mark.parametrize("name", sorted(CLASSES - {"Core", "EnvironmentPolicy"}))
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError):
        getattr(lumeq, name)()


@pytest.mark.parametrize("name", sorted(CLASSES - {"EnvironmentPolicy"}))
def test_only_the_policy_base_is_subclassable(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(lumeq, name),), {})


def test_constructible_classes():
    assert isinstance(lumeq.Core(), lumeq.Core)
    assert isinstance(lumeq.EnvironmentPolicy(), lumeq.EnvironmentPolicy)

    class Mine(lumeq.EnvironmentPolicy):
        pass

    assert isinstance(Mine(), lumeq.EnvironmentPolicy)


def test_import_loads_nothing(run_py):
    proc = run_py("""
        import sys, threading
        before = threading.active_count()
        import lumeq
        print('vapoursynth' in sys.modules, threading.active_count() - before, lumeq.has_policy())
    """)
    assert proc.stdout.split() == ["False", "0", "False"]


def test_reimport_gives_new_proxy_same_classes(run_py):
    proc = run_py("""
        import sys
        import lumeq as first
        del sys.modules['lumeq']
        import lumeq as second
        print(first is second, first.core is second.core, first.Core is second.Core,
              first.VideoNode is second.VideoNode)
    """)
    assert proc.stdout.split() == ["False", "False", "True", "True"]


def test_module_does_not_link_against_vapoursynth():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    path = pathlib.Path(lumeq.__file__)
    assert path.name == "lumeq.abi3.so"
    needed = subprocess.run([readelf, "-d", str(path)], capture_output=True, text=True, check=True).stdout
    assert "vapoursynth" not in needed.lower()
