#include "frame_iter.hpp"
#include "stub_types.hpp"
namespace lumeq {
LUMEQ_STUB_TYPE(frame_iter_type, "FrameIter", Py_TPFLAGS_DISALLOW_INSTANTIATION)
const Signature frames_signature{"VideoNode.frames", {"prefetch", "backlog"}, 2, 0, 0};
PyRef video_node_frames(PyObject*, const Args&) { internal_fault("not built yet"); }
}  // namespace lumeq
