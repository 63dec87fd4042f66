// VideoFrame, its zero-copy Plane exporters and the shared FrameCell.
#pragma once

#include "core.hpp"

namespace lumeq {

PyTypeObject* video_frame_type();
PyTypeObject* plane_type();

// The one frame construction routine every producer calls; the frame
// reference passes to a new FrameCell.
PyRef make_video_frame(FrameRef frame, OwnerHandle owner);

}  // namespace lumeq
