// The Core class and its plugin iterator.
#pragma once

#include "runtime/owner.hpp"

#include <cstdint>
#include <optional>

namespace lumeq {

PyTypeObject* core_type();
PyTypeObject* plugin_iter_type();

// Core creation shared by Core(...) and the environments.
PyRef core_new(std::optional<int32_t> threads, std::optional<int64_t> max_cache_mb);
// The owner of a Core object (type already checked by the caller).
const OwnerHandle& core_owner(PyObject* core);

}  // namespace lumeq
