"""MkDocs hooks. A tool page's option reference is the tool's own --help
text, produced at build time, so the site lists every option the installed
tool has and no other. Pictures made by other parts of the tree (the
benchmark plot) are taken from where they are made."""
from __future__ import annotations

import importlib
import os
import re
from pathlib import Path
from typing import Any

from mkdocs.config.defaults import MkDocsConfig
from mkdocs.structure.files import File, Files

# <!-- cli-help lumeq_pipe.cli --> names a module with build_parser().
CLI_HELP = re.compile(r"^<!-- cli-help ([\w.]+) -->$", re.MULTILINE)


def cli_help(module_name: str) -> str:
    parser = importlib.import_module(module_name).build_parser()
    # argparse wraps to the terminal's width; the page needs one fixed width.
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "88"
    try:
        text = parser.format_help()
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved
    return f"```text\n{text.rstrip()}\n```"


def on_page_markdown(markdown: str, **kwargs: Any) -> str:
    return CLI_HELP.sub(lambda m: cli_help(m.group(1)), markdown)


# Files of the site kept elsewhere in the tree, where their makers write them.
ASSETS = {"assets/bench/results.png": "bench/results.png"}


def on_files(files: Files, config: MkDocsConfig) -> Files:
    root = Path(config.config_file_path).parent
    for uri, source in ASSETS.items():
        files.append(File.generated(config, uri, abs_src_path=str(root / source)))
    return files
