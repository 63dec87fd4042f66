#include "frame.hpp"
#include "stub_types.hpp"
namespace lumeq {
LUMEQ_STUB_TYPE(video_frame_type, "lumeq.VideoFrame", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(plane_type, "Plane", Py_TPFLAGS_DISALLOW_INSTANTIATION)
PyRef make_video_frame(FrameRef, OwnerHandle) { internal_fault("not built yet"); }
}  // namespace lumeq
