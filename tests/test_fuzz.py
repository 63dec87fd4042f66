"""Generated input against a model of the conversion, the clip operators and
plane buffer requests: only the documented exceptions, the right results,
never a crash and nothing left alive afterwards."""
import collections
import contextlib
import ctypes
import functools
import math
import operator
import re
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import lumeq
from leakcheck import scaled, watching

pytestmark = pytest.mark.stress

EXAMPLES = scaled(5_000, minimum=50)
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

TRIED = collections.Counter()


def counted(prop):
    """Counts the examples a property tries (printed, shown with -rP)."""
    @functools.wraps(prop)
    def counting(*args, **kwargs):
        TRIED[prop.__name__] += 1
        return prop(*args, **kwargs)

    return counting


def run(*props):
    for prop in props:
        prop()
        print(f"{prop.__name__}: {TRIED[prop.__name__]} examples")


GRAY8 = (1 << 28) | (8 << 16)
GRAY16 = (1 << 28) | (16 << 16)
GRAY32 = (1 << 28) | (32 << 16)
GRAYH = (1 << 28) | (1 << 24) | (16 << 16)
GRAYS = (1 << 28) | (1 << 24) | (32 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1
RGB24 = (2 << 28) | (8 << 16)


@pytest.fixture
def watched():
    """Makes private cores; afterwards every lumeq object the test made is gone
    and VapourSynth freed each core with nothing alive in it."""
    with watching() as make:
        yield make


def same(got, want):
    """Equality that tells 1 from 1.0 and True, and lets NaN equal NaN."""
    if isinstance(want, list):
        return type(got) is list and len(got) == len(want) and all(map(same, got, want))
    if isinstance(want, dict):
        return type(got) is dict and got.keys() == want.keys() and all(same(got[k], want[k]) for k in want)
    if isinstance(want, lumeq.VideoNode):
        return isinstance(got, lumeq.VideoNode) and (got.width, got.height) == (want.width, want.height)
    if type(got) is not type(want):
        return False
    if isinstance(want, float) and math.isnan(want):
        return math.isnan(got)
    if isinstance(want, float):
        return got == want and math.copysign(1, got) == math.copysign(1, want)
    return got == want


# ------------------------------------------------------------ value model


def answer(result):
    # A fresh exception each time: one raised repeatedly would collect the
    # tracebacks (and with them every local of the test) of all its raises.
    if isinstance(result, type) and issubclass(result, BaseException):
        raise result("refused")
    return result


class Index:
    """`__index__` that answers `result`, or raises it when it is an exception class."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        return answer(self.result)

    def __repr__(self):
        return f"Index({self.result!r})"


class Float:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return answer(self.result)

    def __repr__(self):
        return f"Float({self.result!r})"


class Sequence:
    """Supports the sequence protocol without being a list, tuple or bytes."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"Sequence({self.items!r})"


def failure(call, *args):
    """(type, message, notes) of what `call` raises, or None. Only the text is
    kept: a caught exception's traceback would keep the caller's locals alive
    in a reference cycle until the next collection."""
    try:
        call(*args)
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", [])
    return None


class ClipRef:
    """Stands for the k-th clip of a test. Hypothesis keeps the strategies it
    builds in a process-wide cache, so strategies must not hold clips (they
    would keep the test's core alive for good); the property swaps these in."""

    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"ClipRef({self.k})"


def resolve(value, clips):
    if isinstance(value, ClipRef):
        return clips[value.k]
    if isinstance(value, list):
        return [resolve(v, clips) for v in value]
    return value


class Refused(Exception):
    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind, self.message = kind, message


INT64 = (-(2**63), 2**63 - 1)
REFUSALS = (TypeError, ValueError, OverflowError)  # what a probe may discard; anything else propagates
WRONG_KIND = "The wrong function was used to retrieve the property"


def as_double(value):
    """What PyFloat_AsDouble makes of `value`."""
    if isinstance(value, float):
        return float(value)
    to_float = getattr(type(value), "__float__", None)
    if to_float is None:
        return float(operator.index(value))  # falls back on __index__
    result = to_float(value)
    if type(result) is not float:
        raise TypeError
    return result


def is_sequence(value):
    return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def scalar(value, as_float):
    """(kind, value) of what one Python value is stored as."""
    if isinstance(value, bool):
        return ("float", float(value)) if as_float else ("int", int(value))
    with contextlib.suppress(*REFUSALS):
        n = operator.index(value)
        if INT64[0] <= n <= INT64[1]:
            return ("float", float(n)) if as_float else ("int", n)
    with contextlib.suppress(*REFUSALS):
        return "float", as_double(value)
    if isinstance(value, str):
        with contextlib.suppress(UnicodeEncodeError):
            value.encode("utf-8")
            return "data", value
    elif isinstance(value, (bytes, bytearray)):
        return "data", bytes(value)
    elif isinstance(value, lumeq.VideoNode):
        return "node", value
    elif is_sequence(value):
        with contextlib.suppress(*REFUSALS):
            items = [value[i] for i in range(len(value))]
            if all(isinstance(b, int) and 0 <= b <= 255 for b in items):
                return "data", bytes(items)
    raise Refused(TypeError, "unsupported argument type: " + type(value).__name__)


def valid_name(name):
    return re.fullmatch(r"[A-Za-z0-9_]+", name, flags=re.ASCII) is not None


def expected_echo(kwargs):
    """The result of `leakprobe.Echo(**kwargs)`, which hands back its map;
    its declared argument `f` is a float array."""
    stored = {}
    for key, value in kwargs.items():
        if not valid_name(key):
            raise Refused(TypeError, None)  # "invalid argument name: " + quoted key, checked apart
        if value is None:
            continue  # not given
        entries = []
        for item in value if isinstance(value, list) else [value]:
            kind, converted = scalar(item, key == "f")
            # VapourSynth refuses a key that starts with a digit, and mixed kinds under one key
            if key[0].isdigit() or (entries and entries[0][0] != kind):
                raise Refused(RuntimeError, WRONG_KIND)
            entries.append((kind, converted))
        if entries:
            stored[key] = entries
    if "f" in stored and stored["f"][0][0] != "float":
        raise Refused(RuntimeError, None)  # VapourSynth's own text about the argument's type
    shaped = {k: [v for _, v in e] if len(e) > 1 else e[0][1] for k, e in stored.items()}
    return next(iter(shaped.values())) if len(shaped) == 1 else shaped


def scalars():
    small = st.integers(0, 255)
    exceptions = st.sampled_from([ValueError, TypeError, OverflowError, ZeroDivisionError])
    return st.one_of(
        st.booleans(),
        st.integers(),
        st.integers(-(2**64), 2**64),
        st.sampled_from([2**63, -(2**63), 2**63 - 1, -(2**63) - 1, 2**70, 2**1024, -(2**1024)]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(max_size=8),
        st.text(st.characters(exclude_categories=()), max_size=4),  # lone surrogates too
        st.binary(max_size=8),
        st.binary(max_size=8).map(bytearray),
        st.binary(max_size=8).map(memoryview),
        st.lists(small, max_size=4).map(tuple),
        st.lists(st.integers(-300, 300), max_size=3).map(tuple),
        st.tuples(st.floats(allow_nan=False)),
        st.builds(range, st.integers(0, 300)),
        st.lists(small, max_size=3).map(Sequence),
        st.builds(Index, st.one_of(st.integers(), exceptions, st.sampled_from(["3", 2.5, None]))),
        st.builds(Float, st.one_of(st.floats(), exceptions, st.sampled_from([3, "3", None]))),
        st.sampled_from([None, 1j, {}, set(), object(), Ellipsis]),
        st.builds(ClipRef, st.integers(0, 1)),
    )


def names():
    return st.one_of(st.sampled_from(["a", "b", "c", "f", "_x", "X9", "1a"]), st.text(max_size=4))


def test_value_conversion(watched):
    core = watched()
    clips = [core.std.BlankClip(width=8 * k, height=8, length=1) for k in (1, 2)]
    value = scalars()
    values = st.one_of(value, st.lists(value, max_size=4), st.lists(st.lists(value, max_size=3), max_size=3))
    echo = core.leakprobe.Echo

    @FUZZ
    @given(st.dictionaries(names(), values, max_size=4))
    @counted
    def conversion(kwargs):
        kwargs = {k: resolve(v, clips) for k, v in kwargs.items()}
        try:
            want = expected_echo(kwargs)
        except Refused as refused:
            event(f"refused: {refused.kind.__name__}")
            with pytest.raises(refused.kind) as info:
                echo(**kwargs)
            message = str(info.value)
            if refused.message is not None:
                assert message == refused.message
            elif refused.kind is TypeError:
                assert message.startswith('invalid argument name: "')
        except Exception as failure:
            event(f"propagated: {type(failure).__name__}")
            with pytest.raises(type(failure)):
                echo(**kwargs)
        else:
            event(f"stored: {type(want).__name__}")
            assert same(echo(**kwargs), want)

    run(conversion)


class Mutator:
    """An item whose conversion removes or adds items of the list being converted."""

    def __init__(self, target, change):
        self.target, self.change, self.done = target, change, False

    def __index__(self):
        if not self.done:
            self.done = True
            if self.change < 0:
                del self.target[self.change:]
            else:
                self.target.extend([7] * self.change)
        return 5


def test_list_mutated_during_conversion(watched):
    core = watched()
    echo = core.leakprobe.Echo

    @FUZZ
    @given(st.lists(st.integers(0, 9), min_size=1, max_size=8), st.data())
    @counted
    def mutated(items, data):
        at = data.draw(st.integers(0, len(items) - 1))
        change = data.draw(st.integers(-len(items), 4))
        items = list(items)
        items[at] = Mutator(items, change)
        length = len(items)
        after = max(0, length + change)
        # the walk stops at the smaller of the list's first and current length
        want = [5 if i == at else items[i] for i in range(length) if i <= at or i < after]
        result = echo(a=items)
        assert result == (want[0] if len(want) == 1 else want)

    run(mutated)


# ------------------------------------------------------------ clip operators


def frame_values(clip):
    return [clip.get_frame(i)[0][0, 0] for i in range(clip.num_frames)]


def index_keys():
    return st.one_of(
        st.integers(-20, 20),
        st.integers(),
        st.booleans(),
        st.sampled_from([2**63 - 1, -(2**63), 2**63, 2**70, 1.0, "1", None, b"", [1]]),
        st.builds(Index, st.one_of(st.integers(-20, 20), st.just(2**70), st.just(ValueError))),
    )


def bounds():
    return st.one_of(st.none(), st.integers(-30, 30), st.integers(), st.sampled_from([1.5, "2", Index(2)]))


def test_clip_subscripts_and_operators(watched):
    core = watched()
    parts = [core.std.BlankClip(format=GRAY8, width=8, height=8, length=1, color=[i]) for i in range(12)]

    def numbered(n):
        return core.std.Splice(clips=parts[:n]) if n > 1 else parts[0]

    clips = [numbered(n) for n in range(1, 13)]

    @FUZZ
    @given(st.sampled_from(range(12)), st.one_of(index_keys(), st.builds(slice, bounds(), bounds(), bounds())))
    @counted
    def subscript(which, key):
        clip = clips[which]
        n = clip.num_frames
        if isinstance(key, slice):
            try:
                wanted = list(range(n))[key]
            except (TypeError, ValueError) as e:
                with pytest.raises(type(e)):
                    clip[key]
                return
            if not wanted:
                with pytest.raises(RuntimeError):  # Trim refuses an empty range
                    clip[key]
                return
            assert frame_values(clip[key]) == wanted
            return
        try:
            i = operator.index(key)
            assert INT64[0] <= i <= INT64[1]
        except Exception:
            assert failure(clip.__getitem__, key) == (TypeError, "VideoNode indices must be integers or slices", [])
            return
        if not -n <= i < n:
            assert failure(clip.__getitem__, key) == (IndexError, "VideoNode index out of range", [])
            return
        assert frame_values(clip[key]) == [i % n]

    @FUZZ
    @given(st.sampled_from(range(12)), st.sampled_from(range(12)),
           st.one_of(st.integers(-3, 5), st.integers(), st.sampled_from([2.0, "2", None, Index(3), True])),
           st.sampled_from([1, "x", None, 1.5]))
    @counted
    def join_and_repeat(a, b, times, foreign):
        left, right = clips[a], clips[b]
        assert frame_values(left + right) == list(range(a + 1)) + list(range(b + 1))
        for bad in (lambda: left + foreign, lambda: foreign + left, lambda: foreign * left):
            with pytest.raises(TypeError):
                bad()
        try:
            count = operator.index(times)
            assert INT64[0] <= count <= INT64[1]
        except Exception:
            assert failure(operator.mul, left, times) == (TypeError, "Clips may only be repeated by integer factors", [])
            return
        if count < 1:
            assert failure(operator.mul, left, times) == (ValueError, "Loop count must greater than zero", [])
        elif count * (a + 1) > 2**31 - 1:
            # too long for a frame count: VapourSynth refuses it or caps it
            refused = failure(operator.mul, left, times)
            assert refused is None and (left * times).num_frames <= 2**31 - 1 or refused[0] is RuntimeError
        else:
            repeated = left * times
            assert repeated.num_frames == count * (a + 1)
            last = repeated.num_frames - 1
            assert repeated.get_frame(last)[0][0, 0] == last % (a + 1)

    run(subscript, join_and_repeat)


# ------------------------------------------------------------ frames and planes

FORMATS = {GRAY8: ("B", 1, 1), GRAY16: ("H", 2, 1), GRAY32: ("I", 4, 1), GRAYH: ("e", 2, 1), GRAYS: ("f", 4, 1),
           YUV420P8: ("B", 1, 3), RGB24: ("B", 1, 3)}


def test_frame_plane_indices(watched):
    core = watched()
    frames = {fmt: core.std.BlankClip(format=fmt, width=16, height=8, length=1).get_frame(0) for fmt in FORMATS}

    @FUZZ
    @given(st.sampled_from(sorted(FORMATS)), index_keys())
    @counted
    def plane(fmt, key):
        frame = frames[fmt]
        code, size, planes = FORMATS[fmt]
        try:
            i = operator.index(key)
        except Exception as e:
            with pytest.raises(type(e)) as info:
                frame[key]
            assert info.value.__notes__ == ["while processing 'index'"]
            return
        if not INT64[0] <= i <= INT64[1]:  # CPython's own overflow error
            kind, _, notes = failure(frame.__getitem__, key)
            assert (kind, notes) == (OverflowError, ["while processing 'index'"])
            return
        if not -(2**31) <= i < 2**31:
            assert failure(frame.__getitem__, key) == (
                OverflowError, "out of range integral type conversion attempted", ["while processing 'index'"])
            return
        if not 0 <= i < planes:
            assert failure(frame.__getitem__, key) == (IndexError, "index out of range", [])
            return
        view = frame[key]
        assert (view.format, view.itemsize, view.readonly, view.ndim) == (code, size, True, 2)
        assert view.shape == ((8, 16) if fmt != YUV420P8 or i == 0 else (4, 8))

    run(plane)


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.POINTER(ctypes.c_ssize_t)),
                ("internal", ctypes.c_void_p)]


