// The `props` of a frame: a live mutable mapping while the frame is
// writable, a read-only snapshot otherwise. Shared by video and audio frames.
#pragma once

#include "frames/frame_cell.hpp"

namespace lumeq {

PyTypeObject* frame_props_type();

// Converting between map entries and Python values is calls' work (a value
// may be a frame, and calls builds on frames), so calls lends it when the
// library loads instead of frames including it.
struct PropsConversion {
    PyRef (*map_to_dict)(const VSMap* map, const OwnerHandle& owner);
    PyRef (*key_to_py)(const VSMap* map, const char* key, const OwnerHandle& owner);
    void (*store)(VSMap* map, const VSAPI* api, PyObject* key, PyObject* value);
};
// While the library loads, before any frame exists.
void install_props_conversion(const PropsConversion& conversion);

// GIL held. `owner` wraps the clips and frames read from the properties.
PyRef frame_props_mapping(const FrameCellRef& cell, const OwnerHandle& owner);

}  // namespace lumeq
