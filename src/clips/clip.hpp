// What both clip kinds share: the parts of a clip the frame producers need,
// and one frame rendered and waited for.
#pragma once

#include "runtime/owner.hpp"

#include <cstdint>

namespace lumeq {

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
