"""Calling plugin functions: argument passing and the shape of their results."""
import pytest

import lumeq

GRAY8 = (1 << 28) | (8 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1


def test_one_clip_is_returned_as_itself(vcore, blank):
    clip = vcore.std.Trim(clip=blank(length=10), first=2, last=5)
    assert isinstance(clip, lumeq.VideoNode)
    assert clip.num_frames == 4


@pytest.mark.parametrize("fmt, planes", [(YUV420P8, 3), (GRAY8, 1)])
def test_clip_array_result(vcore, blank, fmt, planes):
    result = vcore.std.SplitPlanes(clip=blank(format=fmt, width=64, height=48))
    if planes == 1:
        # a one-element array is unwrapped
        assert isinstance(result, lumeq.VideoNode)
        return
    assert type(result) is list and len(result) == planes
    assert all(isinstance(c, lumeq.VideoNode) for c in result)
    assert [(c.width, c.height) for c in result] == [(64, 48), (32, 24), (32, 24)]
    assert [c.format_name for c in result] == ["Gray8"] * 3


def test_empty_result_is_an_empty_dict(vcore, blank):
    assert vcore.std.SetVideoCache(clip=blank()) == {}


def test_audio_result_is_an_audio_node(vcore):
    assert isinstance(vcore.std.BlankAudio(), lumeq.AudioNode)


def test_no_keywords_pass_an_empty_map(vcore):
    assert isinstance(vcore.std.BlankClip(), lumeq.VideoNode)
    assert isinstance(vcore.std.BlankClip(**{}), lumeq.VideoNode)


@pytest.mark.parametrize(
    "args, kwargs, frames",
    [
        ((2, 5), {}, (2, 5)),  # binds in declaration order
        ((2,), {"last": 5}, (2, 5)),
        ((None, 5), {}, (0, 5)),  # a positional None still takes its place
        ((), {"first": None, "last": 5}, (0, 5)),
        ((2, None, None), {}, (2, 9)),
    ],
)
def test_positional_and_none_arguments(vcore, blank, args, kwargs, frames):
    numbered = vcore.std.Splice([blank(format=GRAY8, length=1, color=[n]) for n in range(10)])
    clip = vcore.std.Trim(numbered, *args, **kwargs)
    assert clip.num_frames == frames[1] - frames[0] + 1
    assert clip.get_frame(0)[0][0, 0] == frames[0]


def test_none_keyword_is_left_out(vcore, blank):
    props = vcore.std.SetFrameProps(blank(), a=None, b=1).get_frame(0).props
    assert "a" not in props and props["b"] == 1


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4), {}, "std.Trim() takes at most 4 positional arguments (5 given)"),
        ((1,), {"first": 2}, "std.Trim() got multiple values for argument 'first'"),
        ((None,), {"first": 2}, "std.Trim() got multiple values for argument 'first'"),
        ((), {"clip": 1}, "std.Trim() got multiple values for argument 'clip'"),
    ],
)
def test_positional_arguments_are_checked(vcore, blank, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        vcore.std.Trim(blank(length=10), *args, **kwargs)
    assert str(info.value) == message


def test_held_functions_outlive_their_core_object():
    """A function object looks its plugin and signature up once and keeps
    them; each one stays bound to its own core."""
    held = []
    for width in (32, 48):
        std = lumeq.Core().std
        held.append((width, std.BlankClip, std.Trim, std.Levels))
        del std
    for _ in range(2):  # the first round fills each object's caches, the second uses them
        for width, blank_clip, trim, levels in held:
            clip = trim(blank_clip(width=width, height=16, format=GRAY8, length=10, color=[100]), 2, last=5)
            clip = levels(clip, min_in=0, max_in=200, gamma=1, min_out=0, max_out=100)  # ints for float parameters
            assert (clip.width, clip.num_frames, clip.get_frame(0)[0][0, 0]) == (width, 4, 50)


@pytest.mark.parametrize(
    "call, prefix, fragment",
    [
        (lambda std, clip: std.Trim(), "Trim: ", "clip"),  # required argument missing
        (lambda std, clip: std.BlankClip(bogus=1), "BlankClip: ", "bogus"),  # undeclared names reach VapourSynth
        (lambda std, clip: std.Trim(clip=clip, first=20), "Trim: ", "first"),
        (lambda std, clip: std.Trim(clip=[clip, clip]), "Trim: ", "clip"),
    ],
)
def test_vapoursynth_errors_are_raised_unchanged(vcore, blank, call, prefix, fragment):
    with pytest.raises(RuntimeError) as info:
        call(vcore.std, blank(length=10))
    assert str(info.value).startswith(prefix) and fragment in str(info.value)


# ------------------------------------------------------------ maps read as dicts


def test_frame_props_without_keys(vcore, blank):
    assert dict(vcore.std.RemoveFrameProps(clip=blank()).get_frame(0).props) == {}


def test_frame_held_in_a_prop(vcore, blank):
    clip = blank(format=GRAY8, color=[9])
    props = vcore.std.ClipToProp(clip=clip, mclip=clip).get_frame(0).props
    alpha = props["_Alpha"]
    assert isinstance(alpha, lumeq.VideoFrame)
    assert alpha[0][0, 0] == 9
