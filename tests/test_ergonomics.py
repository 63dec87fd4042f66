"""What a script author meets first: parameters named like keywords, error
texts that say what was meant, readable formats, module names, the version."""
import importlib.metadata
import inspect
import pathlib
import pickle

import pytest

import lumeq

TEST_PLUGIN = pathlib.Path(__file__).resolve().parent.parent / "build" / "native" / "liblumeqtest.so"


@pytest.fixture
def echo(vcore):
    if not TEST_PLUGIN.exists():
        pytest.skip("test plugin not built (make native-tests)")
    vcore.std.LoadPlugin(path=str(TEST_PLUGIN))
    return vcore.lumeqtest.EchoKeywords


@pytest.mark.parametrize("kwargs, expected", [
    ({"lambda_": 5}, 5),
    ({"lambda": 5}, 5),
    ({"lambda_": 5, "global_": [1, 2]}, {"lambda": 5, "global": [1.0, 2.0]}),
    ({"global_": 3}, 3.0),
])
def test_keyword_named_parameters_take_a_trailing_underscore(echo, kwargs, expected):
    assert echo(**kwargs) == expected


def test_keyword_named_parameter_given_both_ways_is_a_duplicate(echo, blank):
    with pytest.raises(TypeError, match=r"lumeqtest.EchoKeywords\(\) got multiple values for argument 'lambda_'"):
        echo(lambda_=1, **{"lambda": 2})
    with pytest.raises(TypeError, match="got multiple values for argument 'clip'"):
        echo(blank(), clip=blank())
    assert echo(blank(), 4)["lambda"] == 4


def test_keyword_named_parameters_in_signature_and_help(echo):
    signature = inspect.signature(echo)
    assert list(signature.parameters) == ["clip", "lambda_", "global_"]
    assert "lambda_: int | None = None" in echo.__doc__
    assert echo.signature.startswith("clip:vnode:opt;lambda:int:opt;")


@pytest.mark.parametrize("call, text, note", [
    (lambda c, clip: c.std.BoxBlur(clip, hradius="3"), "argument hradius is not of the correct type",
     "hradius: expected int, got str"),
    (lambda c, clip: c.std.BoxBlur(clip=clip, planes=["0"]), "argument planes is not of the correct type",
     "planes: expected int or a list of int, got a list holding str"),
    (lambda c, clip: c.std.BoxBlur(clip=clip, planes=[0, "1"]), "The wrong function was used to retrieve the property",
     "planes: expected int or a list of int, got a list holding str"),
    (lambda c, clip: c.std.Splice(clips=[clip, 3]), "The wrong function was used",
     "clips: expected VideoNode or a list of VideoNode, got a list holding int"),
    (lambda c, clip: c.std.BoxBlur(clip, hradious=3), "no argument(s) named hradious", "did you mean 'hradius'?"),
    (lambda c, clip: c.std.BoxBlr, "plugin 'std' has no function 'BoxBlr'", "did you mean 'BoxBlur'?"),
    (lambda c, clip: c.sdt, "no plugin with namespace 'sdt'", "did you mean 'std'?"),
    (lambda c, clip: clip.stdlib, "'VideoNode' object has no attribute 'stdlib' and there is no plugin",
     "did you mean 'std'?"),
])
def test_errors_keep_their_text_and_add_a_note(vcore, blank, call, text, note):
    with pytest.raises((RuntimeError, AttributeError)) as caught:
        call(vcore, blank())
    assert text in str(caught.value)
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize("name", ["zzzzzz", "_ipython_display_"])
def test_no_note_without_a_close_match(vcore, name):
    with pytest.raises(AttributeError) as caught:
        getattr(vcore, name)
    assert not hasattr(caught.value, "__notes__")


def test_read_only_props_say_to_copy(blank):
    frame = blank().get_frame(0)
    props = frame.props
    with pytest.raises(TypeError, match="'mappingproxy' object does not support item assignment") as caught:
        props["x"] = 1
    assert caught.value.__notes__ == [
        "frame properties are read-only on a frame VapourSynth made; call frame.copy() to get a writable frame"]
    with pytest.raises(TypeError, match="does not support item deletion"):
        del props["_DurationNum"]
    for name in ("update", "pop", "clear", "setdefault", "popitem"):
        assert not hasattr(props, name)
    props |= {"x": 1}
    assert type(props) is dict and "x" not in frame.props
    assert dict(frame.props) == frame.props.copy() == {"_DurationNum": 1, "_DurationDen": 24}
    out = frame.copy()
    out.props["Stamped"] = 3
    assert out.props["Stamped"] == 3


@pytest.mark.parametrize("get, text", [
    (lambda c: c.query_video_format(lumeq.ColorFamily.YUV, lumeq.SampleType.INTEGER, 10, 1, 1),
     "<lumeq.VideoFormat YUV420P10: YUV, integer, 10 bits, subsampling 1/1, 3 planes>"),
    (lambda c: c.get_video_format(lumeq.GRAY8), "<lumeq.VideoFormat Gray8: Gray, integer, 8 bits, subsampling 0/0, 1 plane>"),
    (lambda c: c.get_video_format(lumeq.RGBS), "<lumeq.VideoFormat RGBS: RGB, float, 32 bits, subsampling 0/0, 3 planes>"),
    (lambda c: c.std.BlankAudio().format, "<lumeq.AudioFormat Audio16 (2 CH): integer, 16 bits, 2 channels>"),
])
def test_formats_read_as_what_they_are(vcore, get, text):
    fmt = get(vcore)
    assert repr(fmt) == text
    assert str(fmt) == fmt.name


def test_every_type_is_lumeqs(vcore, blank):
    clip = blank()
    frame = clip.get_frame(0)
    objects = [vcore, lumeq.core, vcore.std, vcore.std.Trim, vcore.std.functions(), vcore.plugins(), clip,
               vcore.std.BlankAudio(), frame, frame[0].obj, frame.props, frame.copy().props, clip.frames(),
               clip.get_frame_async(0)]
    for obj in objects:
        assert type(obj).__module__ == "lumeq", type(obj)
    with pytest.raises(TypeError, match="lumeq.VideoNode"):
        pickle.dumps(clip)
    objects[-1].close()


def test_version_is_the_package_version():
    assert lumeq.__version__ == importlib.metadata.version("lumeq")
    assert "__version__" not in lumeq.__all__
