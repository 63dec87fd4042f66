// AudioFrame: one rendered audio frame and its per-channel sample buffers.
#pragma once

#include "runtime/owner.hpp"

namespace lumeq {

PyTypeObject* audio_frame_type();

// The frame reference passes to a new FrameCell.
PyRef make_audio_frame(FrameRef frame, OwnerHandle owner);

bool is_audio_frame(PyObject* obj);
// A new reference to the frame of an AudioFrame (checked by the caller).
FrameRef audio_frame_ref(PyObject* obj);

}  // namespace lumeq
