// Plugin, Function and PluginFunctionIter, and the call of a plugin function.
#pragma once

#include "core.hpp"

#include <string>

namespace lumeq {

PyTypeObject* plugin_type();
PyTypeObject* function_type();
PyTypeObject* function_iter_type();

// `plugin_namespace` is the namespace without its terminating NUL.
PyRef make_plugin(OwnerHandle owner, std::string plugin_namespace);

}  // namespace lumeq
