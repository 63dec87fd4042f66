#include "enums.hpp"

#include <array>
#include <cstring>
#include <string>

namespace lumeq {
namespace {

// --------------------------------------------------------------- SipHash

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void compress(uint64_t m) {
        v3 ^= m;
        round();  // one compression round
        v0 ^= m;
    }
};

uint64_t read_le64(const unsigned char* p) {
    uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | p[i];
    return m;
}

// SipHash-1-3: one compression round per block, three finalisation rounds.
uint64_t siphash13(uint64_t k0, uint64_t k1, const unsigned char* data, size_t len) {
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    size_t full = len - len % 8;
    for (size_t i = 0; i < full; i += 8) s.compress(read_le64(data + i));
    uint64_t last = static_cast<uint64_t>(len & 0xff) << 56;
    for (size_t i = 0; i < len % 8; ++i) last |= static_cast<uint64_t>(data[full + i]) << (8 * i);
    s.compress(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < 3; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// ---------------------------------------------------------- enumerations

struct EnumValue {
    uint8_t value;
};

struct EnumMember {
    uint8_t value;
    const char* name;
};

// One enumeration class: its PyType_Spec, its named members and one singleton per
// possible value. VapourSynth codes are stored without translation, so a
// code outside the named set still gets its own singleton.
struct EnumClass {
    const char* class_name;
    const EnumMember* members;
    size_t member_count;
    PyType_Spec* spec;
    GilOnceCell<PyTypeObject*> built;  // the bare type object
    GilOnceCell<PyTypeObject*> ready;  // with its class attributes set
    std::array<GilOnceCell<PyObject*>, 256> singletons;

    PyTypeObject* bare_type() {
        return built.get([this] { return build_type(*spec); });
    }

    PyObject* singleton(uint8_t value) {
        PyTypeObject* type = bare_type();
        return singletons[value].get([&] { return make_instance(type, EnumValue{value}).release(); });
    }

    PyTypeObject* type() {
        return ready.get([this] {
            PyTypeObject* type = bare_type();
            for (size_t i = 0; i < member_count; ++i) {
                require_status(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), members[i].name,
                                                      singleton(members[i].value)));
            }
            return type;
        });
    }

    PyRef member(uint8_t value) {
        type();  // members are reachable as class attributes before any conversion hands one out
        return PyRef::borrow(singleton(value));
    }

    std::string text(uint8_t value) const {
        for (size_t i = 0; i < member_count; ++i)
            if (members[i].value == value) return std::string(class_name) + "." + members[i].name;
        return std::string(class_name) + "(" + std::to_string(value) + ")";
    }
};

uint8_t value_of(PyObject* self) { return unbox<EnumValue>(self).value; }

PyRef enum_int(PyObject* self) { return py_int(value_of(self)); }

Py_hash_t enum_hash(PyObject* self) {
    unsigned char bytes[8] = {value_of(self), 0, 0, 0, 0, 0, 0, 0};
    auto h = static_cast<Py_hash_t>(siphash13(0, 0, bytes, sizeof bytes));
    return h == -1 ? -2 : h;
}

PyRef enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return PyRef::borrow(Py_NotImplemented);
    long mine = value_of(self);
    long theirs = 0;
    if (Py_IS_TYPE(other, Py_TYPE(self))) {
        theirs = value_of(other);
    } else {
        theirs = PyLong_AsLong(other);
        if (theirs == -1 && PyErr_Occurred()) {
            discard_refusal();
            return PyRef::borrow(Py_NotImplemented);
        }
    }
    return PyRef::boolean((mine == theirs) == (op == Py_EQ));
}

const EnumMember color_family_members[] = {
    {0, "UNDEFINED"},
    {1, "GRAY"},
    {2, "RGB"},
    {3, "YUV"},
};
const EnumMember sample_type_members[] = {
    {0, "INTEGER"},
    {1, "FLOAT"},
};

EnumClass& color_family_class();
EnumClass& sample_type_class();

PyRef color_family_repr(PyObject* self) { return str_from_utf8(color_family_class().text(value_of(self))); }
PyRef sample_type_repr(PyObject* self) { return str_from_utf8(sample_type_class().text(value_of(self))); }

