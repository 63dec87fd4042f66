"""The output registry: set_output, VideoOutputTuple and the module functions."""
import sys
import types

import pytest

import lumeq
from lumeq import EnvironmentPolicy, clear_output, clear_outputs, clear_policy, get_output, get_outputs
from vsformat import video_id

NO_ENV = ("No environment is currently activated. "
          "(Hint: get_current_environment().use() selects an environment.)")

GRAY, RGB, YUV = 1, 2, 3
INTEGER, FLOAT = 0, 1


YUV420P8 = video_id(YUV, INTEGER, 8, 1, 1)
YUV444P8 = video_id(YUV, INTEGER, 8)
RGB24 = video_id(RGB, INTEGER, 8)
GRAY8 = video_id(GRAY, INTEGER, 8)
GRAY16 = video_id(GRAY, INTEGER, 16)
GRAYS = video_id(GRAY, FLOAT, 32)
RGBS = video_id(RGB, FLOAT, 32)


@pytest.fixture(autouse=True)
def clean_policy(default_policy_state):
    yield


@pytest.fixture
def clip(blank):
    return blank(format=YUV420P8)


def variable_format(vcore, blank):
    """A 10-frame clip of fixed size whose format changes from frame to frame."""
    parts = [blank(format=YUV420P8, length=5), blank(format=GRAY8, length=5)]
    return vcore.std.Splice(clips=parts, mismatch=True)


def test_default_registration(clip):
    assert clip.set_output() is None
    record = get_output()
    assert type(record) is lumeq.VideoOutputTuple
    assert record.clip is clip and record.alpha is None and record.alt_output == 0
    assert get_output(0) is record and get_output(index=0) is record


def test_audio_output_is_the_clip(vcore, clip):
    audio = vcore.std.BlankAudio(length=100)
    audio.set_output(1)
    clip.set_output(0)
    assert get_output(1) is audio and get_outputs()[1] is audio
    assert type(get_output(0)) is lumeq.VideoOutputTuple


def test_registering_again_replaces(blank):
    first, second = blank(), blank(length=5)
    first.set_output(3, alt_output=1)
    second.set_output(3)
    record = get_output(3)
    assert record.clip is second and record.alt_output == 0
    assert list(get_outputs()) == [3]


def test_indices_are_kept_in_ascending_order(clip):
    for index in (7, 0, -5, 2**31 - 1, -2**31):
        clip.set_output(index)
    assert list(get_outputs()) == [-2**31, -5, 0, 7, 2**31 - 1]


@pytest.mark.parametrize("call, name", [
    (lambda c: c.set_output(2**31), "index"),
    (lambda c: c.set_output(0, None, -2**31 - 1), "alt_output"),
    (lambda c: get_output(2**31), "index"),
    (lambda c: clear_output(-2**31 - 1), "index"),
])
def test_index_range(clip, call, name):
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted") as info:
        call(clip)
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_missing_output(clip):
    with pytest.raises(KeyError) as info:
        get_output(7)
    assert info.value.args == (7,)
    assert str(info.value) == "7"
    assert clear_output(7) is None


def test_clearing(blank):
    for index in range(4):
        blank().set_output(index)
    clear_output(2)
    assert list(get_outputs()) == [0, 1, 3]
    clear_output()
    assert list(get_outputs()) == [1, 3]
    assert clear_outputs() is None
    assert dict(get_outputs()) == {}


def test_get_outputs_is_a_read_only_snapshot(blank):
    a = blank()
    a.set_output(1)
    snapshot = get_outputs()
    assert type(snapshot) is types.MappingProxyType
    assert snapshot[1] is get_output(1)
    with pytest.raises(TypeError):
        snapshot[2] = snapshot[1]
    blank().set_output(2)
    clear_output(1)
    assert list(snapshot) == [1] and snapshot[1].clip is a
    assert list(get_outputs()) == [2]


def test_record_behaves_like_a_tuple(clip, blank):
    alpha = blank(format=GRAY8)
    clip.set_output(0, alpha, -3)
    record = get_output()
    assert len(record) == 3
    assert tuple(record) == (clip, alpha, -3)
    assert list(iter(record)) == [clip, alpha, -3]
    assert (record[0], record[1], record[2], record[-1], record[-3]) == (clip, alpha, -3, -3, clip)
    for bad in (3, -4, 2**62):
        with pytest.raises(IndexError):
            record[bad]
    clip_only, *_ = record
    assert clip_only is clip


@pytest.mark.parametrize("idx, exc", [("0", TypeError), (slice(0, 1), TypeError), (2**70, OverflowError)])
def test_record_index_conversion(clip, idx, exc):
    clip.set_output()
    with pytest.raises(exc) as info:
        get_output()[idx]
    assert info.value.__notes__ == ["while processing 'idx'"]


def test_record_is_immutable(clip):
    clip.set_output()
    record = get_output()
    for name in ("clip", "alpha", "alt_output"):
        with pytest.raises(AttributeError):
            setattr(record, name, None)


