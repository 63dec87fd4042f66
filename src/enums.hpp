// ColorFamily, SampleType and VideoFormat.
#pragma once

#include "core.hpp"

#include <cstdint>
#include <optional>

namespace lumeq {

PyTypeObject* color_family_type();
PyTypeObject* sample_type_type();
PyTypeObject* video_format_type();

// The member singletons (new references).
PyRef color_family_member(uint8_t value);
PyRef sample_type_member(uint8_t value);

// Builds the VideoFormat of a frame.
PyRef build_format(const VSFrame* frame, const OwnerHandle& owner);
PyRef build_video_format(const VSVideoFormat& format, const OwnerHandle& owner);

// An integer as users write one: a ColorFamily or SampleType member gives its
// value, a VideoFormat its id; anything else is not one of these.
std::optional<int64_t> enum_or_format_value(PyObject* obj);

}  // namespace lumeq
