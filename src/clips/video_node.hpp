// VideoNode: one VapourSynth video node.
#pragma once

#include "cores/core.hpp"

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

// What the frame producers need from a clip of either kind: its node and
// owner (borrowed from `obj`, which must be a VideoNode or an AudioNode).
struct ClipParts {
    const NodeRef& node;
    const OwnerHandle& owner;
    bool audio;
    int32_t num_frames() const;
    PyRef wrap_frame(FrameRef frame) const;  // a VideoFrame or an AudioFrame
};
ClipParts clip_parts(PyObject* obj);

// Frame `n` of a node of either kind, waited for with the GIL released.
FrameRef render_frame(const NodeRef& node, int32_t n);

}  // namespace lumeq
