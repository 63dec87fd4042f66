#include "frames/enums.hpp"

#include <array>
#include <cstring>
#include <span>
#include <string>
#include <vector>

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

struct EnumMember {
    int64_t value;
    const char* name;
};

#include "enum_tables.inc"

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

class EnumClass;

struct EnumValue {
    int64_t value;
    const EnumClass* cls;
};

int64_t value_of(PyObject* self) { return unbox<EnumValue>(self).value; }
PyRef enum_repr(PyObject* self);

PyRef enum_int(PyObject* self) { return py_int(value_of(self)); }

Py_hash_t enum_hash(PyObject* self) {
    auto value = static_cast<uint64_t>(value_of(self));
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    auto h = static_cast<Py_hash_t>(siphash13(0, 0, bytes, sizeof bytes));
    return h == -1 ? -2 : h;
}

PyRef enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return PyRef::borrow(Py_NotImplemented);
    long long mine = value_of(self);
    long long theirs = 0;
    if (Py_IS_TYPE(other, Py_TYPE(self))) {
        theirs = value_of(other);
    } else {
        theirs = PyLong_AsLongLong(other);
        if (theirs == -1 && PyErr_Occurred()) {
            discard_refusal();
            return PyRef::borrow(Py_NotImplemented);
        }
    }
    return PyRef::boolean((mine == theirs) == (op == Py_EQ));
}

// One enumeration class: its type, its named members and one singleton per
// value. VapourSynth codes are stored without translation, so an open class
// also has a singleton for each unnamed code below `open_range`.
class EnumClass {
public:
    template <size_t N>
    EnumClass(const char* qualified_name, const char* doc, const EnumMember (&members)[N], int64_t open_range = 0)
        : qualified_name_(qualified_name),
          members_(members),
          member_count_(N),
          open_range_(open_range),
          cells_(N + static_cast<size_t>(open_range)),
          slots_{{
              {Py_tp_doc, const_cast<char*>(doc)},
              {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<EnumValue>)},
              {Py_tp_repr, reinterpret_cast<void*>(unary_slot<enum_repr>)},
              {Py_tp_str, reinterpret_cast<void*>(unary_slot<enum_repr>)},
              {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot<enum_richcompare>)},
              {Py_tp_hash, reinterpret_cast<void*>(hash_slot<enum_hash>)},
              {Py_nb_int, reinterpret_cast<void*>(unary_slot<enum_int>)},
              {0, nullptr},
          }},
          spec_{qualified_name, sizeof(PyBox<EnumValue>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                slots_.data()} {}

    PyTypeObject* type() {
        return ready_.get([this] {
            PyTypeObject* type = bare_type();
            for (size_t i = 0; i < member_count_; ++i)
                require_status(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), members_[i].name,
                                                      singleton(members_[i].value)));
            return type;
        });
    }

    PyRef member(int64_t value) {
        type();  // members are reachable as class attributes before any conversion hands one out
        return PyRef::borrow(singleton(value));
    }

    std::span<const EnumMember> members() const { return {members_, member_count_}; }

    std::string text(int64_t value) const {
        const char* name = class_name();
        for (const EnumMember& m : members())
            if (m.value == value) return std::string(name) + "." + m.name;
        return std::string(name) + "(" + std::to_string(value) + ")";
    }

private:
    const char* class_name() const { return qualified_name_ + std::strlen("lumeq."); }

    PyTypeObject* bare_type() {
        return built_.get([this] { return build_type(spec_); });
    }

    PyObject* singleton(int64_t value) {
        size_t index = cell_index(value);
        PyTypeObject* type = bare_type();
        return cells_[index].get([&] { return make_instance(type, EnumValue{value, this}).release(); });
    }

    size_t cell_index(int64_t value) const {
        for (size_t i = 0; i < member_count_; ++i)
            if (members_[i].value == value) return i;
        if (value >= 0 && value < open_range_) return member_count_ + static_cast<size_t>(value);
        throw_value_error(std::to_string(value) + " is not a valid " + class_name());
    }

    const char* qualified_name_;
    const EnumMember* members_;
    size_t member_count_;
    int64_t open_range_;
    std::vector<GilOnceCell<PyObject*>> cells_;
    std::array<PyType_Slot, 8> slots_;
    PyType_Spec spec_;
    GilOnceCell<PyTypeObject*> built_;  // the bare type object
    GilOnceCell<PyTypeObject*> ready_;  // with its class attributes set
};

PyRef enum_repr(PyObject* self) {
    const EnumValue& v = unbox<EnumValue>(self);
    return str_from_utf8(v.cls->text(v.value));
}

