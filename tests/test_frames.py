"""VideoFrame: size, properties, planes and their read-only buffers."""
import ctypes
import gc
import re

import numpy as np
import pytest

import lumeq
from vsformat import video_id


GRAY8, GRAY16, GRAY32 = (video_id(1, 0, b, 0, 0) for b in (8, 16, 32))
GRAYH, GRAYS = video_id(1, 1, 16, 0, 0), video_id(1, 1, 32, 0, 0)
YUV420P8 = video_id(3, 0, 8, 1, 1)

# Buffer request flags.
WRITABLE, FORMAT, ND = 0x1, 0x4, 0x8
STRIDES = 0x10 | ND
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS = 0x20 | STRIDES, 0x40 | STRIDES, 0x80 | STRIDES


class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


# Private prototypes: the attributes of ctypes.pythonapi are shared by every test module.
get_buffer = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_int)(
    ("PyObject_GetBuffer", ctypes.pythonapi))
release_buffer = ctypes.PYFUNCTYPE(None, ctypes.c_void_p)(("PyBuffer_Release", ctypes.pythonapi))


def request(exporter, flags, view=True):
    """Asks `exporter` for a buffer with raw request flags; returns the filled fields."""
    buf = Py_buffer()
    get_buffer(exporter, ctypes.addressof(buf) if view else None, flags)
    try:
        return {"len": buf.len, "itemsize": buf.itemsize, "readonly": buf.readonly, "format": buf.format,
                "shape": tuple(buf.shape[:2]), "strides": tuple(buf.strides[:2]), "obj": buf.obj}
    finally:
        release_buffer(ctypes.addressof(buf))


@pytest.fixture
def yuv(blank):
    return blank(format=YUV420P8, width=640, height=480, color=[16, 128, 200]).get_frame(0)


def test_planes_of_yuv420(yuv):
    assert (yuv.width, yuv.height) == (640, 480)
    assert len(yuv) == yuv.format.num_planes == 3
    assert [mv.shape for mv in yuv] == [(480, 640), (240, 320), (240, 320)]
    mv = yuv[1]
    assert (mv.format, mv.itemsize, mv.ndim, mv.readonly, mv.nbytes) == ("B", 1, 2, True, 240 * 320)
    assert mv.strides[1] == 1 and mv.strides[0] >= 320 and mv.strides[0] % 32 == 0  # VapourSynth's aligned stride


def test_padded_rows_are_skipped(vcore):
    # Rows of value 0..5, 100 samples each: the stride exceeds the width, so
    # padding read as pixels would break the row pattern.
    rows = [vcore.std.BlankClip(format=GRAY8, width=100, height=1, color=[i], length=1) for i in range(6)]
    mv = vcore.std.StackVertical(clips=rows).get_frame(0)[0]
    assert mv.strides[0] > 100
    expected = np.repeat(np.arange(6, dtype=np.uint8)[:, None], 100, axis=1)
    assert np.array_equal(np.asarray(mv), expected) and bytes(mv) == expected.tobytes()


@pytest.mark.parametrize(
    "fmt, code, color, dtype",
    [(GRAY8, "B", 200, np.uint8), (GRAY16, "H", 1000, np.uint16), (GRAY32, "I", 70000, np.uint32),
     (GRAYH, "e", 0.25, np.float16), (GRAYS, "f", 0.5, np.float32)],
)
def test_sample_formats(blank, fmt, code, color, dtype):
    mv = blank(format=fmt, width=50, height=6, color=[color]).get_frame(0)[0]
    size = np.dtype(dtype).itemsize
    assert (mv.format, mv.itemsize, mv.strides[1], mv.shape) == (code, size, size, (6, 50))
    array = np.asarray(mv)
    assert array.dtype == dtype and np.all(array == dtype(color))


def test_numpy_shares_plane_memory(yuv):
    arrays = [np.asarray(mv) for mv in yuv]
    assert np.asarray(yuv[0]).__array_interface__["data"] == arrays[0].__array_interface__["data"]  # no copy
    assert not arrays[0].flags.writeable
    assert [int(a.min()) for a in arrays] == [int(a.max()) for a in arrays] == [16, 128, 200]


