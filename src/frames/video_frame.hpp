// VideoFrame, its zero-copy Plane exporters and the shared FrameCell.
#pragma once

#include "frames/frame_cell.hpp"
#include "runtime/owner.hpp"

#include <optional>

namespace lumeq {

PyTypeObject* video_frame_type();
PyTypeObject* plane_type();

// The one frame construction routine every producer calls; the frame
// reference passes to a new FrameCell.
PyRef make_video_frame(FrameRef frame, OwnerHandle owner);
// A frame lumeq just made (newVideoFrame), writable for Python.
PyRef make_writable_video_frame(VSFrame* frame, OwnerHandle owner);
// A new reference to a VideoFrame's frame for storing in a map, or nothing
// for another object. A writable frame is handed over: read-only from now on.
std::optional<FrameRef> video_frame_for_map(PyObject* obj);

// A read-only 1-D memoryview over `count` contiguous samples of `cell`'s frame.
// PNG bytes of a frame or clip for notebook display, from the named
// function of the display conversion that ships in the same wheel.
PyRef display_png(PyObject* shown, const char* converter);

PyRef make_channel_view(FrameCellRef cell, const uint8_t* samples, char code, Py_ssize_t count, Py_ssize_t itemsize);

}  // namespace lumeq
