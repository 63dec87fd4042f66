// FrameIter: the prefetching frame iterator behind VideoNode.frames().
#pragma once

#include "boundary.hpp"

namespace lumeq {

PyTypeObject* frame_iter_type();

// VideoNode.frames
extern const Signature frames_signature;
PyRef video_node_frames(PyObject* self, const Args& args);

}  // namespace lumeq
