// VideoFrame, its zero-copy Plane exporters and the shared FrameCell.
#pragma once

#include "core.hpp"
#include "frame_cell.hpp"

namespace lumeq {

PyTypeObject* video_frame_type();
PyTypeObject* plane_type();

// The one frame construction routine every producer calls; the frame
// reference passes to a new FrameCell.
PyRef make_video_frame(FrameRef frame, OwnerHandle owner);

// A read-only 1-D memoryview over `count` contiguous samples of `cell`'s frame.
PyRef make_channel_view(FrameCellRef cell, const uint8_t* samples, char code, Py_ssize_t count, Py_ssize_t itemsize);

}  // namespace lumeq
