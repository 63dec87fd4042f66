// Environments, policies, environment handles and the output registry.
#pragma once

#include "runtime/boundary.hpp"

#include <cstdint>
#include <map>
#include <mutex>

namespace lumeq {

PyTypeObject* environment_data_type();
PyTypeObject* environment_type();
PyTypeObject* fast_manager_type();
PyTypeObject* environment_policy_type();
PyTypeObject* environment_policy_api_type();
PyTypeObject* standalone_policy_type();
PyTypeObject* video_output_tuple_type();

// The module functions, in the order they are published (a null-terminated
// table): clear_output, clear_outputs, clear_policy, get_current_environment,
// get_output, get_outputs, has_policy, register_policy.
PyMethodDef* environment_functions();

// The current environment's Core, created on first use; RuntimeError
// "No environment is currently activated. ..." when there is none.
PyRef current_core();
// Whether the current environment already has its core. Raises no Python
// error and never installs a policy; a PanicException met while asking the
// policy is resumed as an internal fault.
bool core_resolved();

// VideoNode.set_output
extern const Signature set_output_signature;
PyRef video_node_set_output(PyObject* self, const Args& args);
extern const Signature audio_set_output_signature;
PyRef audio_node_set_output(PyObject* self, const Args& args);

// The current EnvironmentData, or an empty reference when there is none.
// Errors raised by the policy on the way are discarded.
PyRef env_current();
// RuntimeError "No environment is currently activated. ...".
[[noreturn]] void throw_no_environment();

// An environment's registered outputs, index -> VideoOutputTuple. Holders of
// the lock run no Python code.
struct OutputTable {
    std::mutex lock;
    std::map<int32_t, PyRef> entries;
};
// The output table of an EnvironmentData (type checked by the caller).
OutputTable& environment_outputs(PyObject* environment);

// Output registry module functions (outputs.cpp).
extern const Signature get_output_signature;
extern const Signature clear_output_signature;
PyRef module_get_output(PyObject* module, const Args& args);
PyRef module_get_outputs(PyObject* module);
PyRef module_clear_output(PyObject* module, const Args& args);
PyRef module_clear_outputs(PyObject* module);

}  // namespace lumeq