# Prototypes of our own: the attributes of ctypes.pythonapi are shared with
# every other user in the process.
get_buffer = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int)(
    ("PyObject_GetBuffer", ctypes.pythonapi))
release_buffer = ctypes.PYFUNCTYPE(None, ctypes.POINTER(PyBuffer))(("PyBuffer_Release", ctypes.pythonapi))

WRITABLE, FORMAT, ND, STRIDES = 0x1, 0x4, 0x8, 0x18
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS = 0x38, 0x58, 0x98
FLAG_BITS = (0x1, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100)
# PyBUF_READ and PyBUF_WRITE alone name memoryview directions, not requests;
# CPython 3.13 refuses them itself before the exporter is asked.
NOT_REQUESTS = (0x100, 0x200)


def expected_refusal(flags, height, width, itemsize, stride):
    if flags & WRITABLE:
        return "frame planes are read-only"
    if flags & STRIDES != STRIDES:
        return "strided buffer required (planes are not C-contiguous)"
    c = height <= 1 or stride == width * itemsize
    f = height <= 1
    if (flags & C_CONTIGUOUS == C_CONTIGUOUS and not c) or (flags & ANY_CONTIGUOUS == ANY_CONTIGUOUS and not c) \
            or (flags & F_CONTIGUOUS == F_CONTIGUOUS and not f):
        return "contiguous"
    return None


