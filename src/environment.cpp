#include "environment.hpp"
#include "core.hpp"
#include "stub_types.hpp"
namespace lumeq {
LUMEQ_STUB_TYPE(environment_data_type, "lumeq.EnvironmentData", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(environment_type, "lumeq.Environment", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(fast_manager_type, "lumeq._FastManager", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(environment_policy_type, "lumeq.EnvironmentPolicy", Py_TPFLAGS_BASETYPE)
LUMEQ_STUB_TYPE(environment_policy_api_type, "lumeq.EnvironmentPolicyAPI", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(standalone_policy_type, "lumeq.StandaloneEnvironmentPolicy", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(video_output_tuple_type, "lumeq.VideoOutputTuple", Py_TPFLAGS_DISALLOW_INSTANTIATION)
PyMethodDef* environment_functions() {
    static PyMethodDef none[] = {{nullptr, nullptr, 0, nullptr}};
    return none;
}
PyRef current_core() {
    static PyObject* core = nullptr;
    if (core == nullptr) core = core_new(std::nullopt, std::nullopt).release();
    return PyRef::borrow(core);
}
bool core_resolved() noexcept { return false; }
const Signature set_output_signature{"VideoNode.set_output", {"index", "alpha", "alt_output"}, 3, 0, 0};
PyRef video_node_set_output(PyObject*, const Args&) { internal_fault("not built yet"); }
}  // namespace lumeq
