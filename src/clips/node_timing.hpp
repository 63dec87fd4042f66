// Filter timing: the core's timing switch and the per-node processing times
// of a clip's graph.
#pragma once

#include "runtime/owner.hpp"

namespace lumeq {

PyRef core_node_timing(const OwnerHandle& owner);
void set_core_node_timing(const OwnerHandle& owner, PyObject* value);

// VideoNode.filter_times(): [(filter name, nanoseconds), ...] for the node
// and every node it depends on, each once, in the order first reached.
PyRef node_filter_times(PyObject* self);

}  // namespace lumeq
