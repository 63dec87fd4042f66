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

import griffe
from mkdocs.config.defaults import MkDocsConfig
from mkdocs.structure.files import File, Files
from mkdocs.structure.pages import Page

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


# <!-- api-summary --> on the reference's front page: every object the
# reference pages document, with the first paragraph of its docstring.
API_SUMMARY = "<!-- api-summary -->"
DOCUMENTED = re.compile(r"^::: (lumeq\.\w+)", re.MULTILINE)


def api_summary(docs_dir: Path) -> str:
    # The reference's own view: the same stubs and the same extension.
    here = Path(__file__).parent
    extensions = griffe.load_extensions(f"{here / 'runtime_docstrings.py'}:RuntimeDocstrings")
    module = griffe.load("lumeq", search_paths=[str(here / "stubs")], find_stubs_package=True,
                         extensions=extensions)
    lines = ["| | |", "|---|---|"]
    for page in sorted((docs_dir / "api").glob("*.md")):
        for path in DOCUMENTED.findall(page.read_text()):
            docstring = module[path.removeprefix("lumeq.")].docstring
            first = docstring.value.split("\n\n")[0].replace("\n", " ") if docstring else ""
            lines.append(f"| [`{path.removeprefix('lumeq.')}`][{path}] | {first.replace('|', '\\|')} |")
    return "\n".join(lines)


def on_page_markdown(markdown: str, page: Page, config: MkDocsConfig, **kwargs: Any) -> str:
    if API_SUMMARY in markdown:
        markdown = markdown.replace(API_SUMMARY, api_summary(Path(config.docs_dir)))
    return CLI_HELP.sub(lambda m: cli_help(m.group(1)), markdown)


# Files of the site kept elsewhere in the tree, where their makers write them.
ASSETS = {"assets/bench/results.png": "bench/results.png"}


def on_files(files: Files, config: MkDocsConfig) -> Files:
    root = Path(config.config_file_path).parent
    for uri, source in ASSETS.items():
        files.append(File.generated(config, uri, abs_src_path=str(root / source)))
    return files
