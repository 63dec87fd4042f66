// Plugin, Function and PluginFunctionIter, and the call of a plugin function.
#pragma once

#include "core.hpp"

#include <string>

namespace lumeq {

PyTypeObject* plugin_type();
PyTypeObject* function_type();
PyTypeObject* function_iter_type();

// `plugin_namespace` is the namespace without its terminating NUL; `found`
// is its plugin when the caller has just looked it up.
PyRef make_plugin(OwnerHandle owner, std::string plugin_namespace, VSPlugin* found = nullptr);

// Method calls on clips, for any clip type: its getattro slot and __dir__
// method. A name that is not one of the clip's own members gives the plugin
// with that namespace, bound to the clip (its functions take it first).
PyRef clip_getattro(PyObject* clip, PyObject* name);
PyRef clip_dir(PyObject* clip);

}  // namespace lumeq
