"""MkDocs hooks: a tool page's option reference is the tool's own --help
text, produced at build time, so the site lists every option the installed
tool has and no other."""
from __future__ import annotations

import importlib
import os
import re
from typing import Any

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
