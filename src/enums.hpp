// ColorFamily, SampleType and VideoFormat.
#pragma once

#include "core.hpp"

#include <cstdint>

namespace lumeq {

PyTypeObject* color_family_type();
PyTypeObject* sample_type_type();
PyTypeObject* video_format_type();

// The member singletons (new references).
PyRef color_family_member(uint8_t value);
PyRef sample_type_member(uint8_t value);

// Builds the VideoFormat of a frame.
PyRef build_format(const VSFrame* frame, const OwnerHandle& owner);

}  // namespace lumeq
