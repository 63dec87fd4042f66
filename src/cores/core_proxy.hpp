// The lazy `core` proxy: every attribute read or written through it goes to
// the current environment's core, which is created on first use.
#pragma once

#include "runtime/boundary.hpp"

namespace lumeq {

PyTypeObject* core_proxy_type();

PyRef make_core_proxy();

}  // namespace lumeq
