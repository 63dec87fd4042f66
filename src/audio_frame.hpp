// AudioFrame: one rendered audio frame and its per-channel sample buffers.
#pragma once

#include "core.hpp"

namespace lumeq {

PyTypeObject* audio_frame_type();

// The frame reference passes to a new FrameCell.
PyRef make_audio_frame(FrameRef frame, OwnerHandle owner);

}  // namespace lumeq
