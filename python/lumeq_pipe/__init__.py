"""lumeq-pipe: render an output of a lumeq script as YUV4MPEG2 or raw planes.

Run it as ``lumeq-pipe SCRIPT OUT`` (or ``python -m lumeq_pipe``); `main`
takes the same arguments as a list.
"""
from .cli import main

__all__ = ["main"]
