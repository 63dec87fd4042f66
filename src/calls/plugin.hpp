// Plugin, Function and PluginFunctionIter, and the call of a plugin function.
#pragma once

#include "calls/convert.hpp"
#include "runtime/owner.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumeq {

PyTypeObject* plugin_type();
PyTypeObject* function_type();
PyTypeObject* function_iter_type();

struct FunctionMemo;

// The plugins a core's attribute lookups found, and through them the
// functions found in each, so that looking a name up again asks VapourSynth
// nothing and parses no signature: a core never unloads a plugin nor
// changes a registered function. A name not found is asked afresh (a
// plugin may be loaded meanwhile). Every lookup still gives a new object.
// GIL held.
class PluginMemo {
public:
    // A new Plugin for a namespace found before, or empty.
    PyRef find(const OwnerHandle& owner, std::string_view plugin_namespace) const;
    // A new Plugin for a namespace just found, remembered.
    PyRef add(const OwnerHandle& owner, std::string plugin_namespace, VSPlugin* found);

private:
    struct Entry {
        VSPlugin* handle;
        std::shared_ptr<FunctionMemo> functions;
    };
    std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> entries_;
};

// `plugin_namespace` is the namespace without its terminating NUL; `found`
// is its plugin when the caller has just looked it up.
PyRef make_plugin(OwnerHandle owner, std::string plugin_namespace, VSPlugin* found = nullptr);

// Method calls on clips, for any clip type: what its getattro slot and
// __dir__ method do (lent to clips when the library loads). A name
// that is not one of the clip's own members gives the plugin with that
// namespace, bound to the clip (its functions take it first).
PyRef clip_attribute_or_plugin(PyObject* clip, PyObject* name);
PyRef clip_dir_with_plugins(PyObject* clip);

}  // namespace lumeq