def test_plane_outlives_frame_clip_and_core():
    core = lumeq.Core()
    clip = core.std.BlankClip(format=GRAY16, width=33, height=7, color=[4321])
    frame = clip.get_frame(0)
    mv = frame[0]
    del frame, clip, core
    gc.collect()
    assert np.all(np.asarray(mv) == 4321)


@pytest.mark.parametrize("index", [3, -1, 2**31 - 1])
def test_plane_index_out_of_range(yuv, index):
    with pytest.raises(IndexError, match="^index out of range$"):
        yuv[index]


@pytest.mark.parametrize("index, exc", [(2**40, OverflowError), ("0", TypeError), (1.0, TypeError)])
def test_plane_index_conversion_errors(yuv, index, exc):
    with pytest.raises(exc) as info:
        yuv[index]
    assert "while processing 'index'" in info.value.__notes__


def test_repr(yuv):
    pattern = r"<lumeq\.VideoFrame object at 0x([0-9A-F]{16}) format=YUV420P8, width=640, height=480, readonly=True>"
    match = re.fullmatch(pattern, repr(yuv))
    assert match and int(match.group(1), 16) == id(yuv)


def test_frames_of_variable_size_clip(vcore):
    parts = [vcore.std.BlankClip(format=YUV420P8, width=16, height=16, length=1),
             vcore.std.BlankClip(format=GRAY8, width=32, height=8, length=1)]
    joined = vcore.std.Splice(clips=parts, mismatch=1)
    assert (joined.width, joined.height) == (0, 0)
    # Each frame still has a concrete size and format of its own.
    assert repr(joined.get_frame(0)).endswith(" format=YUV420P8, width=16, height=16, readonly=True>")
    assert repr(joined.get_frame(1)).endswith(" format=Gray8, width=32, height=8, readonly=True>")


def test_props(vcore):
    base = vcore.std.BlankClip(width=8, height=8)
    frame = base.get_frame(0)
    props = frame.props
    assert props == {"_DurationNum": 1, "_DurationDen": 24}
    with pytest.raises(TypeError):
        props["x"] = 1
    assert "x" not in frame.props
    assert vcore.std.RemoveFrameProps(clip=base).get_frame(0).props == {}
    tagged = vcore.std.SetFrameProps(clip=base, i=7, fl=2.5, s="text", data=b"\x00\xff", ints=[1, 2], floats=[0.5, 1.5])
    props = tagged.get_frame(0).props
    assert (props["i"], props["fl"], props["s"], props["data"]) == (7, 2.5, "text", b"\x00\xff")
    assert (props["ints"], props["floats"]) == ([1, 2], [0.5, 1.5])


def test_frame_stored_in_props(vcore):
    alpha = vcore.std.BlankClip(format=GRAY8, width=8, height=4, color=[7])
    frame = vcore.std.ClipToProp(clip=vcore.std.BlankClip(width=8, height=4), mclip=alpha).get_frame(0)
    stored = frame.props["_Alpha"]
    del frame
    gc.collect()
    assert isinstance(stored, lumeq.VideoFrame) and (stored.format.name, stored.width) == ("Gray8", 8)
    assert np.all(np.asarray(stored[0]) == 7)


def test_plane_memoryview_is_read_only(yuv):
    mv = yuv[0]
    with pytest.raises(TypeError):
        mv[0, 0] = 1
    plane = mv.obj
    assert (type(plane).__name__, type(plane).__module__) == ("Plane", "lumeq")
    assert memoryview(plane).shape == mv.shape


@pytest.mark.parametrize(
    "flags, message",
    [(WRITABLE, "frame planes are read-only"), (STRIDES | WRITABLE, "frame planes are read-only"),
     (0, "strided buffer required (planes are not C-contiguous)"),
     (ND | FORMAT, "strided buffer required (planes are not C-contiguous)"),
     (0x10, "strided buffer required (planes are not C-contiguous)")],
)
def test_buffer_requests_refused(yuv, flags, message):
    with pytest.raises(BufferError) as info:
        request(yuv[0].obj, flags)
    assert str(info.value) == message
    with pytest.raises(BufferError, match="^null view$"):
        request(yuv[0].obj, flags, view=False)


