"""The enumerations and the VideoFormat of rendered frames."""
import gc
import importlib.util
import operator
import re
from pathlib import Path

import pytest

import lumeq
from lumeq import ColorFamily, SampleType
from vsformat import video_id


GRAY8 = video_id(1, 0, 8, 0, 0)
YUV420P8 = video_id(3, 0, 8, 1, 1)
YUV422P10 = video_id(3, 0, 10, 1, 0)
YUV444P16 = video_id(3, 0, 16, 0, 0)
RGB24 = video_id(2, 0, 8, 0, 0)
RGBS = video_id(2, 1, 32, 0, 0)
GRAYH = video_id(1, 1, 16, 0, 0)


@pytest.mark.parametrize(
    "member, value, text, hashed",
    [
        (ColorFamily.UNDEFINED, 0, "ColorFamily.UNDEFINED", -4800647303603446203),
        (ColorFamily.GRAY, 1, "ColorFamily.GRAY", 2206609067086327257),
        (ColorFamily.RGB, 2, "ColorFamily.RGB", -6569889354672326634),
        (ColorFamily.YUV, 3, "ColorFamily.YUV", -176652938616201990),
        (SampleType.INTEGER, 0, "SampleType.INTEGER", -4800647303603446203),
        (SampleType.FLOAT, 1, "SampleType.FLOAT", 2206609067086327257),
        (lumeq.Range.LIMITED, 0, "Range.LIMITED", -4800647303603446203),
        (lumeq.ColorRange.LIMITED, 1, "ColorRange.LIMITED", 2206609067086327257),
        (lumeq.AudioChannels.LOW_FREQUENCY2, 35, "AudioChannels.LOW_FREQUENCY2", None),
        (lumeq.PresetVideoFormat.YUV420P8, YUV420P8, "PresetVideoFormat.YUV420P8", None),
        (lumeq.YUV420P8, YUV420P8, "PresetVideoFormat.YUV420P8", None),
    ],
)
def test_members(member, value, text, hashed):
    assert int(member) == value
    assert repr(member) == text and str(member) == text
    assert hashed is None or hash(member) == hashed
    assert type(member).__module__ == "lumeq"
    assert getattr(type(member), text.split(".")[1]) is member


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (ColorFamily.RGB, ColorFamily.RGB, True),
        (ColorFamily.RGB, ColorFamily.YUV, False),
        (ColorFamily.RGB, 2, True),
        (2, ColorFamily.RGB, True),
        (ColorFamily.YUV, 3, True),
        (ColorFamily.YUV, 2, False),
        (SampleType.FLOAT, True, True),
        (ColorFamily.GRAY, SampleType.FLOAT, False),
        (ColorFamily.UNDEFINED, SampleType.INTEGER, False),
        (ColorFamily.RGB, "RGB", False),
        (ColorFamily.RGB, 2.0, False),
        (ColorFamily.RGB, 2**80, False),
        (ColorFamily.RGB, None, False),
        (lumeq.Range.FULL, lumeq.ColorRange.FULL, False),
        (lumeq.Range.FULL, 1, True),
        (lumeq.ColorRange.FULL, 0, True),
        (lumeq.RGBS, RGBS, True),
        (lumeq.RGBS, RGBS + 2**32, False),
        (lumeq.MatrixCoefficients.RGB, ColorFamily.UNDEFINED, False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [ColorFamily.RGB, 2])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError):
        op(ColorFamily.YUV, other)


@pytest.mark.parametrize("use", [lambda m: [0, 1, 2, 3][m], lambda m: range(m), hex, operator.index])
@pytest.mark.parametrize("member", [ColorFamily.RGB, lumeq.FieldBased.TOP, lumeq.AudioChannels.BACK_CENTER])
def test_members_are_not_indices(use, member):
    with pytest.raises(TypeError):
        use(member)


HEADERS = Path(list(importlib.util.find_spec("vapoursynth").submodule_search_locations)[0]) / "include"
HEADER_ENUMS = [
    ("VSChromaLocation", "ChromaLocation", "VSC_CHROMA_"),
    ("VSFieldBased", "FieldBased", "VSC_FIELD_"),
    ("VSMatrixCoefficients", "MatrixCoefficients", "VSC_MATRIX_"),
    ("VSTransferCharacteristics", "TransferCharacteristics", "VSC_TRANSFER_"),
    ("VSColorPrimaries", "ColorPrimaries", "VSC_PRIMARIES_"),
    ("VSColorRange", "ColorRange", "VSC_RANGE_"),
    ("VSRange", "Range", "VSC_RANGE_"),
    ("VSAudioChannels", "AudioChannels", "ac"),
]


def header_enumerators(enum):
    text = (HEADERS / "VapourSynth4.h").read_text() + (HEADERS / "VSConstants4.h").read_text()
    body = re.search(rf"typedef enum {enum} {{(.*?)}} {enum};", text, re.S).group(1)
    return re.findall(r"^\s*(\w+)\s*=\s*(\d+)", body, re.M)


def members_of(cls):
    return {name: member for name, member in vars(cls).items() if isinstance(member, cls)}


