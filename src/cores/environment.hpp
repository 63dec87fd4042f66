// Environments, policies, environment handles and the output table each
// environment keeps.
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

}  // namespace lumeq
