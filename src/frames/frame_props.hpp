// The `props` of a frame: a live mutable mapping while the frame is
// writable, a read-only snapshot otherwise. Shared by video and audio frames.
#pragma once

#include "frames/frame_cell.hpp"

namespace lumeq {

PyTypeObject* frame_props_type();

// GIL held. `owner` wraps the clips and frames read from the properties.
PyRef frame_props_mapping(const FrameCellRef& cell, const OwnerHandle& owner);

}  // namespace lumeq