def test_repr(clip, blank):
    clip.set_output(0)
    clip.set_output(1, blank(format=GRAY8), -12)
    assert repr(get_output(0)) == "VideoOutputTuple(clip=<VideoNode>, alpha=None, alt_output=0)"
    assert repr(get_output(1)) == "VideoOutputTuple(clip=<VideoNode>, alpha=<VideoNode>, alt_output=-12)"


def test_registered_clip_outlives_the_script_reference(blank):
    clip = blank(length=4)
    clip.set_output(5)
    before = sys.getrefcount(clip)
    del clip
    assert get_output(5).clip.get_frame(3).width == 64
    clip = get_output(5).clip
    clear_outputs()
    assert sys.getrefcount(clip) < before


# ------------------------------------------------------------ alpha checks


@pytest.mark.parametrize("main_format, alpha_format", [
    (YUV420P8, GRAY8), (RGB24, GRAY8), (YUV444P8, GRAY8), (RGBS, GRAYS), (GRAY16, GRAY16),
])
def test_matching_alpha_is_accepted(blank, main_format, alpha_format):
    main, alpha = blank(format=main_format), blank(format=alpha_format)
    main.set_output(0, alpha=alpha)
    assert get_output().alpha is alpha


@pytest.mark.parametrize("main_kw, alpha_kw, message", [
    ({}, {"format": YUV420P8}, "Alpha clip format must match the main video"),
    ({}, {"format": GRAY16}, "Alpha clip format must match the main video"),
    ({"format": RGBS}, {"format": GRAY16}, "Alpha clip format must match the main video"),
    ({}, {"format": GRAYS}, "Alpha clip format must match the main video"),
    ({}, {"format": GRAY8, "width": 66}, "Alpha clip dimensions must match the main video"),
    ({}, {"format": GRAY8, "height": 40}, "Alpha clip dimensions must match the main video"),
    ({}, {"format": YUV420P8, "length": 11}, "Alpha clip length must match the main video"),
    ({}, {"format": YUV420P8, "length": 11, "width": 32}, "Alpha clip dimensions must match the main video"),
])
def test_mismatched_alpha_is_refused(blank, main_kw, alpha_kw, message):
    main_kw.setdefault("format", YUV420P8)
    main, alpha = blank(**main_kw), blank(**alpha_kw)
    main.set_output(4)
    with pytest.raises(RuntimeError) as info:
        main.set_output(4, alpha, 9)
    assert str(info.value) == message
    assert get_output(4).alpha is None and get_output(4).alt_output == 0


def test_alpha_with_variable_format(vcore, blank):
    known = blank(format=GRAY8)
    variable_main = variable_format(vcore, blank)
    variable_alpha = variable_format(vcore, blank)
    variable_main.set_output(0, variable_alpha)
    assert get_output().alpha is variable_alpha
    message = "Format must be either known or unknown for both alpha and main clip"
    for main, alpha in ((variable_main, known), (blank(format=YUV420P8), variable_alpha)):
        with pytest.raises(RuntimeError) as info:
            main.set_output(1, alpha)
        assert str(info.value) == message


@pytest.mark.parametrize("alpha", [3, "clip", lumeq.Core])
def test_alpha_must_be_a_clip(clip, alpha):
    with pytest.raises(TypeError, match="is not an instance of 'VideoNode'") as info:
        clip.set_output(0, alpha)
    assert info.value.__notes__ == ["while processing 'alpha'"]


# ------------------------------------------------------------ environments


class NoEnvironment(EnvironmentPolicy):
    def get_current_environment(self):
        return None


class Raising(EnvironmentPolicy):
    def get_current_environment(self):
        raise LookupError("policy failed")


class Switchable(EnvironmentPolicy):
    def on_policy_registered(self, api):
        self.api = api
        self.current = api.create_environment()


@pytest.mark.parametrize("policy", [NoEnvironment, Raising])
def test_every_operation_needs_an_environment(clip, policy):
    lumeq.register_policy(policy())
    for call in (clip.set_output, get_output, get_outputs, clear_output, clear_outputs,
                 lambda: clip.set_output(2, None, 5)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == NO_ENV


def test_alpha_checks_come_before_the_environment(clip, blank):
    lumeq.register_policy(NoEnvironment())
    with pytest.raises(RuntimeError, match="^Alpha clip length must match the main video$"):
        clip.set_output(0, blank(format=GRAY8, length=3))


def test_outputs_belong_to_their_environment(blank):
    policy = Switchable()
    policy.get_current_environment = lambda: policy.current
    lumeq.register_policy(policy)
    first = policy.current
    second = policy.api.create_environment()
    a, b = blank(), blank()
    a.set_output(1)
    policy.current = second
    b.set_output(2)
    assert list(get_outputs()) == [2]
    policy.current = first
    assert list(get_outputs()) == [1] and get_output(1).clip is a
    policy.api.destroy_environment(first)
    assert dict(get_outputs()) == {}
    # A dead environment still takes registrations while a policy hands it out.
    a.set_output(3)
    assert list(get_outputs()) == [3]
    policy.current = second
    assert get_output(2).clip is b
