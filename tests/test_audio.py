"""Audio clips and frames: attributes, sample-exact slicing, channel buffers, outputs."""
import asyncio

import numpy as np
import pytest

import lumeq

FL, FR = lumeq.AudioChannels.FRONT_LEFT, lumeq.AudioChannels.FRONT_RIGHT


@pytest.fixture
def tone(vcore):
    """A stereo sine whose samples differ, so any misplaced sample shows."""

    def make(length=10000, bits=32, sampletype=1):
        return vcore.std.BlankAudio(
            length=length, bits=bits, sampletype=sampletype, waveform="sine", frequency=441.5, amplitude=0.5
        )

    return make


def samples(clip):
    """The whole clip as a (channels, samples) array."""
    return np.concatenate([np.stack([np.asarray(f[c]) for c in range(len(f))]) for f in clip.frames()], axis=1)


@pytest.mark.parametrize(
    "bits, sampletype, code, dtype",
    [(16, 0, "h", np.int16), (24, 0, "i", np.int32), (32, 0, "i", np.int32), (32, 1, "f", np.float32)],
)
def test_formats_and_channel_buffers(tone, bits, sampletype, code, dtype):
    clip = tone(length=7000, bits=bits, sampletype=sampletype)
    assert (clip.bits_per_sample, clip.num_channels, clip.num_samples, clip.num_frames) == (bits, 2, 7000, 3)
    assert clip.sample_type == (lumeq.SampleType.FLOAT if sampletype else lumeq.SampleType.INTEGER)
    assert clip.bytes_per_sample == (2 if bits == 16 else 4)
    assert clip.channels == (FL, FR) and clip.channels[0] is FL and len(clip) == 7000
    fmt = clip.format
    assert (fmt.sample_type, fmt.bits_per_sample, fmt.bytes_per_sample) == \
        (clip.sample_type, bits, clip.bytes_per_sample)
    assert (fmt.num_channels, fmt.channels, fmt.channel_layout) == (2, (FL, FR), 3)
    assert repr(clip).startswith("<lumeq.AudioNode 2 channels, ")
    frames = list(clip.frames())
    assert [f.num_samples for f in frames] == [3072, 3072, 856]
    assert frames[2].channels == (FL, FR) and frames[2].format.name == fmt.name
    view = frames[0][1]
    assert (view.format, view.shape, view.readonly) == (code, (3072,), True)
    array = np.asarray(view)
    assert array.dtype == dtype and not array.flags.writeable
    assert np.shares_memory(array, np.asarray(frames[0][1]))
    with pytest.raises(TypeError):
        view[0] = 0
    with pytest.raises(IndexError):
        frames[0][2]
    # The short last frame, its channels told apart, interleaved as the file writers store it.
    last = frames[2].copy()
    for c in range(2):
        np.asarray(last[c])[:] = (np.arange(856) * 2 + c + 1) * (256 if bits == 24 else 1)
    expected = np.stack([np.asarray(last[c]) for c in range(2)], axis=1)
    width = 3 if bits == 24 else clip.bytes_per_sample
    if bits == 24:  # the high three bytes of each 32-bit word
        expected = expected.view(np.uint8).reshape(856, 2, 4)[..., 1:]
    out = bytearray(5 + 856 * 2 * width + 3)
    assert last._interleave_into(out, 5, width) == 856 * 2 * width
    assert out[5:-3] == expected.tobytes() and out[:5] + out[-3:] == bytes(8)


@pytest.mark.parametrize(
    "op",
    [
        lambda a: a[100:9000],
        lambda a: a[-3500:],
        lambda a: a[::-1],
        lambda a: a[9000:100:-1],
        lambda a: a[4321],
        lambda a: a[-1],
        lambda a: a + a[:5],
        lambda a: a * 3,
    ],
)
def test_slicing_and_joining_are_sample_exact(tone, op):
    clip = tone()
    whole = samples(clip)
    assert np.array_equal(samples(op(clip)), op(_Columns(whole)).array)


class _Columns:
    """numpy slicing along the sample axis with the clip operators' meaning."""

    def __init__(self, array):
        self.array = array

    def __getitem__(self, key):
        if isinstance(key, int):
            key = slice(key, key + 1) if key != -1 else slice(-1, None)
        return _Columns(self.array[:, key])

    def __add__(self, other):
        return _Columns(np.concatenate([self.array, other.array], axis=1))

    def __mul__(self, times):
        return _Columns(np.concatenate([self.array] * times, axis=1))