EnumClass& enum_class(EnumKind kind) {
    // Built on first use and kept for the process, like every type.
    static EnumClass color_family{"lumeq.ColorFamily", "The color family of a video format.", color_family_members,
                                  256};
    static EnumClass sample_type{"lumeq.SampleType", "The sample type of a video format.", sample_type_members, 256};
    static EnumClass preset_video_format{"lumeq.PresetVideoFormat",
                                         "The id of a preset video format; usable wherever a format id is.",
                                         preset_video_format_members};
    static EnumClass chroma_location{"lumeq.ChromaLocation",
                                     "The chroma location of a video frame, as in its _ChromaLocation property.",
                                     chroma_location_members};
    static EnumClass field_based{"lumeq.FieldBased",
                                 "The field order of a video frame, as in its _FieldBased property.",
                                 field_based_members};
    static EnumClass matrix_coefficients{"lumeq.MatrixCoefficients",
                                         "The matrix coefficients of a video frame, as in its _Matrix property.",
                                         matrix_coefficients_members};
    static EnumClass transfer_characteristics{
        "lumeq.TransferCharacteristics",
        "The transfer characteristics of a video frame, as in its _Transfer property.",
        transfer_characteristics_members};
    static EnumClass color_primaries{"lumeq.ColorPrimaries",
                                     "The color primaries of a video frame, as in its _Primaries property.",
                                     color_primaries_members};
    static EnumClass color_range{"lumeq.ColorRange",
                                 "The color range of a video frame in the numbering of its _ColorRange property "
                                 "(API 4.1); its _Range property numbers it differently: see Range.",
                                 color_range_members};
    static EnumClass range{"lumeq.Range",
                           "The color range of a video frame in the numbering of its _Range property "
                           "(API 4.2); its _ColorRange property numbers it differently: see ColorRange.",
                           range_members};
    // A channel layout is a 64-bit mask, so every bit position has a member.
    static EnumClass audio_channels{"lumeq.AudioChannels", "A channel position in an audio layout.",
                                    audio_channels_members, 64};
    switch (kind) {
        case EnumKind::ColorFamily: return color_family;
        case EnumKind::SampleType: return sample_type;
        case EnumKind::PresetVideoFormat: return preset_video_format;
        case EnumKind::ChromaLocation: return chroma_location;
        case EnumKind::FieldBased: return field_based;
        case EnumKind::MatrixCoefficients: return matrix_coefficients;
        case EnumKind::TransferCharacteristics: return transfer_characteristics;
        case EnumKind::ColorPrimaries: return color_primaries;
        case EnumKind::ColorRange: return color_range;
        case EnumKind::Range: return range;
        case EnumKind::AudioChannels: return audio_channels;
    }
    internal_fault("unknown enumeration");
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

const char* family_text(uint8_t family) {
    switch (family) {
        case cfGray: return "Gray";
        case cfRGB: return "RGB";
        case cfYUV: return "YUV";
        default: return "undefined";
    }
}

// What the format is, readable without looking up its id.
PyRef format_repr(PyObject* self) {
    const PyVideoFormat& f = format_of(self);
    std::string text = "<lumeq.VideoFormat " + lossy_utf8(f.name) + ": " + family_text(f.color_family) + ", " +
                       (f.sample_type == stFloat ? "float" : "integer") + ", " + std::to_string(f.bits_per_sample) +
                       " bits, subsampling " + std::to_string(f.subsampling_w) + "/" + std::to_string(f.subsampling_h) +
                       ", " + std::to_string(f.num_planes) + (f.num_planes == 1 ? " plane>" : " planes>");
    return str_from_utf8(text);
}

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
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<format_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(unary_slot<format_name>)},
    {Py_tp_getset, format_getset},
    {0, nullptr},
};
PyType_Spec format_spec = {"lumeq.VideoFormat", sizeof(PyBox<PyVideoFormat>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, format_slots};

}  // namespace

PyTypeObject* enum_type(EnumKind kind) { return enum_class(kind).type(); }
PyRef enum_member(EnumKind kind, int64_t value) { return enum_class(kind).member(value); }

void for_each_member(EnumKind kind, const std::function<void(const char*, PyRef)>& visit) {
    EnumClass& cls = enum_class(kind);
    for (const EnumMember& m : cls.members()) visit(m.name, cls.member(m.value));
}

PyTypeObject* color_family_type() { return enum_type(EnumKind::ColorFamily); }
PyTypeObject* sample_type_type() { return enum_type(EnumKind::SampleType); }

PyRef color_family_member(uint8_t value) { return enum_member(EnumKind::ColorFamily, value); }
PyRef sample_type_member(uint8_t value) { return enum_member(EnumKind::SampleType, value); }

PyTypeObject* video_format_type() {
    return lazy_type<format_spec>();
}

PyRef build_format(const VSFrame* frame, const OwnerHandle& owner) {
    return build_video_format(*owner.api()->getVideoFrameFormat(frame), owner);
}

std::optional<int64_t> enum_or_format_value(PyObject* obj) {
    // Every enumeration class shares this repr slot, and no other type has it.
    if (PyType_GetSlot(Py_TYPE(obj), Py_tp_repr) == reinterpret_cast<void*>(unary_slot<enum_repr>))
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