PyType_Slot color_family_slots[] = {
    {Py_tp_doc, const_cast<char*>("The color family of a video format.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<EnumValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<color_family_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<color_family_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot<enum_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(hash_slot<enum_hash>)},
    {Py_nb_int, reinterpret_cast<void*>(unary_slot<enum_int>)},
    {0, nullptr},
};
PyType_Spec color_family_spec = {"lumeq.ColorFamily", sizeof(PyBox<EnumValue>), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, color_family_slots};

PyType_Slot sample_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("The sample type of a video format.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<EnumValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<sample_type_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<sample_type_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot<enum_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(hash_slot<enum_hash>)},
    {Py_nb_int, reinterpret_cast<void*>(unary_slot<enum_int>)},
    {0, nullptr},
};
PyType_Spec sample_type_spec = {"lumeq.SampleType", sizeof(PyBox<EnumValue>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, sample_type_slots};

EnumClass& color_family_class() {
    static EnumClass cls{"ColorFamily", color_family_members, std::size(color_family_members), &color_family_spec};
    return cls;
}
EnumClass& sample_type_class() {
    static EnumClass cls{"SampleType", sample_type_members, std::size(sample_type_members), &sample_type_spec};
    return cls;
}

// ------------------------------------------------------------ VideoFormat

struct PyVideoFormat {
    uint32_t id;
    std::string name;
    uint8_t color_family;
    uint8_t sample_type;
    int32_t bits_per_sample;
    int32_t bytes_per_sample;
    int32_t subsampling_w;
    int32_t subsampling_h;
    int32_t num_planes;
};

const PyVideoFormat& format_of(PyObject* self) { return unbox<PyVideoFormat>(self); }

PyRef format_id(PyObject* self) { return py_uint(format_of(self).id); }
PyRef format_name(PyObject* self) { return str_lossy(format_of(self).name); }
PyRef format_color_family(PyObject* self) { return color_family_member(format_of(self).color_family); }
PyRef format_sample_type(PyObject* self) { return sample_type_member(format_of(self).sample_type); }
PyRef format_bits_per_sample(PyObject* self) { return py_int(format_of(self).bits_per_sample); }
PyRef format_bytes_per_sample(PyObject* self) { return py_int(format_of(self).bytes_per_sample); }
PyRef format_subsampling_w(PyObject* self) { return py_int(format_of(self).subsampling_w); }
PyRef format_subsampling_h(PyObject* self) { return py_int(format_of(self).subsampling_h); }
PyRef format_num_planes(PyObject* self) { return py_int(format_of(self).num_planes); }

PyGetSetDef format_getset[] = {
    {"id", getter<format_id>, nullptr, "A unique id identifying the format.", nullptr},
    {"name", getter<format_name>, nullptr, "A human readable name of the format.", nullptr},
    {"color_family", getter<format_color_family>, nullptr, "Which group of colorspaces the format describes.",
     nullptr},
    {"sample_type", getter<format_sample_type>, nullptr, "If the format is integer or floating point based.", nullptr},
    {"bits_per_sample", getter<format_bits_per_sample>, nullptr,
     "How many bits are used to store one sample in one plane.", nullptr},
    {"bytes_per_sample", getter<format_bytes_per_sample>, nullptr,
     "The actual storage is padded up to 2^n bytes for efficiency.", nullptr},
    {"subsampling_w", getter<format_subsampling_w>, nullptr,
     "The subsampling for the second and third plane in the horizontal direction.", nullptr},
    {"subsampling_h", getter<format_subsampling_h>, nullptr,
     "The subsampling for the second and third plane in the vertical direction.", nullptr},
    {"num_planes", getter<format_num_planes>, nullptr, "The number of planes the format has.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot format_slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents all information needed to describe a frame format. It holds the\n"
                                  "general color type, subsampling, number of planes, and so on")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyVideoFormat>)},
    {Py_tp_getset, format_getset},
    {0, nullptr},
};
PyType_Spec format_spec = {"lumeq.VideoFormat", sizeof(PyBox<PyVideoFormat>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, format_slots};

}  // namespace

PyTypeObject* color_family_type() { return color_family_class().type(); }
PyTypeObject* sample_type_type() { return sample_type_class().type(); }

PyRef color_family_member(uint8_t value) { return color_family_class().member(value); }
PyRef sample_type_member(uint8_t value) { return sample_type_class().member(value); }

PyTypeObject* video_format_type() {
    return lazy_type<format_spec>();
}

PyRef build_format(const VSFrame* frame, const OwnerHandle& owner) {
    return build_video_format(*owner.api()->getVideoFrameFormat(frame), owner);
}

std::optional<int64_t> enum_or_format_value(PyObject* obj) {
    if (PyObject_TypeCheck(obj, color_family_type()) || PyObject_TypeCheck(obj, sample_type_type()))
        return value_of(obj);
    if (PyObject_TypeCheck(obj, video_format_type())) return format_of(obj).id;
    return std::nullopt;
}

PyRef build_video_format(const VSVideoFormat& format, const OwnerHandle& owner) {
    const VSAPI* api = owner.api();
    const VSVideoFormat* vf = &format;
    char buffer[32] = {};
    std::string name = "None";
    if (api->getVideoFormatName(vf, buffer) != 0) name.assign(buffer, strnlen(buffer, 31));
    uint32_t id = api->queryVideoFormatID(vf->colorFamily, vf->sampleType, vf->bitsPerSample, vf->subSamplingW,
                                          vf->subSamplingH, owner.core());
    // The codes go into the enumerations untranslated (8 bits, as stored).
    PyVideoFormat data{id,
                       std::move(name),
                       static_cast<uint8_t>(vf->colorFamily),
                       static_cast<uint8_t>(vf->sampleType),
                       vf->bitsPerSample,
                       vf->bytesPerSample,
                       vf->subSamplingW,
                       vf->subSamplingH,
                       vf->numPlanes};
    return make_instance(video_format_type(), std::move(data));
}

}  // namespace lumeq
