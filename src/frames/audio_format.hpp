// AudioFormat and channel layouts as tuples of AudioChannels members.
#pragma once

#include "runtime/owner.hpp"

#include <cstdint>

namespace lumeq {

PyTypeObject* audio_format_type();

PyRef build_audio_format(const VSAudioFormat& format, const OwnerHandle& owner);

// The layout's channel positions, lowest bit first, as AudioChannels members.
PyRef channels_tuple(uint64_t layout);

// A sequence of channel positions (members or integers) as a layout mask;
// ValueError for a position outside 0..63 or given twice.
uint64_t layout_from_positions(PyObject* positions);

}  // namespace lumeq