def test_strided_request_fields(blank):
    plane = blank(format=GRAY16, width=50, height=6).get_frame(0)[0].obj
    view = request(plane, STRIDES | FORMAT)
    assert (view["format"], view["readonly"], view["len"], view["itemsize"]) == (b"H", 1, 50 * 6 * 2, 2)
    assert view["shape"] == (6, 50) and view["strides"][1] == 2 and view["strides"][0] > 100  # padded, still answered
    assert view["obj"] is plane
    assert request(plane, STRIDES)["format"] is None


@pytest.mark.parametrize("flags", [C_CONTIGUOUS, ANY_CONTIGUOUS, F_CONTIGUOUS])
def test_contiguous_request_refused_for_padded_rows(blank, flags):
    plane = blank(format=GRAY8, width=100, height=4).get_frame(0)[0].obj
    with pytest.raises(BufferError):
        request(plane, flags | FORMAT)


@pytest.mark.parametrize("flags", [C_CONTIGUOUS, ANY_CONTIGUOUS])
def test_contiguous_request_answered_without_padding(blank, flags):
    plane = blank(format=GRAY8, width=128, height=4).get_frame(0)[0].obj
    view = request(plane, flags)
    assert view["strides"] == (128, 1) and view["len"] == 128 * 4
    with pytest.raises(BufferError):  # rows of several samples are never Fortran-ordered
        request(plane, F_CONTIGUOUS)


@pytest.mark.parametrize(
    "write",
    [
        lambda p: p.__setitem__("x", 1),
        lambda p: p.__delitem__("_DurationNum"),
        lambda p: p.update(x=1),
        lambda p: p.pop("_DurationNum"),
    ],
)
def test_read_only_frame_props_refuse_writes(vcore, write):
    frame = vcore.std.BlankClip(width=16, height=16).get_frame(0)
    with pytest.raises((TypeError, AttributeError)):
        write(frame.props)
    assert frame.props["_DurationNum"] == 1 and "x" not in frame.props


# ------------------------------------------------------------ writable frames

@pytest.fixture(params=["video", "audio"])
def source(request, yuv, vcore):
    """A read-only frame: video planes, or audio channels whose samples differ."""
    if request.param == "video":
        return yuv
    return vcore.std.BlankAudio(length=5000, bits=32, sampletype=1, waveform="sine", frequency=441.5,
                                amplitude=0.5).get_frame(1)


@pytest.fixture
def writable(source):
    copy = source.copy()
    if "_DurationNum" not in copy.props:  # audio frames come without durations
        copy.props.update(_DurationNum=1, _DurationDen=24)
    return copy


def test_copy_is_writable_and_independent(source, writable):
    assert (source.readonly, writable.readonly) == (True, False)
    assert repr(writable).endswith("readonly=False>") and repr(source).endswith("readonly=True>")
    before = [np.array(buffer) for buffer in source]
    assert all(np.array_equal(np.asarray(buffer), old) for buffer, old in zip(writable, before))
    planes = [np.asarray(writable[i]) for i in range(len(writable))]
    assert all(p.flags.writeable for p in planes)
    planes[1][:] = 7
    del planes
    assert (np.asarray(writable[1]) == 7).all() and np.array_equal(np.asarray(source[1]), before[1])
    # A copy of a frame with a buffer still out gets planes of its own.
    live = np.asarray(writable[0])
    second = writable.copy()
    live[:] = 1
    assert np.array_equal(np.asarray(second[0]), before[0]) and (np.asarray(writable[0]) == 1).all()


