"""lumeq-stubgen: stubs for the loaded plugins, which mypy checks plugin calls against."""
import os
import site
import subprocess
import sys
import textwrap

import pytest

import lumeq
from lumeq_stubgen.render import PluginFunction, function_stub, result_type

pytest.importorskip("mypy", reason="mypy is not installed")


@pytest.fixture(autouse=True)
def _installed_module_only(sanitized):
    # The generator reads the stub shipped beside the installed module; the
    # sanitizer build is imported from a build folder that holds no stub.
    if sanitized:
        pytest.skip("the sanitizer build ships no stub beside the module")


def run(args, cwd, python=sys.executable, env=None):
    full_env = {**os.environ, **(env or {})}
    return subprocess.run([python, *args], capture_output=True, text=True, cwd=cwd, env=full_env, timeout=300)


def flagged_lines(proc):
    return {int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line}


@pytest.mark.parametrize("signature, bound, expected", [
    ("clip:vnode;radius:int:opt;", False, "(self, /, clip: VideoNode, radius: _IntArg | None = None) -> Any"),
    ("clip:vnode;radius:int:opt;", True, "(self, /, radius: _IntArg | None = None) -> Any"),
    ("super:vnode;lambda:int:opt;global:float[]:opt;", True,
     "(self, /, lambda_: _IntArg | None = None, global_: float | list[float] | None = None) -> Any"),
    ("a:int:opt;b:data;", False, "(self, /, a: _IntArg | None = None, b: _DataArg = ...) -> Any"),
    ("clip:vnode;any", False, "(self, /, clip: VideoNode, **kwargs: Any) -> Any"),
    ("self:func;", False, "(_self, /, self: _FuncArg) -> Any"),
    ("lambda:int;lambda_:int;", False, "(self, /, lambda_: _IntArg, **kwargs: Any) -> Any"),
])
def test_function_parameters(signature, bound, expected):
    assert function_stub(PluginFunction("F", signature, "any"), bound) == f"    def F{expected}: ..."


@pytest.mark.parametrize("returns, expected", [
    ("clip:vnode;", "VideoNode"),
    ("clips:vnode[];", "VideoNode | list[VideoNode]"),
    ("frame:vframe;", "VideoFrame"),
    ("any", "Any"),
    ("", "Any"),
    ("a:int;b:float;", "Any"),
])
def test_result_types(returns, expected):
    assert result_type(returns) == expected


# Calls the generated stub must accept, typed exactly; mv has parameters
# named lambda and global.
GOOD = '''
from typing import assert_type

import lumeq
from lumeq import core

clip = core.std.BlankClip(width=64, height=64, format=lumeq.YUV420P8)
assert_type(core.std.BoxBlur(clip, hradius=2), lumeq.VideoNode)
assert_type(clip.std.BoxBlur(hradius=2, planes=[0]), lumeq.VideoNode)
assert_type(lumeq.Core().mv.Analyse(core.mv.Super(clip), lambda_=5, global_=1), lumeq.VideoNode)
assert_type(core.std.SplitPlanes(clip), lumeq.VideoNode | list[lumeq.VideoNode])


def stamp(n: int, f: lumeq.VideoFrame) -> lumeq.VideoFrame:
    out = f.copy()
    out.props["Stamped"] = n
    return out


def choose(n: int) -> lumeq.VideoNode:
    return core.std.BlankClip(clip, color=[n % 255, 128, 128])


stamped = core.std.ModifyFrame(clip, clips=clip, selector=stamp)
assert_type(stamped.std.FrameEval(choose) + stamped, lumeq.VideoNode)
assert_type(core.std.BlankAudio().std.AudioTrim(0, 9), lumeq.AudioNode)
plugin: lumeq.Plugin = core.mv
for loaded in core.plugins():
    loaded.AnyFunction
'''

BAD = '''
from lumeq import core
clip = core.std.BlankClip()
core.std.BoxBlur(clip, hradius="x")
core.mv.Analyse(clip, lambda_="5")
clip.std.BoxBlur(clip)
core.std.BoxBlr(clip)
clip.std.AudioTrim(0, 9)
'''


@pytest.fixture(scope="module")
def with_mvtools():
    if not hasattr(lumeq.core, "mv"):
        pytest.skip("vapoursynth-mvtools is not installed")


def test_generated_stub_checks_plugin_calls(tmp_path, with_mvtools):
    proc = run(["-m", "lumeq_stubgen", "--out", "typings"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "namespaces" in proc.stderr
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    env = {"MYPYPATH": str(tmp_path / "typings")}
    proc = run(["-m", "mypy", "--strict", "--no-error-summary", "good.py"], tmp_path, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = run(["-m", "mypy", "--no-error-summary", "bad.py"], tmp_path, env=env)
    assert flagged_lines(proc) == set(range(4, 9)), proc.stdout


def test_installs_as_a_stub_package(tmp_path):
    # An environment of its own that sees this one's packages through a .pth
    # file, so the stub package goes into its site-packages, not this one's.
    venv = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    purelib = run(["-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], tmp_path, python).stdout.strip()
    inherited = [p for p in sys.path if p.endswith("site-packages")]
    with open(os.path.join(purelib, "inherited.pth"), "w") as pth:
        pth.write("\n".join(inherited) + "\n")
    proc = run(["-m", "lumeq_stubgen"], tmp_path, python)
    assert proc.returncode == 0, proc.stderr
    assert os.path.isfile(os.path.join(purelib, "lumeq-stubs", "__init__.pyi"))
    (tmp_path / "script.py").write_text("from lumeq import core\nreveal_type(core.std.Trim(core.std.BlankClip(), 1))\n")
    proc = run(["-m", "mypy", "--no-error-summary", "script.py"], tmp_path, python)
    assert 'Revealed type is "lumeq.VideoNode"' in proc.stdout, proc.stdout + proc.stderr


def test_unwritable_target_is_one_line_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    proc = run(["-m", "lumeq_stubgen", "--out", str(blocker)], tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith("lumeq-stubgen: error: cannot write the stubs") and proc.stderr.count("\n") == 1
