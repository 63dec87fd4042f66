"""The documentation: every example on the site and in the README runs, and
the API reference covers every public name of the stubs."""
import ast
import re
import shutil
import subprocess
import sys

import pytest

import docs_examples

ROOT = docs_examples.ROOT
RUNNABLE = [page for page in docs_examples.pages()
            if any(block.not_run_reason is None for block in docs_examples.blocks(page))]


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    """The files the examples open: a short video and ten seconds of stereo."""
    if shutil.which("ffmpeg") is None:
        pytest.skip("ffmpeg is not installed")
    folder = tmp_path_factory.mktemp("media")
    make = ["ffmpeg", "-v", "error", "-y"]
    subprocess.run([*make, "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=24:duration=2",
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", str(folder / "in.mp4")], check=True)
    subprocess.run([*make, "-i", str(folder / "in.mp4"), "-c", "copy", str(folder / "video.mkv")], check=True)
    subprocess.run([*make, "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=10",
                    "-ac", "2", "-sample_fmt", "s16", str(folder / "in.flac")], check=True)
    return folder


@pytest.mark.parametrize("page", RUNNABLE, ids=[str(p.relative_to(ROOT)) for p in RUNNABLE])
def test_examples_run(page, media, tmp_path):
    for source in media.iterdir():
        shutil.copy(source, tmp_path)
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    proc = subprocess.run([sys.executable, docs_examples.__file__, str(page)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]


def test_every_skipped_example_says_why():
    # blocks() refuses a skip without a reason; reading every page checks them all.
    for page in docs_examples.pages():
        docs_examples.blocks(page)


def test_markers_are_read(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("<!-- example: setup\nx = 1\n-->\n```python\n# a.py\nprint(x)\n```\n\n"
                    "<!-- example: skip needs a cluster -->\n```sh\nlumeq-farm x y\n```\n\n"
                    "```sh\npip install lumeq\n```\n\n```sh\nlumeq-pipe --info a.py\n```\n")
    assert [(b.setup, b.file, b.not_run_reason) for b in docs_examples.blocks(page)] == [
        ("x = 1", "a.py", None),
        ("", None, "needs a cluster"),
        ("", None, "names neither lumeq-pipe nor lumeq-farm"),
        ("", None, None),
    ]


def public_stub_names():
    tree = ast.parse((ROOT / "stubs" / "lumeq.pyi").read_text())
    names = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    names |= {node.target.id for node in tree.body
              if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
              and "PresetVideoFormat" not in ast.unparse(node.annotation)}
    return {name for name in names if not name.startswith("_")}


def test_api_reference_covers_the_stubs():
    documented = set()
    for page in (ROOT / "docs" / "api").glob("*.md"):
        documented |= set(re.findall(r"^::: lumeq\.(\w+)", page.read_text(), re.M))
    assert documented == public_stub_names()


def test_readme_links_reach_files():
    # The site's own links are checked by its strict build; the README's are not.
    text = (ROOT / "README.md").read_text()
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    assert targets
    missing = [t for t in targets if "://" not in t and not (ROOT / t).exists()]
    assert missing == []
