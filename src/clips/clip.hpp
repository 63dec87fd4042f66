// What both clip kinds share: the parts of a clip the frame producers need,
// and one frame rendered and waited for.
#pragma once

#include "runtime/args.hpp"
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

// The clip members whose work lives on floors above: a name that is no
// member of the clip gives the plugin of that namespace bound to it
// (calls), and set_output stores into the current environment (cores).
// Those floors need clips throughout, so they lend these when the library
// loads instead of clips including them.
struct ClipMembersAbove {
    PyRef (*getattro)(PyObject* clip, PyObject* name);
    PyRef (*dir)(PyObject* clip);
    PyRef (*video_set_output)(PyObject* clip, const Args& args);
    PyRef (*audio_set_output)(PyObject* clip, const Args& args);
};
// While the library loads, before any clip exists.
void install_clip_members_above(const ClipMembersAbove& members);

// The members both clip types share, forwarding to what was installed.
PyRef clip_getattro(PyObject* clip, PyObject* name);
PyRef clip_dir(PyObject* clip);
PyRef video_clip_set_output(PyObject* clip, const Args& args);
PyRef audio_clip_set_output(PyObject* clip, const Args& args);
extern const Signature video_set_output_signature;
extern const Signature audio_set_output_signature;

}  // namespace lumeq
