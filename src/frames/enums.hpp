// The enumerations (ColorFamily, SampleType, the preset formats, the frame
// property codes, the audio channels) and VideoFormat.
#pragma once

#include "runtime/owner.hpp"

#include <cstdint>
#include <functional>
#include <optional>

namespace lumeq {

enum class EnumKind {
    ColorFamily,
    SampleType,
    PresetVideoFormat,
    ChromaLocation,
    FieldBased,
    MatrixCoefficients,
    TransferCharacteristics,
    ColorPrimaries,
    ColorRange,
    Range,
    AudioChannels,
};

PyTypeObject* enum_type(EnumKind kind);
// The member singleton of a value (a new reference); ValueError for a value
// the class cannot hold.
PyRef enum_member(EnumKind kind, int64_t value);
// Each named member in the header's order.
void for_each_member(EnumKind kind, const std::function<void(const char* name, PyRef member)>& visit);

PyTypeObject* color_family_type();
PyTypeObject* sample_type_type();
PyTypeObject* video_format_type();

PyRef color_family_member(uint8_t value);
PyRef sample_type_member(uint8_t value);

// Builds the VideoFormat of a frame.
PyRef build_format(const VSFrame* frame, const OwnerHandle& owner);
PyRef build_video_format(const VSVideoFormat& format, const OwnerHandle& owner);

// An integer as users write one: a member of any enumeration gives its
// value, a VideoFormat its id; anything else is not one of these.
std::optional<int64_t> enum_or_format_value(PyObject* obj);

}  // namespace lumeq
