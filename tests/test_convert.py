"""Python values stored as plugin-function arguments and read back from maps."""
import pathlib
import sys

import pytest

import lumeq

GRAY8 = (1 << 28) | (8 << 16)


def small_clip(vcore, **kwargs):
    return vcore.std.BlankClip(format=GRAY8, width=4, height=4, length=1, **kwargs)


def read_prop(clip):
    return clip.get_frame(0).props["p"]


class BytesPath:
    def __fspath__(self):
        return b"/raw\xff"


# ------------------------------------------------------------ numbers


@pytest.mark.parametrize("first, frames", [(3, 7), (9, 1), (True, 9), (False, 10)])
def test_int_parameter_stores_integers(vcore, blank, first, frames):
    assert vcore.std.Trim(clip=blank(length=10), first=first).num_frames == frames


@pytest.mark.parametrize("value", [2.0, 2**70, 2**63])
def test_floats_and_huge_ints_reach_int_parameter_as_floats(vcore, blank, value):
    # VapourSynth refuses a float for an int parameter: proof of what was stored.
    with pytest.raises(RuntimeError, match="first"):
        vcore.std.Trim(clip=blank(), first=value)


def test_int_beyond_double_range_is_refused(vcore, blank):
    with pytest.raises(TypeError) as info:
        vcore.std.Trim(clip=blank(), first=10**400)
    assert str(info.value) == "unsupported argument type: int"


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        # float parameter: integers and bools become floats, so mixed lists work
        ({"floatval": [1, True, 2.5]}, [1.0, 1.0, 2.5]),
        ({"floatval": [2.5, 1]}, [2.5, 1.0]),
        ({"floatval": 7}, 7.0),
        ({"floatval": False}, 0.0),
        ({"floatval": 2**70}, 2.0**70),
        # int parameter: bools are integers
        ({"intval": [True, 2]}, [1, 2]),
    ],
)
def test_float_flag_follows_the_signature(vcore, kwargs, expected):
    value = read_prop(vcore.std.SetFrameProp(clip=small_clip(vcore), prop="p", **kwargs))
    assert repr(value) == repr(expected)  # also tells 1 from 1.0


# ------------------------------------------------------------ lists


class Frames(list):
    pass


@pytest.mark.parametrize(
    "frames, remaining",
    [([1, 2, 3], 7), ([4], 9), (5, 9), ([True, 2], 8), (Frames([0, 1]), 8)],
)
def test_int_list_is_stored_item_by_item(vcore, blank, frames, remaining):
    assert vcore.std.DeleteFrames(clip=blank(length=10), frames=frames).num_frames == remaining


@pytest.mark.parametrize("frames", [[1, 2.5], [2.5, 1], [1, "x"], [b"a", 1]])
def test_mixed_kinds_for_an_int_list_are_refused(vcore, blank, frames):
    with pytest.raises(RuntimeError) as info:
        vcore.std.DeleteFrames(clip=blank(), frames=frames)
    assert str(info.value) == "The wrong function was used to retrieve the property"


def test_empty_list_leaves_the_argument_out(vcore, blank):
    clip = blank()
    with pytest.raises(RuntimeError) as absent:
        vcore.std.DeleteFrames(clip=clip)
    with pytest.raises(RuntimeError) as empty:
        vcore.std.DeleteFrames(clip=clip, frames=[])
    assert str(empty.value) == str(absent.value)
    assert vcore.std.Trim(clip=clip, first=[]).num_frames == clip.num_frames


class Mutator:
    """An integer whose conversion changes the list being converted."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


@pytest.mark.parametrize(
    "build, remaining",
    [
        # shrinking ends the walk early, even removing the item being converted
        (lambda lst: [Mutator(1, lst.clear), 2, 3], 9),
        (lambda lst: [Mutator(1, lambda: lst.__delitem__(slice(1, None))), 2, 3], 9),
        (lambda lst: [0, Mutator(1, lst.pop), 2, 3], 7),
        # added items are not visited
        (lambda lst: [Mutator(1, lambda: lst.extend([5, 6])), 2], 8),
    ],
)
def test_list_changed_during_conversion(vcore, blank, build, remaining):
    frames = []
    frames.extend(build(frames))
    assert vcore.std.DeleteFrames(clip=blank(length=10), frames=frames).num_frames == remaining


class Interrupting:
    """Raises a non-Exception from every conversion probe."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc()

    __float__ = __index__

    def __len__(self):
        raise self.exc()

    def __getitem__(self, i):
        raise self.exc()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("use", [
    lambda core, clip, v: core.std.BlankClip(width=v),
    lambda core, clip, v: core.std.Trim(clip=clip, first=v),
    lambda core, clip, v: core.std.SetFrameProp(clip=clip, prop="p", data=v),
    lambda core, clip, v: clip[v],
    lambda core, clip, v: clip * v,
], ids=["int-arg", "int-arg-list", "data-arg", "subscript", "repeat"])
def test_non_refusal_errors_from_probes_propagate(vcore, blank, use, exc):
    with pytest.raises(exc):
        use(vcore, blank(), Interrupting(exc))


