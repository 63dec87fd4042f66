// What REPLs, help() and inspect see: plugin function signatures and
// docstrings built from VapourSynth's signature texts, and dir() listings
// that include plugin namespaces and function names.
#pragma once

#include "runtime/owner.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace lumeq {

// An inspect.Signature for a function's argument and return texts; with
// `skip_first`, the first parameter is already bound.
PyRef signature_object(std::string_view arguments, std::string_view returns, bool skip_first);
// "{qualified_name}(...) -> ..." followed by one line per parameter.
PyRef signature_doc(const std::string& qualified_name, PyObject* signature);
// dir() of one of our instances (which hold no attributes of their own):
// its type's attributes and `extra`, sorted.
PyRef dir_with(PyObject* self, const std::vector<std::string>& extra);
std::vector<std::string> plugin_namespaces(const OwnerHandle& owner);

}  // namespace lumeq
