# A real file through a source plugin from PyPI (pip install vapoursynth-bestsource):
#   lumeq-pipe -a src=in.mp4 -a width=640 -a height=360 examples/source_resize.py - \
#     | ffmpeg -i - -c:v libx264 -crf 18 out.mkv
from lumeq import core

clip = core.bs.VideoSource(src)
if "width" in globals():
    clip = clip.resize.Bicubic(int(width), int(height))
clip.set_output()
