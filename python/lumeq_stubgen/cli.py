"""The lumeq-stubgen command: write lumeq's stub with the loaded plugins' namespaces."""
from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import sysconfig
import tempfile
from pathlib import Path
from typing import Sequence

from .render import Namespace, PluginFunction, with_namespaces

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2

_DESCRIPTION = """\
Write type stubs for lumeq that include every plugin namespace loaded in this
environment: each function with its parameters typed from its signature, and
the functions that take a clip first also as methods of the clip. Editors and
mypy then check plugin calls. Run it again after installing or removing a
plugin, or upgrading lumeq.

Without --out, the stubs are installed as the stub package lumeq-stubs in this
environment's site-packages, where mypy and editors find them.
"""

_EPILOG = """\
examples:
  lumeq-stubgen                       # install into this environment
  lumeq-stubgen --out typings         # write typings/lumeq.pyi
  MYPYPATH=typings mypy --strict script.py

exit status: 0 done, 1 the stubs could not be made or written, 2 bad usage.
"""


class StubError(Exception):
    pass


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lumeq-stubgen", description=_DESCRIPTION, epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", metavar="DIR", type=Path,
                        help="write DIR/lumeq.pyi instead of installing the stub package")
    return parser


def loaded_namespaces() -> list[Namespace]:
    import lumeq
    try:
        core = lumeq.Core(threads=1)
    except RuntimeError as exc:
        raise StubError(str(exc)) from None
    return [
        Namespace(plugin.namespace, plugin.name, tuple(
            PluginFunction(f.name, f.signature, f.return_signature) for f in plugin.functions()))
        for plugin in core.plugins()
    ]


def class_members() -> dict[str, set[str]]:
    import lumeq
    return {cls.__name__: set(dir(cls)) for cls in (lumeq.Core, lumeq.CoreProxy, lumeq.VideoNode, lumeq.AudioNode)}


def base_stub() -> str:
    """The stub installed beside the module: what this build of lumeq defines."""
    spec = importlib.util.find_spec("lumeq")
    if spec is None or spec.origin is None:
        raise StubError("lumeq is not installed in this environment")
    path = Path(spec.origin).with_name("lumeq.pyi")
    try:
        return path.read_text(encoding="utf-8")
    except OSError as exc:
        raise StubError(f"cannot read lumeq's own stub {path}: {exc.strerror}") from None


def _write_atomically(path: Path, text: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=".lumeq-stubgen-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(text)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def install_target() -> Path:
    return Path(sysconfig.get_paths()["purelib"]) / "lumeq-stubs"


def write_stubs(text: str, out: Path | None) -> Path:
    try:
        if out is not None:
            target = out / "lumeq.pyi"
            _write_atomically(target, text)
            return target
        package = install_target()
        _write_atomically(package / "py.typed", "")
        target = package / "__init__.pyi"
        _write_atomically(target, text)
        return target
    except OSError as exc:
        raise StubError(f"cannot write the stubs: {exc.strerror}: {exc.filename}") from None


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:
        return int(exit_.code or 0)
    try:
        namespaces = loaded_namespaces()
        try:
            text = with_namespaces(base_stub(), namespaces, class_members())
        except ValueError as exc:  # a base stub this generator does not know
            raise StubError(f"lumeq's own stub is not what lumeq-stubgen expects: {exc}") from None
        target = write_stubs(text, args.out)
    except StubError as exc:
        print(f"lumeq-stubgen: error: {exc}", file=sys.stderr)
        return EXIT_ERROR
    count = sum(len(n.functions) for n in namespaces)
    print(f"lumeq-stubgen: {len(namespaces)} namespaces, {count} functions -> {target}", file=sys.stderr)
    return EXIT_OK
