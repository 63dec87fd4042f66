"""Plugin functions called on a clip, the proxy's writes, and what inspect,
help() and dir() show of cores, plugins, functions and clips."""
import inspect
import pydoc

import pytest

import lumeq

GRAY8 = (1 << 28) | (8 << 16)


def numbered(vcore, count=10):
    return vcore.std.Splice([vcore.std.BlankClip(format=GRAY8, width=4, height=4, length=1, color=[n])
                             for n in range(count)])


@pytest.mark.parametrize(
    "call, first, frames",
    [
        (lambda clip: clip.std.Trim(2, 5), 2, 4),
        (lambda clip: clip.std.Trim(first=3), 3, 7),
        (lambda clip: clip.std.Trim(None, 4), 0, 5),
        (lambda clip: clip[1:].std.Trim(1).std.Trim(1), 3, 7),  # each call binds its own clip
    ],
)
def test_clip_is_bound_to_the_first_parameter(vcore, call, first, frames):
    clip = call(numbered(vcore))
    assert clip.num_frames == frames and clip.get_frame(0)[0][0, 0] == first


@pytest.mark.parametrize(
    "bound, plain",
    [
        (lambda a: a.std.AudioTrim(first=3, last=4000), lambda core, a: core.std.AudioTrim(a, 3, 4000)),
        (lambda a: a.std.AudioTrim(3, length=10), lambda core, a: core.std.AudioTrim(a, 3, length=10)),
        (lambda a: a[100:].std.AudioReverse(), lambda core, a: core.std.AudioReverse(a[100:])),
        # A video function gets the audio clip, and refuses it as it would in a plain call.
        (lambda a: a.std.Trim(first=1), lambda core, a: core.std.Trim(a, first=1)),
    ],
)
def test_audio_clip_is_bound_to_the_first_parameter(vcore, bound, plain):
    audio = vcore.std.BlankAudio(length=5000, waveform="sine", frequency=441.5, amplitude=0.5)
    try:
        expected = plain(vcore, audio)
    except RuntimeError as refusal:
        with pytest.raises(RuntimeError) as info:
            bound(audio)
        assert str(info.value) == str(refusal) and "not of the correct type" in str(refusal)
        return
    got = bound(audio)
    assert isinstance(got, lumeq.AudioNode) and got.num_samples == expected.num_samples
    assert all(bytes(g[c]) == bytes(e[c]) for g, e in zip(got.frames(), expected.frames()) for c in range(2))


def test_bound_function_takes_the_clip_as_one_more_positional(vcore):
    clip = numbered(vcore)
    with pytest.raises(TypeError) as info:
        clip.std.Trim(1, 2, 3, 4)
    assert str(info.value) == "std.Trim() takes at most 4 positional arguments (5 given)"
    with pytest.raises(TypeError) as info:
        clip.std.Trim(clip=clip)
    assert str(info.value) == "std.Trim() got multiple values for argument 'clip'"


def test_resize_as_a_method_equals_the_plain_call(vcore):
    clip = vcore.std.BlankClip(width=64, height=48, length=1)
    assert (clip.resize.Bicubic(32, 24).width, clip.resize.Bicubic(32, 24).height) == (32, 24)


def test_function_without_clip_parameter_refuses_method_call(vcore):
    clip = numbered(vcore)
    with pytest.raises(TypeError) as info:
        clip.std.LoadPlugin("/nowhere.so")
    assert str(info.value) == "std.LoadPlugin() cannot be called on a clip: its first parameter is not a clip"


@pytest.mark.parametrize("kind", ["VideoNode", "AudioNode"])
def test_own_members_win_and_unknown_names_say_both(vcore, kind):
    clip = numbered(vcore) if kind == "VideoNode" else vcore.std.BlankAudio(length=10)
    assert len(clip) == 10 and callable(clip.get_frame)
    with pytest.raises(AttributeError) as info:
        clip.nosuch
    assert str(info.value) == f"'{kind}' object has no attribute 'nosuch' and there is no plugin with namespace 'nosuch'"


def test_bound_reprs_show_the_clip(vcore):
    clip = numbered(vcore, 3)
    assert repr(clip.std).endswith(f" bound to {clip!r}>")
    assert repr(clip.std.Trim) == f"<lumeq.Function std.Trim bound to {clip!r}>"
    assert repr(vcore.std.Trim) == "<lumeq.Function std.Trim>"


def test_bound_plugin_keeps_its_clip_alive(vcore):
    trim = numbered(vcore, 3).std.Trim
    assert trim(1).num_frames == 2


def test_proxy_writes_reach_the_current_core():
    before = lumeq.core.num_threads
    try:
        lumeq.core.num_threads = 2
        assert lumeq.core.core.num_threads == 2
    finally:
        lumeq.core.num_threads = before
    with pytest.raises(AttributeError):
        lumeq.core.core = lumeq.Core()
    with pytest.raises(AttributeError):
        lumeq.core.nosuch = 1


@pytest.mark.parametrize("bound", [False, True])
def test_signature_shows_the_real_parameters(vcore, bound):
    trim = numbered(vcore).std.Trim if bound else vcore.std.Trim
    sig = inspect.signature(trim)
    names = ["first", "last", "length"] if bound else ["clip", "first", "last", "length"]
    assert list(sig.parameters) == names
    assert sig.parameters["first"].default is None
    assert sig.parameters["first"].annotation == int | None
    assert sig.return_annotation is lumeq.VideoNode
    assert sig.bind(*range(len(names)))


@pytest.mark.parametrize(
    "function, shown",
    [
        ("Splice", "(clips: lumeq.VideoNode | list[lumeq.VideoNode], mismatch: int | None = None) -> lumeq.VideoNode"),
        ("SetFrameProps", "(clip: lumeq.VideoNode, **kwargs) -> lumeq.VideoNode"),
        ("BlankAudio", None),
        ("Expr", None),
    ],
)
def test_annotations_follow_vapoursynth_types(vcore, function, shown):
    sig = inspect.signature(getattr(vcore.std, function))
    if shown is not None:
        assert str(sig) == shown
    if function == "BlankAudio":
        assert sig.return_annotation is lumeq.AudioNode
    if function == "Expr":
        assert sig.parameters["expr"].annotation == str | bytes | list[str | bytes]


def test_doc_and_help_list_each_parameter(vcore):
    doc = vcore.std.Trim.__doc__
    assert doc.splitlines()[0].startswith("std.Trim(clip: lumeq.VideoNode, first: int | None = None")
    assert "\nlength: int | None = None" in inspect.cleandoc(doc)
    assert lumeq.Function.__doc__.startswith("Function is a simple wrapper class")
    shown = pydoc.render_doc(vcore.std.Trim, renderer=pydoc.plaintext)
    assert all(part in shown for part in ("Trim(", "clip: lumeq.VideoNode", "length: int | None = None", ") -> lumeq.VideoNode"))


@pytest.mark.parametrize(
    "target, names",
    [
        (lambda core: core, {"std", "resize", "plugins", "num_threads"}),
        (lambda core: lumeq.core, {"std", "core", "num_threads"}),
        (lambda core: core.std, {"Trim", "BlankClip", "functions", "name"}),
        (lambda core: core.std.BlankClip(), {"std", "resize", "get_frame", "width"}),
        (lambda core: core.std.BlankAudio(), {"std", "resize", "get_frame", "sample_rate"}),
    ],
)
def test_dir_lists_namespaces_and_functions(vcore, target, names):
    listed = dir(target(vcore))
    assert names <= set(listed) and listed == sorted(listed)
