// VapourSynth functions read from maps, as Python callables.
#pragma once

#include "runtime/map_ext.hpp"
#include "runtime/owner.hpp"

#include <optional>

namespace lumeq {

PyTypeObject* function_value_type();

// A function read from a map: the Python callable lumeq made it from, or a
// FunctionValue calling it.
PyRef function_to_py(map_ext::FunctionRef function, const OwnerHandle& owner);
// A new reference to the function a FunctionValue calls, or nothing for
// another object.
std::optional<map_ext::FunctionRef> function_value_ref(PyObject* obj);

}  // namespace lumeq
