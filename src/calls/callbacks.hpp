// Python callables passed to plugins as VapourSynth functions.
#pragma once

#include "runtime/map_ext.hpp"

#include <optional>

namespace lumeq {

// A VapourSynth function calling `callable`, or nothing when no plugin call
// is being filled on this thread.
std::optional<map_ext::Value> callable_to_value(PyObject* callable);
// The Python callable `function` was made from, or null for another function.
PyRef callable_of(const VSFunction* function);

}  // namespace lumeq
