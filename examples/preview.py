"""A script to look at with lumeq-preview: a source, a filtered version to
compare it with, and its sound.

    lumeq-preview -a src=in.mkv examples/preview.py
"""
from lumeq import core

source = core.bs.VideoSource(src)
source.set_output(0)
source.std.BoxBlur(hradius=2, vradius=2).set_output(1)
core.bs.AudioSource(src).set_output(2)
