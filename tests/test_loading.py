"""Finding and loading the VapourSynth library, in fresh processes."""
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import importlib.util

VS_DIR = pathlib.Path(importlib.util.find_spec("vapoursynth").submodule_search_locations[0])

# Plants a stand-in `vapoursynth` module, then tries to create a core twice.
PLANTED = """
    import sys, types
    {setup}
    import lumeq
    texts = []
    for _ in range(2):
        try:
            lumeq.Core()
            texts.append('ok')
        except RuntimeError as e:
            texts.append(str(e))
    assert texts[0] == texts[1], texts
    print(texts[0])
"""


def planted(run_py, setup, env=None):
    return run_py(PLANTED.format(setup=textwrap.indent(textwrap.dedent(setup), "    ").strip()), env=env)


def fake_module(file_expr):
    return f"m = types.ModuleType('vapoursynth'); m.__file__ = {file_expr}; sys.modules['vapoursynth'] = m"


@pytest.mark.parametrize(
    "setup, expected",
    [
        (fake_module("'/'"), "RuntimeError: vapoursynth.__file__ has no parent directory"),
        (fake_module("''"), "RuntimeError: vapoursynth.__file__ has no parent directory"),
        (fake_module("None"), "TypeError: 'None' is not an instance of 'str'"),
        (fake_module("3"), "TypeError: 'int' object is not an instance of 'str'"),
        ("sys.modules['vapoursynth'] = types.ModuleType('vapoursynth')",
         "AttributeError: module 'vapoursynth' has no attribute '__file__'"),
        (fake_module("'/opt/vs/vapoursynth.so'"),
         "failed to load VapourSynth library at /opt/vs/libvapoursynth.so.4: dlopen failed"),
        (fake_module("'/vapoursynth.so'"),
         "failed to load VapourSynth library at /libvapoursynth.so.4: dlopen failed"),
        (fake_module("'/opt/vs/\\x00/vapoursynth.so'"),
         "failed to load VapourSynth library at /opt/vs/\x00/libvapoursynth.so.4: interior zero element in parameter"),
    ],
    ids=["root", "empty", "none", "int", "missing", "no-library", "root-dir", "nul"],
)
def test_load_failures_are_cached_and_raised_again(run_py, setup, expected):
    assert planted(run_py, setup).stdout.rstrip("\n") == expected


def test_missing_package(run_py):
    proc = run_py("""
        import sys
        import lumeq
        sys.path[:] = [p for p in sys.path if 'site-packages' not in p]
        texts = []
        for _ in range(2):
            try:
                lumeq.Core()
            except RuntimeError as e:
                texts.append(str(e))
        print(texts)
    """)
    assert proc.stdout.strip() == str(["the VapourSynth library was not found: install it with `pip install vapoursynth`"] * 2)


def test_failed_load_is_not_retried(run_py, tmp_path):
    package = tmp_path / "vapoursynth"
    package.mkdir()
    (package / "__init__.py").write_text("import builtins\nbuiltins.vs_imports = getattr(builtins, 'vs_imports', 0) + 1\n")
    proc = run_py(f"""
        import sys, builtins
        sys.path.insert(0, {str(tmp_path)!r})
        import lumeq
        errors = []
        for _ in range(3):
            sys.modules.pop('vapoursynth', None)
            try:
                lumeq.Core()
            except RuntimeError as e:
                errors.append(str(e))
        print(getattr(builtins, 'vs_imports', 0), len(set(errors)), len(errors))
        print(errors[0])
    """)
    counts, text = proc.stdout.splitlines()
    assert counts.split() == ["0", "1", "3"]  # located, never run
    assert text == f"failed to load VapourSynth library at {package}/libvapoursynth.so.4: dlopen failed"


def test_bare_file_name_uses_the_search_path(run_py):
    env = {"LD_LIBRARY_PATH": str(VS_DIR)}
    assert planted(run_py, fake_module("'vapoursynth.so'"), env=env).stdout.strip() == "ok"
    failing = planted(run_py, fake_module("'vapoursynth.so'"), env={"LD_LIBRARY_PATH": ""}).stdout.strip()
    assert failing == "failed to load VapourSynth library at libvapoursynth.so.4: dlopen failed"


def build_library(tmp_path, source):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    src = tmp_path / "fake.c"
    src.write_text(source)
    out = tmp_path / "libvapoursynth.so.4"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(out), str(src)], check=True)
    return out


@pytest.mark.parametrize(
    "source, expected",
    [
        ("int unrelated(void) { return 0; }\n", "VapourSynth library is missing getVapourSynthAPI: dlsym failed"),
        ("const void *getVapourSynthAPI(int version) { (void)version; return 0; }\n",
         "the VapourSynth library does not support API 4.1"),
    ],
    ids=["no-entry-point", "old-api"],
)
def test_unusable_libraries(run_py, tmp_path, source, expected):
    lib = build_library(tmp_path, source)
    setup = fake_module(repr(str(lib.parent / "vapoursynth.py")))
    assert planted(run_py, setup).stdout.strip() == expected


def test_real_library_loads_next_to_the_package(run_py):
    proc = run_py("""
        import lumeq
        print(lumeq.Core().std.namespace)
    """)
    assert proc.stdout.strip() == "std"


def test_package_is_located_without_running_it(run_py):
    proc = run_py("""
        import sys
        import lumeq
        lumeq.core.std
        print('vapoursynth' in sys.modules)
    """)
    assert proc.stdout.strip() == "False"


@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit"])
def test_interrupt_while_locating_is_not_cached(run_py, exc):
    proc = run_py(f"""
        import importlib.util, sys
        import lumeq
        real = importlib.util.find_spec
        def interrupted(name, *args):
            importlib.util.find_spec = real
            raise {exc}()
        importlib.util.find_spec = interrupted
        try:
            lumeq.Core()
        except {exc}:
            print('raised')
        print(lumeq.Core().std.namespace)
    """)
    assert proc.stdout.split() == ["raised", "std"]


def test_namespace_package_has_no_file(run_py, tmp_path):
    (tmp_path / "vapoursynth").mkdir()
    proc = run_py(f"""
        import importlib.util, sys
        import lumeq
        sys.path[:] = [{str(tmp_path)!r}]
        try:
            lumeq.Core()
        except RuntimeError as e:
            print(e)
    """)
    assert proc.stdout.strip() == "AttributeError: module 'vapoursynth' has no attribute '__file__'"
