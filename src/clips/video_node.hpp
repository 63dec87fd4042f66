// VideoNode: one VapourSynth video node.
#pragma once

#include "runtime/owner.hpp"

namespace lumeq {

PyTypeObject* video_node_type();

// Immutable state of a VideoNode. Destruction releases the node first,
// then the owner handle (member order).
struct VideoNodeData {
    OwnerHandle owner;
    NodeRef node;
};

PyRef make_video_node(NodeRef node, OwnerHandle owner);
bool is_video_node(PyObject* obj);
// The state of a VideoNode; `obj` must be one (checked by the caller).
const VideoNodeData& video_node_data(PyObject* obj);

}  // namespace lumeq