@pytest.mark.parametrize("enum, name, prefix", HEADER_ENUMS, ids=[e[1] for e in HEADER_ENUMS])
def test_enumerations_match_the_header(enum, name, prefix):
    expected = {symbol[len(prefix):]: int(value) for symbol, value in header_enumerators(enum)}
    members = members_of(getattr(lumeq, name))
    assert len(members) == len(expected)
    # Header names are CamelCase for the channels, upper case with underscores elsewhere.
    assert {key.replace("_", "").upper(): int(m) for key, m in members.items()} == \
        {key.replace("_", "").upper(): value for key, value in expected.items()}


def test_preset_formats_are_the_formats_vapoursynth_names(vcore, blank):
    presets = members_of(lumeq.PresetVideoFormat)
    assert len(presets) == (HEADERS / "VapourSynth4.h").read_text().count(" = VS_MAKE_VIDEO_ID(") + 1
    assert int(presets.pop("NONE")) == 0
    for name, member in presets.items():
        assert getattr(lumeq, name) is member and name in lumeq.__all__
        fmt = blank(format=member, width=16, height=16, length=1).get_frame(0).format
        assert (fmt.id, fmt.name.upper()) == (int(member), name)
        assert vcore.get_video_format(member).id == fmt.id


@pytest.mark.parametrize("props", [{"_Range": 1}, {"_ColorRange": 0}, {"_ColorRange": lumeq.ColorRange.FULL}], ids=str)
def test_full_range_compares_equal_to_range_full(vcore, blank, props):
    frame = vcore.std.SetFrameProps(blank(), **props).get_frame(0)
    assert frame.props["_Range"] == lumeq.Range.FULL
    assert frame.props["_Range"] != lumeq.Range.LIMITED


@pytest.mark.parametrize("cls", [ColorFamily, SampleType, lumeq.VideoFormat, lumeq.VideoFrame, lumeq.Range,
                                 lumeq.PresetVideoFormat, lumeq.AudioChannels])
def test_classes_are_final_and_not_constructible(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "fmt, name, family, sample, bits, nbytes, ssw, ssh, planes",
    [
        (GRAY8, "Gray8", ColorFamily.GRAY, SampleType.INTEGER, 8, 1, 0, 0, 1),
        (YUV420P8, "YUV420P8", ColorFamily.YUV, SampleType.INTEGER, 8, 1, 1, 1, 3),
        (YUV422P10, "YUV422P10", ColorFamily.YUV, SampleType.INTEGER, 10, 2, 1, 0, 3),
        (YUV444P16, "YUV444P16", ColorFamily.YUV, SampleType.INTEGER, 16, 2, 0, 0, 3),
        (RGB24, "RGB24", ColorFamily.RGB, SampleType.INTEGER, 8, 1, 0, 0, 3),
        (RGBS, "RGBS", ColorFamily.RGB, SampleType.FLOAT, 32, 4, 0, 0, 3),
        (GRAYH, "GrayH", ColorFamily.GRAY, SampleType.FLOAT, 16, 2, 0, 0, 1),
    ],
)
def test_format_properties(vcore, blank, fmt, name, family, sample, bits, nbytes, ssw, ssh, planes):
    clip = blank(format=fmt, width=32, height=16)
    queried = vcore.query_video_format(family, sample, bits, ssw, ssh)
    # the id comes back through the format= argument as the clip's own format
    rebuilt = blank(format=vcore.get_video_format(queried), width=32, height=16)
    for f in (clip.get_frame(0).format, clip.format, queried, rebuilt.format):
        assert (f.id, f.name) == (fmt, name)
        assert f.color_family is family and f.sample_type is sample
        assert (f.bits_per_sample, f.bytes_per_sample) == (bits, nbytes)
        assert (f.subsampling_w, f.subsampling_h, f.num_planes) == (ssw, ssh, planes)


@pytest.mark.parametrize(
    "call",
    [
        lambda core: core.get_video_format(0),
        lambda core: core.get_video_format(12345),
        lambda core: core.query_video_format(ColorFamily.YUV, SampleType.FLOAT, 8),
        lambda core: core.query_video_format(9, 0, 8),
        lambda core: core.query_video_format(ColorFamily.GRAY, SampleType.INTEGER, 8, 1, 1),
    ],
)
def test_invalid_video_formats(vcore, call):
    with pytest.raises(ValueError):
        call(vcore)


def test_varying_format_reads_none(vcore, blank):
    joined = vcore.std.Splice([blank(format=GRAY8), blank(format=YUV420P8)], mismatch=True)
    assert joined.format is None and lumeq.core.get_video_format(GRAY8).id == GRAY8


def test_format_cached_per_frame(blank):
    clip = blank(format=YUV420P8)
    frame = clip.get_frame(0)
    first = frame.format
    assert frame.format is first
    assert first.name == first.name and first.name is not first.name
    other = clip.get_frame(0).format
    assert other is not first
    # No equality of its own: two formats of the same kind compare by identity.
    assert other != first and other.id == first.id


def test_format_outlives_frame_and_core():
    core = lumeq.Core()
    frame = core.std.BlankClip(format=RGBS, width=8, height=8).get_frame(0)
    fmt = frame.format
    del frame, core
    gc.collect()
    assert (fmt.name, fmt.color_family, fmt.sample_type) == ("RGBS", ColorFamily.RGB, SampleType.FLOAT)
