#include "frames/audio_frame.hpp"

#include "frames/audio_format.hpp"
#include "frames/audio_interleave.hpp"
#include "frames/enums.hpp"
#include "frames/frame_props.hpp"
#include "frames/video_frame.hpp"
#include "runtime/args.hpp"
#include "runtime/buffer.hpp"

#include <cinttypes>
#include <cstdio>
#include <array>
#include <string>

namespace lumeq {
namespace {

// Members are destroyed in reverse order: the frame cell first, then the owner.
struct PyAudioFrame {
    OwnerHandle owner;
    FrameCellRef cell;
};

PyAudioFrame& frame_of(PyObject* self) { return unbox<PyAudioFrame>(self); }

const VSAudioFormat& audio_format(const PyAudioFrame& f) { return *f.cell.api()->getAudioFrameFormat(f.cell.frame()); }

PyRef frame_sample_type(PyObject* self) {
    return sample_type_member(static_cast<uint8_t>(audio_format(frame_of(self)).sampleType));
}
PyRef frame_bits_per_sample(PyObject* self) { return py_int(audio_format(frame_of(self)).bitsPerSample); }
PyRef frame_bytes_per_sample(PyObject* self) { return py_int(audio_format(frame_of(self)).bytesPerSample); }
PyRef frame_num_channels(PyObject* self) { return py_int(audio_format(frame_of(self)).numChannels); }
PyRef frame_channels(PyObject* self) { return channels_tuple(audio_format(frame_of(self)).channelLayout); }
PyRef frame_format(PyObject* self) { return build_audio_format(audio_format(frame_of(self)), frame_of(self).owner); }

int samples_in(const PyAudioFrame& f) { return f.cell.api()->getFrameLength(f.cell.frame()); }

PyRef frame_num_samples(PyObject* self) { return py_int(samples_in(frame_of(self))); }

PyRef frame_props(PyObject* self) {
    const PyAudioFrame& f = frame_of(self);
    return frame_props_mapping(f.cell, f.owner);
}

Py_ssize_t frame_len(PyObject* self) { return audio_format(frame_of(self)).numChannels; }

// 24-bit samples occupy four bytes, so they read as 32-bit integers.
char sample_code(const VSAudioFormat& af) {
    if (af.sampleType == stFloat && af.bytesPerSample == 4) return 'f';
    if (af.sampleType == stInteger && af.bytesPerSample == 2) return 'h';
    if (af.sampleType == stInteger && af.bytesPerSample == 4) return 'i';
    throw_runtime_error(std::string("unsupported sample layout: ") + (af.sampleType == stFloat ? "Float" : "Integer") +
                        "/" + std::to_string(af.bytesPerSample) + " bytes");
}

// A writable frame is read and written through its write pointers only:
// taking one may move the channel, invalidating read pointers.
const uint8_t* channel_samples(const PyAudioFrame& f, int channel) {
    return f.cell.writable() ? f.cell.api()->getWritePtr(f.cell.write_frame(), channel)
                             : f.cell.api()->getReadPtr(f.cell.frame(), channel);
}

PyRef frame_subscript(PyObject* self, PyObject* key) {
    int32_t index = convert_named("index", key, to_i32);
    const PyAudioFrame& f = frame_of(self);
    const VSAudioFormat& af = audio_format(f);
    if (index < 0 || index >= af.numChannels) throw_index_error("index out of range");
    const uint8_t* samples = channel_samples(f, index);
    return make_channel_view(f.cell.clone(), samples, sample_code(af), samples_in(f), af.bytesPerSample);
}

PyRef frame_item(PyObject* self, Py_ssize_t index) {
    PyRef key = py_int(index);
    return frame_subscript(self, key.get());
}

PyRef frame_readonly(PyObject* self) { return PyRef::boolean(!frame_of(self).cell.writable()); }

PyRef frame_copy(PyObject* self) {
    const PyAudioFrame& f = frame_of(self);
    return make_instance(audio_frame_type(),
                         PyAudioFrame{f.owner.clone(), copy_to_writable(f.cell, audio_format(f).numChannels)});
}

const Signature interleave_signature{"AudioFrame._interleave_into", {"buffer", "offset", "width"}, 3, 0, 1};

// Writes the samples interleaved at byte `offset` of `buffer`; returns the
// byte count. The file writers call this once per frame, so it copies with
// no Python objects made per channel.
PyRef frame_interleave_into(PyObject* self, const Args& args) {
    const PyAudioFrame& f = frame_of(self);
    const VSAudioFormat& af = audio_format(f);
    int64_t offset = args.has(1) ? args.convert(1, to_i64) : 0;
    int width = args.has(2) && args[2] != Py_None ? args.convert(2, to_i32) : af.bytesPerSample;
    if (!interleave_width_supported(af.bytesPerSample, width))
        throw_value_error("cannot write " + std::to_string(af.bytesPerSample) + "-byte samples as " +
                          std::to_string(width) + " bytes each");
    size_t samples = static_cast<size_t>(samples_in(f));
    int64_t needed = static_cast<int64_t>(samples) * af.numChannels * width;
    BufferHold out(args[0], PyBUF_WRITABLE);
    if (offset < 0 || offset > out.size() || out.size() - offset < needed)
        throw_value_error("the frame's " + std::to_string(needed) + " bytes do not fit in the buffer's " +
                          std::to_string(out.size()) + " bytes at offset " + std::to_string(offset));
    std::array<const uint8_t*, 64> channels{};  // a layout has at most 64 positions
    for (int c = 0; c < af.numChannels; ++c) channels[static_cast<size_t>(c)] = channel_samples(f, c);
    interleave(channels.data(), af.numChannels, samples, af.bytesPerSample, width, out.data() + offset);
    return py_int(needed);
}

PyRef frame_repr(PyObject* self) {
    const PyAudioFrame& f = frame_of(self);
    const VSAudioFormat& af = audio_format(f);
    char address[32];
    std::snprintf(address, sizeof address, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(self));
    return str_from_utf8("<lumeq.AudioFrame object at 0x" + std::string(address) +
                         " channels=" + std::to_string(af.numChannels) + ", bits=" + std::to_string(af.bitsPerSample) +
                         (af.sampleType == stFloat ? " float" : " integer") +
                         ", samples=" + std::to_string(samples_in(f)) +
                         (f.cell.writable() ? ", readonly=False>" : ", readonly=True>"));
}

PyGetSetDef frame_getset[] = {
    {"sample_type", getter<frame_sample_type>, nullptr, "The sample type of the frame.", nullptr},
    {"bits_per_sample", getter<frame_bits_per_sample>, nullptr, "The number of significant bits per sample.", nullptr},
    {"bytes_per_sample", getter<frame_bytes_per_sample>, nullptr, "The number of bytes each sample occupies.", nullptr},
    {"num_channels", getter<frame_num_channels>, nullptr, "The number of channels.", nullptr},
    {"channels", getter<frame_channels>, nullptr, "The channel positions, as a tuple of `AudioChannels` members.",
     nullptr},
    {"format", getter<frame_format>, nullptr, "The frame's `AudioFormat`.", nullptr},
    {"num_samples", getter<frame_num_samples>, nullptr, "The number of sample frames in this frame.", nullptr},
    {"props", getter<frame_props>, nullptr,
     "The frame's properties: a live, mutable mapping on a writable frame, a\nread-only mapping otherwise.", nullptr},
    {"readonly", getter<frame_readonly>, nullptr, "False for a frame made by `copy()` until it is handed to VapourSynth.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef frame_methods[] = {
    {"copy", method_noargs<frame_copy>, METH_NOARGS,
     "Returns a new, writable copy of the frame (samples and properties)."},
    {"_interleave_into",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<interleave_signature, frame_interleave_into>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_interleave_into($self, buffer, offset=0, width=None)\n--\n\nWrites the samples into the writable buffer at byte "
     "`offset`, sample frame\nby sample frame in channel order, each sample as its high `width` bytes,\nlittle-endian "
     "(default: all `bytes_per_sample`; 3 packs 24-bit audio).\nReturns the number of bytes written."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Represents an audio frame. `frame[channel]` returns a read-only 1-D\n`memoryview` of that "
                       "channel's samples (writable on a copy).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyAudioFrame>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<frame_repr>)},
    {Py_mp_length, reinterpret_cast<void*>(len_slot<frame_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<frame_subscript>)},
    {Py_sq_item, reinterpret_cast<void*>(sq_item_slot<frame_item>)},
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, frame_methods},
    {0, nullptr},
};
PyType_Spec audio_frame_spec = {"lumeq.AudioFrame", sizeof(PyBox<PyAudioFrame>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, frame_slots};

}  // namespace

PyTypeObject* audio_frame_type() { return lazy_type<audio_frame_spec>(); }

PyRef make_audio_frame(FrameRef frame, OwnerHandle owner) {
    if (!frame) internal_fault("frame construction without a frame");
    return make_instance(audio_frame_type(), PyAudioFrame{owner.clone(), FrameCellRef(std::move(frame), std::move(owner))});
}

bool is_audio_frame(PyObject* obj) { return Py_IS_TYPE(obj, audio_frame_type()); }

FrameRef audio_frame_ref(PyObject* obj) {
    const FrameCellRef& cell = frame_of(obj).cell;
    cell.hand_over();  // a writable frame stored in a map is VapourSynth's to read from now on
    return FrameRef(cell.api()->addFrameRef(cell.frame()), cell.api());
}

}  // namespace lumeq
