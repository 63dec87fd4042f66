"""The floors of src/: includes go down (or stay), never up or round."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "tools" / "check_layers.py"


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
    ({"frames/frame_props.cpp": '#include "calls/convert.hpp"\n'},
     'frames/frame_props.cpp:1: the upward include of "calls/convert.hpp" needs a comment above it'),
    ({"runtime/args.hpp": '#include "runtime/owner.hpp"\n', "runtime/owner.hpp": '#include "runtime/args.hpp"\n'},
     "include loop: runtime/args.hpp -> runtime/owner.hpp -> runtime/args.hpp"),
    ({"calls/plugin.cpp": '#include "convert.hpp"\n'}, '"convert.hpp" names no folder of src/'),
    ({"calls/plugin.cpp": '#include "calls/missing.hpp"\n'}, '"calls/missing.hpp" does not exist'),
    ({"plugin.cpp": ""}, "plugin.cpp: not in one of the folders"),
])
def test_faults_are_named_with_their_line(tmp_path, files, fault):
    for name, text in {**BASE, **files}.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    done = run_check(tmp_path)
    assert done.returncode == 1
    assert fault in done.stderr


def test_an_allowed_upward_include_with_its_reason_passes(tmp_path):
    for name, text in BASE.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    (tmp_path / "frames/frame_props.cpp").write_text('// Up to calls: properties hold clips.\n#include "calls/convert.hpp"\n')
    done = run_check(tmp_path)
    assert done.returncode == 0, done.stderr