def check_request(plane, flags):
    """One get-buffer request on the `Plane` behind a memoryview."""
    exporter = plane.obj
    height, width = plane.shape
    stride = plane.strides[0]
    refcount = sys.getrefcount(exporter)
    view = PyBuffer()
    refusal = expected_refusal(flags, height, width, plane.itemsize, stride)
    if refusal is not None:
        kind, message, _ = failure(get_buffer, exporter, ctypes.byref(view), flags)
        assert kind is BufferError
        assert refusal in message if refusal == "contiguous" else message == refusal
        assert view.obj is None
    else:
        assert get_buffer(exporter, ctypes.byref(view), flags) == 0
        try:
            assert view.obj == id(exporter)
            assert (view.ndim, view.readonly, view.itemsize) == (2, 1, plane.itemsize)
            assert (view.shape[0], view.shape[1]) == (height, width)
            assert (view.strides[0], view.strides[1]) == (stride, plane.itemsize)
            assert view.len == height * width * plane.itemsize
            assert not view.suboffsets
            assert view.format == (plane.format.encode() if flags & FORMAT else None)
            data = ctypes.string_at(view.buf + (height - 1) * stride, width * plane.itemsize)
            assert data == plane.tobytes()[-width * plane.itemsize:]
        finally:
            release_buffer(ctypes.byref(view))
    assert sys.getrefcount(exporter) == refcount  # the view gave its reference back


