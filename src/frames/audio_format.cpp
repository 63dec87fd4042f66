#include "frames/audio_format.hpp"

#include "frames/enums.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>

namespace lumeq {
namespace {

struct PyAudioFormat {
    std::string name;
    uint8_t sample_type;
    int32_t bits_per_sample;
    int32_t bytes_per_sample;
    int32_t num_channels;
    uint64_t channel_layout;
};

const PyAudioFormat& format_of(PyObject* self) { return unbox<PyAudioFormat>(self); }

PyRef format_name(PyObject* self) { return str_lossy(format_of(self).name); }
PyRef format_sample_type(PyObject* self) { return sample_type_member(format_of(self).sample_type); }
PyRef format_bits_per_sample(PyObject* self) { return py_int(format_of(self).bits_per_sample); }
PyRef format_bytes_per_sample(PyObject* self) { return py_int(format_of(self).bytes_per_sample); }
PyRef format_num_channels(PyObject* self) { return py_int(format_of(self).num_channels); }
PyRef format_channels(PyObject* self) { return channels_tuple(format_of(self).channel_layout); }
PyRef format_channel_layout(PyObject* self) {
    return require_new(PyLong_FromUnsignedLongLong(format_of(self).channel_layout));
}

PyRef format_repr(PyObject* self) {
    const PyAudioFormat& f = format_of(self);
    std::string text = "<lumeq.AudioFormat " + lossy_utf8(f.name) + ": " + (f.sample_type == stFloat ? "float" : "integer") +
                       ", " + std::to_string(f.bits_per_sample) + " bits, " + std::to_string(f.num_channels) +
                       (f.num_channels == 1 ? " channel>" : " channels>");
    return str_from_utf8(text);
}

PyGetSetDef format_getset[] = {
    {"name", getter<format_name>, nullptr, "A human readable name of the format.", nullptr},
    {"sample_type", getter<format_sample_type>, nullptr, "If the format is integer or floating point based.", nullptr},
    {"bits_per_sample", getter<format_bits_per_sample>, nullptr, "The number of significant bits per sample.", nullptr},
    {"bytes_per_sample", getter<format_bytes_per_sample>, nullptr, "The number of bytes each sample occupies.",
     nullptr},
    {"num_channels", getter<format_num_channels>, nullptr, "The number of audio channels.", nullptr},
    {"channels", getter<format_channels>, nullptr, "The channel positions, as a tuple of `AudioChannels` members.",
     nullptr},
    {"channel_layout", getter<format_channel_layout>, nullptr,
     "The channel positions as a bit mask (bit n for `AudioChannels` value n).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot format_slots[] = {
    {Py_tp_doc, const_cast<char*>("Describes the samples of an audio clip: their type and size, and the channels.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyAudioFormat>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<format_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<format_name>)},
    {Py_tp_getset, format_getset},
    {0, nullptr},
};
PyType_Spec format_spec = {"lumeq.AudioFormat", sizeof(PyBox<PyAudioFormat>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, format_slots};

int channel_position(PyObject* item) {
    std::optional<int64_t> member = enum_or_format_value(item);
    int64_t position = member ? *member : to_i64(item);
    if (position < 0 || position > 63) throw_value_error("invalid channel position: " + std::to_string(position));
    return static_cast<int>(position);
}

}  // namespace

PyTypeObject* audio_format_type() { return lazy_type<format_spec>(); }

PyRef build_audio_format(const VSAudioFormat& format, const OwnerHandle& owner) {
    char buffer[32] = {};
    std::string name = "None";
    if (owner.api()->getAudioFormatName(&format, buffer) != 0) name.assign(buffer, strnlen(buffer, 31));
    PyAudioFormat data{std::move(name),          static_cast<uint8_t>(format.sampleType), format.bitsPerSample,
                       format.bytesPerSample,    format.numChannels,                      format.channelLayout};
    return make_instance(audio_format_type(), std::move(data));
}

PyRef channels_tuple(uint64_t layout) {
    PyRef tuple = require_new(PyTuple_New(std::popcount(layout)));
    Py_ssize_t index = 0;
    for (int bit = 0; bit < 64; ++bit) {
        if ((layout >> bit & 1) == 0) continue;
        require_status(PyTuple_SetItem(tuple.get(), index++, enum_member(EnumKind::AudioChannels, bit).release()));
    }
    return tuple;
}

uint64_t layout_from_positions(PyObject* positions) {
    if (PyUnicode_Check(positions) || PyBytes_Check(positions) || !PySequence_Check(positions))
        throw_type_error("channels must be a sequence of channel positions");
    PyRef iterator = require_new(PyObject_GetIter(positions));
    uint64_t layout = 0;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        int position = channel_position(item.get());
        uint64_t bit = uint64_t{1} << position;
        if (layout & bit) throw_value_error("channel position " + std::to_string(position) + " given twice");
        layout |= bit;
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return layout;
}

}  // namespace lumeq
