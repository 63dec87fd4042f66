#include "async.hpp"
#include "stub_types.hpp"
namespace lumeq {
LUMEQ_STUB_TYPE(coroutine_type, "Coroutine", Py_TPFLAGS_DISALLOW_INSTANTIATION)
const Signature get_frame_async_signature{"VideoNode.get_frame_async", {"n"}, 1, 0, 1};
PyRef video_node_get_frame_async(PyObject*, const Args&) { internal_fault("not built yet"); }
}  // namespace lumeq