@pytest.mark.parametrize("edit, expected", [
    (lambda p: p.__setitem__("x", 5), {"x": 5}),
    (lambda p: p.update({"a": "text"}, b=[1.5, 2.0]), {"a": "text", "b": [1.5, 2.0]}),
    (lambda p: p.__setitem__("_DurationNum", b"\x01"), {"_DurationNum": b"\x01"}),
    (lambda p: p.__delitem__("_DurationNum"), {"_DurationNum": None}),
    (lambda p: p.__setitem__("_DurationNum", None), {"_DurationNum": None}),
    (lambda p: p.pop("_DurationDen"), {"_DurationDen": None}),
    (lambda p: p.clear(), {"_DurationNum": None, "_DurationDen": None}),
])
def test_writable_props_are_live(source, writable, edit, expected):
    kept = dict(source.props)
    props = writable.props
    edit(props)
    for key, value in expected.items():
        assert writable.props.get(key) == value and props.get(key) == value
        assert (key in props) == (value is not None)
    assert dict(props) == writable.props.copy() and len(props) == len(list(props))
    assert props == dict(props.items()) and dict(source.props) == kept


@pytest.mark.parametrize("key, value, exc", [
    ("x", object(), TypeError),
    ("my-key", 1, TypeError),
    (3, 1, TypeError),
    ("clip", "CLIP", TypeError),
    ("mixed", [1, 2.5], RuntimeError),
])
def test_writable_props_refusals_keep_the_frame(vcore, writable, key, value, exc):
    if value == "CLIP":
        value = vcore.std.BlankClip()
    before = dict(writable.props)
    with pytest.raises(exc):
        writable.props[key] = value
    assert dict(writable.props) == before
    with pytest.raises(KeyError):
        del writable.props["missing"]


@pytest.mark.parametrize("make_value, exc", [
    (lambda me, other, busy: me, TypeError),
    (lambda me, other, busy: [other, me], TypeError),
    (lambda me, other, busy: [other, object()], TypeError),
    (lambda me, other, busy: [other, busy], BufferError),
], ids=["itself", "itself-in-list", "unconvertible", "buffer-out"])
def test_refused_frame_store_hands_nothing_over(writable, make_value, exc):
    other, busy = writable.copy(), writable.copy()
    view = busy[0]
    with pytest.raises(exc):
        writable.props["x"] = make_value(writable, other, busy)
    assert [f.readonly for f in (writable, other, busy)] == [False] * 3 and "x" not in writable.props
    view.release()
    writable.props["x"] = [other, busy]
    assert other.readonly and busy.readonly and not writable.readonly


def test_handed_over_frame_refuses_writes(vcore, writable):
    props = writable.props
    view = writable[0]
    plane = view.obj
    holder = vcore.std.BlankClip(width=16, height=16)
    with pytest.raises(BufferError, match="writable plane buffer"):
        vcore.std.SetFrameProps(clip=holder, kept=writable)
    view.release()
    stored = vcore.std.SetFrameProps(clip=holder, kept=writable).get_frame(0)
    assert writable.readonly and stored.props["kept"].props == writable.props
    with pytest.raises(TypeError):
        props["x"] = 1
    with pytest.raises(TypeError):
        writable.props["x"] = 1
    with pytest.raises(BufferError, match="read-only"):
        request(plane, WRITABLE | STRIDES)
    assert not np.asarray(writable[0]).flags.writeable


@pytest.mark.parametrize("fmt, size", [(YUV420P8, (8, 6)), (GRAYS, (5, 3))])
def test_create_video_frame(vcore, fmt, size):
    frame = vcore.create_video_frame(vcore.get_video_format(fmt), *size)
    assert not frame.readonly and (frame.width, frame.height) == size and frame.format.id == fmt
    assert all(not np.asarray(plane).any() for plane in frame)
    assert vcore.create_video_frame(fmt, *size).format.id == fmt


@pytest.mark.parametrize("args, exc", [((1, 8, 8), ValueError), ((YUV420P8, 7, 8), ValueError),
                                       ((YUV420P8, 0, 8), ValueError), ((GRAY8, 8, "8"), TypeError)])
def test_create_video_frame_refusals(vcore, args, exc):
    with pytest.raises(exc):
        vcore.create_video_frame(*args)
