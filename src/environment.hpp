// Environments, policies, environment handles and the output registry.
#pragma once

#include "boundary.hpp"

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
// Whether the current environment already has its core. Never raises and
// never installs a policy.
bool core_resolved() noexcept;

// VideoNode.set_output
extern const Signature set_output_signature;
PyRef video_node_set_output(PyObject* self, const Args& args);

}  // namespace lumeq
