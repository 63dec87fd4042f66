"""VapourSynth format ids for the tests (the packing of VS_MAKE_VIDEO_ID)."""


def video_id(family, sample, bits, sub_w=0, sub_h=0):
    return (family << 28) | (sample << 24) | (bits << 16) | (sub_w << 8) | sub_h