# ------------------------------------------------------------ other kinds


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, 1),
        (True, 1),
        (2.5, 2.5),
        (2**70, 2.0**70),
        ("x", "x"),
        ("é\0ü", "é\0ü"),
        (b"raw\xff", b"raw\xff"),
        (bytearray(b"ab"), b"ab"),
        ((1, 2, 255), b"\x01\x02\xff"),
        (range(3), b"\x00\x01\x02"),
        ((), b""),
        (memoryview(b"mv"), b"mv"),
        ([b"a", "b"], [b"a", "b"]),
        ([(1, 2)], b"\x01\x02"),
        (pathlib.PurePosixPath("/clips/a.mkv"), "/clips/a.mkv"),
        (BytesPath(), b"/raw\xff"),
        ([pathlib.PurePosixPath("a"), "b"], ["a", "b"]),
        (lumeq.ColorFamily.YUV, 3),
        (lumeq.SampleType.FLOAT, 1),
        ([lumeq.ColorFamily.GRAY, 2], [1, 2]),
    ],
)
def test_round_trip_through_props(vcore, value, expected):
    # SetFrameProps declares no names, so no float flag applies.
    got = read_prop(vcore.std.SetFrameProps(clip=small_clip(vcore), p=value))
    assert repr(got) == repr(expected)


@pytest.mark.parametrize("expr", ["x 7 +", b"x 7 +", tuple(b"x 7 +")])
def test_data_reaches_the_function(vcore, expr):
    clip = vcore.std.Expr(clips=[small_clip(vcore, color=[1])], expr=expr)
    assert clip.get_frame(0)[0][0, 0] == 8


@pytest.mark.parametrize(
    "value, type_name",
    [
        ((1.5,), "tuple"),
        ((1, 256), "tuple"),
        ({"a": 1}, "dict"),
        (object(), "object"),
        ("\udc80", "str"),
        ([1, None], "NoneType"),
    ],
)
def test_unsupported_values(vcore, blank, value, type_name):
    with pytest.raises(TypeError) as info:
        vcore.std.SetFrameProps(clip=blank(), p=value)
    assert str(info.value) == f"unsupported argument type: {type_name}"


def test_frames_can_be_passed(vcore, blank):
    frame = blank(width=8).get_frame(0)
    stored = vcore.std.SetFrameProps(clip=blank(), p=frame).get_frame(0).props["p"]
    assert stored.width == 8 and stored.props == frame.props


@pytest.mark.parametrize(
    "name, shown",
    [
        ("my-arg", '"my-arg"'),
        ("", '""'),
        ("é", '"é"'),
        ('x"y\\', '"x\\"y\\\\"'),
        ("tab\there\n", '"tab\\there\\n"'),
        ("nul\0", '"nul\\0"'),
        ("a\ud800", '"a?"'),  # no UTF-8 form: shown with a replacement
    ],
)
def test_invalid_argument_names(vcore, blank, name, shown):
    with pytest.raises(TypeError) as info:
        vcore.std.SetFrameProps(clip=blank(), **{name: 1})
    assert str(info.value) == "invalid argument name: " + shown


@pytest.mark.parametrize("value", [[1, 2], (1, 2), "text", b"bytes", 2**70, [1, None], (1.5,)])
def test_conversion_keeps_no_references(vcore, blank, value):
    clip = blank()
    before = sys.getrefcount(value), sys.getrefcount(clip)
    for _ in range(50):
        try:
            vcore.std.SetFrameProps(clip=clip, p=value)
        except TypeError:
            pass
    assert (sys.getrefcount(value), sys.getrefcount(clip)) == before
