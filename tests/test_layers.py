"""The floors of src/: includes go down (or stay), never up or round."""
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "tools" / "check_layers.py"
_spec = importlib.util.spec_from_file_location("check_layers", CHECK)
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)


def run_check(src):
    return subprocess.run([sys.executable, str(CHECK), str(src)], capture_output=True, text=True, timeout=60)


def test_the_tree_keeps_its_floors():
    done = run_check(ROOT / "src")
    assert done.returncode == 0, done.stderr


BASE = {
    "runtime/boundary.hpp": "",
    "frames/video_frame.hpp": '#include "runtime/boundary.hpp"\n',
    "calls/convert.hpp": '#include "frames/video_frame.hpp"\n',
    "cores/core.hpp": '#include "calls/convert.hpp"\n',
}


@pytest.mark.parametrize("files, fault", [
    ({"frames/video_frame.cpp": '#include "cores/core.hpp"\n'},
     'frames/video_frame.cpp:1: frames/ includes "cores/core.hpp" from cores/, a floor above it'),
    ({"frames/frame_props.cpp": '// Up to calls: properties hold clips.\n#include "calls/convert.hpp"\n'},
     'frames/frame_props.cpp:2: frames/ includes "calls/convert.hpp" from calls/, a floor above it'),
    ({"runtime/args.hpp": '#include "runtime/owner.hpp"\n', "runtime/owner.hpp": '#include "runtime/args.hpp"\n'},
     "include loop: runtime/args.hpp -> runtime/owner.hpp -> runtime/args.hpp"),
    ({"calls/plugin.cpp": '#include "convert.hpp"\n'}, '"convert.hpp" names no folder of src/'),
    ({"calls/plugin.cpp": '#include "calls/missing.hpp"\n'}, '"calls/missing.hpp" does not exist'),
    ({"plugin.cpp": ""}, "plugin.cpp: not in one of the folders"),
])
def test_faults_are_named_with_their_line(tmp_path, files, fault):
    write_tree(tmp_path, files)
    done = run_check(tmp_path)
    assert done.returncode == 1
    assert fault in done.stderr


def write_tree(root, files):
    for name, text in {**BASE, **files}.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)


# No include may climb today; the exceptions the rule allows still need
# their reason written above them.
@pytest.mark.parametrize("text, faults", [
    ('// Up to calls: properties hold clips.\n#include "calls/convert.hpp"\n', []),
    ('#include "calls/convert.hpp"\n',
     ['frames/frame_props.cpp:1: the upward include of "calls/convert.hpp" needs a comment above it saying why']),
])
def test_an_allowed_upward_include_needs_its_reason(tmp_path, text, faults):
    write_tree(tmp_path, {"frames/frame_props.cpp": text})
    assert check_layers.check(tmp_path, frozenset({("frames", "calls/convert.hpp")})) == faults


def test_more_allowed_upward_includes_than_the_rule_fail(tmp_path):
    write_tree(tmp_path, {})
    allowed = frozenset({("frames", f"calls/h{i}.hpp") for i in range(check_layers.MAX_UPWARD + 1)})
    assert check_layers.check(tmp_path, allowed) == ["4 upward includes are allowed; the rule is at most 3"]
