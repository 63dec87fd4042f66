"""The type stubs: they match the runtime module, and they give the types a
user of lumeq should see."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"


def run_mypy(args, cwd):
    env = dict(os.environ)
    env["MYPYPATH"] = str(STUBS)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    # Its cache goes into the working directory, so keep that out of the tree.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cwd,
                          timeout=300)


def test_stubtest_passes(tmp_path):
    proc = run_mypy(["mypy.stubtest", "lumeq", "--allowlist", str(STUBS / "stubtest-allowlist.txt")], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# What stubtest cannot check: return and argument types, and code that uses
# them, the host tool included.
USAGE = '''
import inspect
from fractions import Fraction
from types import MappingProxyType
from typing import assert_type

import lumeq
from lumeq import core

clip = lumeq.Core().std.BlankClip(width=8, height=8)
assert_type(clip, Any)
node: lumeq.VideoNode = clip
assert_type(node[0], lumeq.VideoNode)
assert_type(node[1:3] + node * 2, lumeq.VideoNode)
assert_type(node.fps, Fraction)
assert_type(node.format_name, str | None)
for frame in node.frames(prefetch=2):
    assert_type(frame, lumeq.VideoFrame)
    assert_type(frame[0], memoryview)
    assert_type(list(frame), list[memoryview])
    assert_type(frame.format.color_family, lumeq.ColorFamily)
    assert_type(lumeq.YUV420P8, lumeq.PresetVideoFormat)
    assert_type(lumeq.Range.FULL == 1, bool)
    assert_type(frame.props, lumeq.FrameProps | lumeq.ReadOnlyFrameProps)
    copy = frame.copy()
    copy.props["n"] = 1
    assert_type(copy.readonly, bool)
assert_type(core.create_video_frame(frame.format, 8, 8).props, lumeq.FrameProps)
assert_type(lumeq.__version__, str)
assert_type(list(node), list[lumeq.VideoNode])
out = lumeq.get_output(0)
assert not isinstance(out, lumeq.AudioNode)
assert_type(out.alpha, lumeq.VideoNode | None)
assert_type(out[2], int)
assert_type(lumeq.get_outputs(), MappingProxyType[int, lumeq.VideoOutputTuple | lumeq.AudioNode])
sound = core.std.BlankAudio()
assert isinstance(sound, lumeq.AudioNode)
assert_type(sound[::-1] + sound, lumeq.AudioNode)
assert_type(sound.get_frame(0)[0], memoryview)
assert_type(next(sound.frames()), lumeq.AudioFrame)
assert_type(sound.get_frame(0).copy().readonly, bool)
assert_type(sound.std.AudioTrim(0, 9), Any)
assert_type(core.num_threads, int)
assert_type(core.std, lumeq.Plugin)
assert_type(core.std.Trim, lumeq.Function)
assert_type(core.std.Trim(node, 1, None), Any)
assert_type(node.std, lumeq.Plugin)
assert_type(node.std.Trim(1), Any)
assert_type(core.std.Trim.__signature__, inspect.Signature)
lumeq.core.num_threads = 2
assert_type(core.version(), str)
assert_type(lumeq.core.version_number(), int)
assert_type(lumeq.ColorFamily.RGB, lumeq.ColorFamily)

async def render() -> None:
    assert_type(await node.get_frame_async(0), lumeq.VideoFrame)
    async for rendered in node.frames(prefetch=2):
        assert_type(rendered, lumeq.VideoFrame)
    assert_type(await node.frames().aclose(), None)

class Policy(lumeq.EnvironmentPolicy):
    def __init__(self) -> None:
        self.current: lumeq.EnvironmentData | None = None
    def on_policy_registered(self, _special_api: lumeq.EnvironmentPolicyAPI) -> None:
        self.current = _special_api.create_environment()
    def get_current_environment(self) -> lumeq.EnvironmentData | None:
        return self.current

lumeq.register_policy(Policy())
with lumeq.get_current_environment().use() as nothing:
    assert_type(nothing, None)
'''

MISUSE = '''
import lumeq
node: lumeq.VideoNode = lumeq.core.std.BlankClip()
node.get_frame("1")
2 * node
node + 1
lumeq.core.version(node)
lumeq.get_current_environment() < lumeq.get_current_environment()
lumeq.register_policy(object())
node.get_frame(0).props["x"] = 1
'''


def test_types_seen_by_users(tmp_path):
    (tmp_path / "usage.py").write_text("from typing import Any\n" + textwrap.dedent(USAGE))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    proc = run_mypy(["mypy", "--strict", "--no-error-summary", "usage.py", str(ROOT / "python" / "lumeq_pipe"),
                     str(ROOT / "python" / "lumeq_farm"),
                     str(ROOT / "python" / "lumeq_stubgen")],
                    tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = run_mypy(["mypy", "--no-error-summary", "misuse.py"], tmp_path)
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(4, 11)), proc.stdout
