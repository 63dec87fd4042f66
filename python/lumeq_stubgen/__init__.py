"""lumeq-stubgen: type stubs for the plugins loaded in this environment.

Run it as ``lumeq-stubgen`` (or ``python -m lumeq_stubgen``); `main` takes
the same arguments as a list.
"""
from .cli import main

__all__ = ["main"]