def every_flag_combination():
    for mask in range(1 << len(FLAG_BITS)):
        flags = sum(bit for i, bit in enumerate(FLAG_BITS) if mask >> i & 1)
        if flags not in NOT_REQUESTS:
            yield flags


@pytest.mark.parametrize("fmt, width, height", [
    (GRAY8, 64, 4),     # rows unpadded
    (GRAY8, 33, 4),     # rows padded
    (GRAYS, 7, 1),      # one row: contiguous both ways
    (GRAY16, 32, 2),
    (YUV420P8, 20, 6),  # chroma padded, luma not
])
def test_plane_buffer_every_flag_combination(fmt, width, height, watched):
    core = watched()
    frame = core.std.BlankClip(format=fmt, width=width, height=height, length=1, color=[3] * FORMATS[fmt][2])
    frame = frame.get_frame(0)
    for plane in frame:
        for flags in every_flag_combination():
            check_request(plane, flags)
    assert failure(get_buffer, frame[0].obj, None, STRIDES) == (BufferError, "null view", [])


def test_plane_buffer_requests_fuzzed(watched):
    core = watched()

    @FUZZ
    @given(st.sampled_from(sorted(FORMATS)), st.integers(1, 80), st.integers(1, 5),
           st.lists(st.integers(0, 0x3FF).filter(lambda f: f not in NOT_REQUESTS), min_size=1, max_size=8))
    @counted
    def requests(fmt, width, height, flag_sets):
        if fmt == YUV420P8:
            width, height = width * 2, height * 2
        frame = core.std.BlankClip(format=fmt, width=width, height=height, length=1).get_frame(0)
        for plane in frame:
            for flags in flag_sets:
                check_request(plane, flags)

    run(requests)
