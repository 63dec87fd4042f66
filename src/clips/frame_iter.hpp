// FrameIter: the prefetching frame iterator behind VideoNode.frames() and AudioNode.frames().
#pragma once

#include "runtime/args.hpp"
#include "runtime/boundary.hpp"

namespace lumeq {

PyTypeObject* frame_iter_type();

// VideoNode.frames and AudioNode.frames
extern const Signature frames_signature;
extern const Signature audio_frames_signature;
PyRef node_frames(PyObject* self, const Args& args);

}  // namespace lumeq
