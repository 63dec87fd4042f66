"""Clips: their properties, get_frame, and the slicing / joining operators."""
import threading
from fractions import Fraction

import pytest

import lumeq

GRAY8 = (1 << 28) | (8 << 16)
YUV420P8 = (3 << 28) | (8 << 16) | (1 << 8) | 1


@pytest.fixture
def numbered(vcore):
    """A 10-frame GRAY8 clip whose frame i is filled with the value i."""

    def make(count=10):
        clips = [vcore.std.BlankClip(format=GRAY8, width=8, height=8, length=1, color=[i]) for i in range(count)]
        clip = clips[0]
        for other in clips[1:]:
            clip = clip + other
        return clip

    return make


def values(clip):
    return [clip.get_frame(i)[0][0, 0] for i in range(clip.num_frames)]


def test_properties_and_repr(blank):
    clip = blank(width=1920, height=1080, length=100, fpsnum=24000, fpsden=1001, format=YUV420P8)
    assert (clip.width, clip.height, clip.num_frames, len(clip)) == (1920, 1080, 100, 100)
    assert clip.fps == Fraction(24000, 1001) and isinstance(clip.fps, Fraction)
    assert clip.format_name == "YUV420P8"
    assert repr(clip) == "<lumeq.VideoNode 1920x1080, 100 frames, 24000/1001 fps>"
    assert bool(clip)


def test_variable_frame_rate_reads_zero(vcore, blank):
    vfr = vcore.std.Splice(clips=[blank(fpsnum=24), blank(fpsnum=30)], mismatch=True)
    assert vfr.fps == Fraction(0, 1)


def test_variable_size_clip(vcore):
    joined = vcore.std.Splice(clips=[vcore.std.BlankClip(width=16, height=16), vcore.std.BlankClip(width=32, height=32)],
                              mismatch=1)
    assert (joined.width, joined.height) == (0, 0)
    assert repr(joined).startswith("<lumeq.VideoNode 0x0, ")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "VideoNode.get_frame() missing 1 required positional argument: 'n'"),
        ((1, 2), {}, TypeError, "VideoNode.get_frame() takes 1 positional arguments but 2 were given"),
        ((), {"n": 1, "m": 2}, TypeError, "VideoNode.get_frame() got an unexpected keyword argument 'm'"),
        ((1,), {"n": 1}, TypeError, "VideoNode.get_frame() got multiple values for argument 'n'"),
        ((2**40,), {}, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_get_frame_argument_errors(blank, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        blank().get_frame(*args, **kwargs)
    assert str(info.value) == message
    if exc is OverflowError:
        assert info.value.__notes__ == ["while processing 'n'"]


def test_get_frame_non_integer_keeps_cpython_error(blank):
    with pytest.raises(TypeError) as info:
        blank().get_frame("1")
    assert info.value.__notes__ == ["while processing 'n'"]


@pytest.mark.parametrize("n", [-1, 10, 2**31 - 1])
def test_out_of_range_frames_go_to_vapoursynth(blank, n):
    with pytest.raises(RuntimeError) as info:
        blank(length=10).get_frame(n)
    assert str(info.value)  # VapourSynth's own text, whatever it is


def test_render_failure_in_a_middle_frame(vcore, numbered):
    checked = vcore.std.PEMVerifier(clip=numbered(6), upper=[3])
    assert checked.get_frame(2)[0][0, 0] == 2
    with pytest.raises(RuntimeError) as info:
        checked.get_frame(4)
    assert str(info.value)
    assert checked.get_frame(1)[0][0, 0] == 1  # the clip stays usable


def test_get_frame_from_threads(numbered):
    clip = numbered(10)
    barrier = threading.Barrier(4)
    results, errors = {}, []

    def work(k):
        barrier.wait()
        try:
            results[k] = [clip.get_frame((k + i) % 10)[0][0, 0] for i in range(30)]
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in range(4):
        assert results[k] == [(k + i) % 10 for i in range(30)]


def test_frame_outlives_clip_and_core(vcore):
    clip = vcore.std.BlankClip(format=GRAY8, width=4, height=4, color=[7])
    frame = clip.get_frame(0)
    del clip, vcore
    assert frame[0][3, 3] == 7


def test_len_and_truth_of_empty_like_clips(blank):
    clip = blank(length=1)
    assert len(clip) == 1 and bool(clip)


# ------------------------------------------------------------ operators

@pytest.mark.parametrize(
    "key, expected",
    [
        (-1, [9]), (0, [0]), (True, [1]), (slice(None), list(range(10))), (slice(None, None, 1), list(range(10))),
        (slice(None, None, -1), list(range(9, -1, -1))), (slice(1, None, 2), [1, 3, 5, 7, 9]),
        (slice(8, 2, -3), [8, 5]), (slice(2, 7), [2, 3, 4, 5, 6]), (slice(-3, None), [7, 8, 9]),
        (slice(None, None, 3), [0, 3, 6, 9]), (slice(100, -100, -4), [9, 5, 1]),
    ],
    ids=repr,
)
def test_subscripts_select_frames(numbered, key, expected):
    assert values(numbered()[key]) == expected


@pytest.mark.parametrize("key", [10, -11, 2**31])
def test_index_out_of_range(numbered, key):
    with pytest.raises(IndexError, match="^VideoNode index out of range$"):
        numbered()[key]


@pytest.mark.parametrize("key", [2**70, 1.5, "1", None])
def test_index_of_wrong_type(numbered, key):
    with pytest.raises(TypeError, match="^VideoNode indices must be integers or slices$"):
        numbered()[key]


def test_empty_selection_goes_to_trim(numbered):
    with pytest.raises(RuntimeError):
        numbered()[5:5]  # Trim refuses first 5, last 4


def test_zero_step_is_the_interpreters_error(numbered):
    with pytest.raises(ValueError):
        numbered()[::0]


def test_iteration_gives_one_frame_clips(numbered):
    parts = list(numbered(3))
    assert [p.num_frames for p in parts] == [1, 1, 1]
    assert [values(p) for p in parts] == [[0], [1], [2]]


def test_concatenation_and_repetition(numbered):
    clip = numbered(3)
    assert values(clip + clip) == [0, 1, 2, 0, 1, 2]
    assert values(clip * 2) == [0, 1, 2, 0, 1, 2]
    assert (clip * 1).num_frames == 3


@pytest.mark.parametrize("factor, exc, message", [
    (0, ValueError, "Loop count must greater than zero"),
    (-2, ValueError, "Loop count must greater than zero"),
    (2.0, TypeError, "Clips may only be repeated by integer factors"),
    ("2", TypeError, "Clips may only be repeated by integer factors"),
])
def test_repetition_errors(numbered, factor, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        numbered(2) * factor


@pytest.mark.parametrize("expr", [lambda c: 2 * c, lambda c: c + 1, lambda c: 1 + c, lambda c: c + "x"])
def test_foreign_operands_are_unsupported(numbered, expr):
    with pytest.raises(TypeError, match="unsupported operand"):
        expr(numbered(2))


def test_incompatible_splice_reports_vapoursynth_error(vcore):
    a = vcore.std.BlankClip(width=16, height=16)
    b = vcore.std.BlankClip(width=32, height=32)
    with pytest.raises(RuntimeError):
        a + b