@pytest.mark.parametrize(
    "op, error, text",
    [
        (lambda a: a[10000], IndexError, "AudioNode index out of range"),
        (lambda a: a["x"], TypeError, "AudioNode indices must be integers or slices"),
        (lambda a: a[::2], ValueError, "AudioNode slices only support a step of 1 or -1"),
        (lambda a: a * 0, ValueError, "Loop count must greater than zero"),
        (lambda a: a * "x", TypeError, "Clips may only be repeated by integer factors"),
    ],
)
def test_operator_errors(tone, op, error, text):
    with pytest.raises(error, match=text):
        op(tone())


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda f: f._interleave_into(bytearray(3072 * 4), 0, 3), ValueError),  # 16-bit samples do not pack
        (lambda f: f._interleave_into(bytearray(3072 * 4 - 1)), ValueError),
        (lambda f: f._interleave_into(bytearray(3072 * 4 + 8), 9), ValueError),
        (lambda f: f._interleave_into(bytearray(3072 * 4), -1), ValueError),
        (lambda f: f._interleave_into(bytes(3072 * 4)), BufferError),
        (lambda f: f._interleave_into(memoryview(bytearray(3072 * 8))[::2]), BufferError),
    ],
)
def test_interleave_refuses_what_does_not_fit(tone, call, error):
    frame = tone(bits=16, sampletype=0).get_frame(0)
    with pytest.raises(error):
        call(frame)
    out = bytearray(3072 * 4 + 8)
    assert frame._interleave_into(out, 8) == 3072 * 4 and out[8:] == bytes(np.stack([frame[0], frame[1]], 1))


def test_audio_values_convert_both_ways(tone, vcore):
    mixed = vcore.std.AudioMix(clips=[tone()], matrix=[1, 0], channels_out=[2])
    assert isinstance(mixed, lumeq.AudioNode) and mixed.num_channels == 1
    assert np.array_equal(samples(mixed)[0], samples(tone())[0])


@pytest.mark.parametrize("channels", [[0, 1, 2, 3, 4, 5], [lumeq.AudioChannels.LOW_FREQUENCY2], [3, 0], [20, 63]],
                         ids=str)
def test_layouts_read_as_channel_tuples(vcore, channels):
    clip = vcore.std.BlankAudio(channels=channels, length=10)
    assert clip.channels == tuple(sorted(channels, key=int)) == clip.get_frame(0).channels
    assert all(type(c) is lumeq.AudioChannels for c in clip.channels)
    queried = vcore.query_audio_format(lumeq.SampleType.FLOAT, 32, channels)
    assert (queried.channels, queried.num_channels) == (clip.channels, len(channels))
    assert queried.channel_layout == sum(1 << int(c) for c in channels)


@pytest.mark.parametrize("args, error", [
    ((lumeq.SampleType.FLOAT, 16, [0]), ValueError),
    ((lumeq.SampleType.INTEGER, 8, [0]), ValueError),
    ((0, 16, []), ValueError),
    ((0, 16, [FL, 0]), ValueError),
    ((0, 16, [64]), ValueError),
    ((0, 16, [-1]), ValueError),
    ((0, 16, "ab"), TypeError),
    ((0, 16, 3), TypeError),
    ((0, 16, [1.5]), TypeError),
], ids=str)
def test_invalid_audio_formats(vcore, args, error):
    with pytest.raises(error):
        vcore.query_audio_format(*args)


def test_audio_frames_travel_as_property_values(vcore, tone):
    frame = tone().get_frame(1)
    clip = vcore.std.SetFrameProps(vcore.std.BlankClip(), sound=frame, sounds=[frame, frame])
    props = clip.get_frame(0).props
    assert isinstance(props["sound"], lumeq.AudioFrame) and len(props["sounds"]) == 2
    assert np.array_equal(np.asarray(props["sound"][1]), np.asarray(frame[1]))


def test_get_frame_async(tone):
    clip = tone()

    async def fetch():
        return await clip.get_frame_async(3)

    frame = asyncio.run(fetch())
    assert isinstance(frame, lumeq.AudioFrame) and frame.num_samples == 10000 - 3 * 3072
    assert np.array_equal(np.asarray(frame[0]), np.asarray(clip.get_frame(3)[0]))
