#include "clips/audio_node.hpp"

#include "clips/async.hpp"
#include "clips/clip.hpp"
#include "clips/clip_ops.hpp"
#include "clips/frame_iter.hpp"
#include "frames/audio_format.hpp"
#include "frames/audio_frame.hpp"
#include "frames/enums.hpp"
#include "runtime/args.hpp"

#include <string>

namespace lumeq {
namespace {

const VSAudioInfo& audio_info(PyObject* self) {
    const AudioNodeData& data = audio_node_data(self);
    return *data.node.api()->getAudioInfo(data.node.get());
}

int64_t sample_count(PyObject* self) { return audio_info(self).numSamples; }

Py_ssize_t node_len(PyObject* self) { return static_cast<Py_ssize_t>(sample_count(self)); }

PyRef node_sample_type(PyObject* self) {
    return sample_type_member(static_cast<uint8_t>(audio_info(self).format.sampleType));
}
PyRef node_bits_per_sample(PyObject* self) { return py_int(audio_info(self).format.bitsPerSample); }
PyRef node_bytes_per_sample(PyObject* self) { return py_int(audio_info(self).format.bytesPerSample); }
PyRef node_num_channels(PyObject* self) { return py_int(audio_info(self).format.numChannels); }
PyRef node_channels(PyObject* self) { return channels_tuple(audio_info(self).format.channelLayout); }
PyRef node_format(PyObject* self) { return build_audio_format(audio_info(self).format, audio_node_data(self).owner); }
PyRef node_sample_rate(PyObject* self) { return py_int(audio_info(self).sampleRate); }
PyRef node_num_samples(PyObject* self) { return py_int(audio_info(self).numSamples); }
PyRef node_num_frames(PyObject* self) { return py_int(audio_info(self).numFrames); }

PyRef node_repr(PyObject* self) {
    const VSAudioInfo& ai = audio_info(self);
    const char* kind = ai.format.sampleType == stFloat ? " float" : " integer";
    std::string text = "<lumeq.AudioNode " + std::to_string(ai.format.numChannels) + " channels, " +
                       std::to_string(ai.format.bitsPerSample) + "-bit" + kind + ", " +
                       std::to_string(ai.sampleRate) + " Hz, " + std::to_string(ai.numSamples) + " samples>";
    return str_from_utf8(text);
}

const Signature get_frame_signature{"AudioNode.get_frame", {"n"}, 1, 0, 1};

PyRef node_get_frame(PyObject* self, const Args& args) {
    int32_t n = args.convert(0, to_i32);
    const AudioNodeData& data = audio_node_data(self);
    return make_audio_frame(render_frame(data.node, n), data.owner.clone());
}

// ------------------------------------------------------------ operators

const NodeRef& node_of(PyObject* self) { return audio_node_data(self).node; }
const OwnerHandle& owner_of(PyObject* self) { return audio_node_data(self).owner; }

const ClipKind audio_kind{true, "AudioNode", is_audio_node, node_of, owner_of, sample_count, make_audio_node};

PyRef node_subscript(PyObject* self, PyObject* key) { return clip_subscript(audio_kind, self, key); }
PyRef node_item(PyObject* self, Py_ssize_t index) { return clip_item(audio_kind, self, index); }
PyRef node_add(PyObject* left, PyObject* right) { return clip_add(audio_kind, left, right); }
PyRef node_multiply(PyObject* left, PyObject* right) { return clip_multiply(audio_kind, left, right); }

PyGetSetDef node_getset[] = {
    {"sample_type", getter<node_sample_type>, nullptr, "The sample type of the audio.", nullptr},
    {"bits_per_sample", getter<node_bits_per_sample>, nullptr, "The number of significant bits per sample.", nullptr},
    {"bytes_per_sample", getter<node_bytes_per_sample>, nullptr, "The number of bytes each sample occupies.", nullptr},
    {"num_channels", getter<node_num_channels>, nullptr, "The number of audio channels.", nullptr},
    {"channels", getter<node_channels>, nullptr, "The channel positions, as a tuple of `AudioChannels` members.",
     nullptr},
    {"sample_rate", getter<node_sample_rate>, nullptr, "The sample rate in Hz.", nullptr},
    {"num_samples", getter<node_num_samples>, nullptr, "The number of sample frames in the clip.", nullptr},
    {"num_frames", getter<node_num_frames>, nullptr, "The number of audio frames in the clip.", nullptr},
    {"format", getter<node_format>, nullptr, "The clip's `AudioFormat`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef node_methods[] = {
    {"get_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<get_frame_signature, node_get_frame>)),
     METH_FASTCALL | METH_KEYWORDS, "Returns an `AudioFrame` from position n."},
    {"get_frame_async",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<audio_get_frame_async_signature, node_get_frame_async>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Renders frame `n` concurrently in the core's thread pool. Returns a\ncoroutine resolving to the `AudioFrame`."},
    {"frames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<audio_frames_signature, node_frames>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Returns a generator iterator of all `AudioFrame`s in the clip. It will\nrender multiple frames concurrently."},
    {"set_output",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<audio_set_output_signature, audio_clip_set_output>)),
     METH_FASTCALL | METH_KEYWORDS, "Registers this clip as an audio output on the current environment."},
    {"__dir__", method_noargs<clip_dir>, METH_NOARGS, "The clip's members and the plugin namespaces of its core."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents an audio clip.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<AudioNodeData>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<node_repr>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<clip_getattro>)},
    {Py_mp_length, reinterpret_cast<void*>(len_slot<node_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<node_subscript>)},
    {Py_sq_item, reinterpret_cast<void*>(sq_item_slot<node_item>)},
    {Py_nb_add, reinterpret_cast<void*>(binary_slot<node_add>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary_slot<node_multiply>)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {0, nullptr},
};

PyType_Spec audio_node_spec = {"AudioNode", sizeof(PyBox<AudioNodeData>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, node_slots};

}  // namespace

PyTypeObject* audio_node_type() { return lazy_type<audio_node_spec>(); }

PyRef make_audio_node(NodeRef node, OwnerHandle owner) {
    return make_instance(audio_node_type(), AudioNodeData{std::move(owner), std::move(node)});
}

bool is_audio_node(PyObject* obj) { return Py_IS_TYPE(obj, audio_node_type()); }

const AudioNodeData& audio_node_data(PyObject* obj) { return unbox<AudioNodeData>(obj); }

}  // namespace lumeq
