// What REPLs, help() and inspect see: plugin function signatures and
// docstrings built from VapourSynth's signature texts, and dir() listings
// that include plugin namespaces and function names.
#pragma once

#include "calls/convert.hpp"
#include "runtime/owner.hpp"

#include <string>
#include <string_view>
#include <utility>
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
// Whether a signature ends in `any`: the function takes further named arguments.
bool takes_any(std::string_view arguments);

// The candidate closest to a mistyped `word` (ignoring case, or a prefix of
// it either way), or empty when none is close. Each candidate is a spelling
// and the name to suggest for it.
std::string closest_match(std::string_view word, const std::vector<std::pair<std::string, std::string>>& candidates);
// "did you mean 'x'?" for a mistyped name among `names`, or empty.
std::string did_you_mean(std::string_view word, const std::vector<std::string>& names);
// For a namespace: its own name, and the plugin's identifier and name, which
// users often type instead.
// Empty for a name starting with an underscore: probes such as
// _repr_html_ are answered without the search.
std::string namespace_suggestion(std::string_view word, const OwnerHandle& owner);
// "expected int, got str" when `value` cannot be a value of `parameter`,
// or empty.
std::string argument_type_note(const ParameterSpec& parameter, PyObject* value);
// The name code writes for a parameter: a Python keyword gets a trailing
// underscore (unless another parameter has that name).
std::string python_name(const ParameterSpec& parameter, const std::vector<ParameterSpec>& all);

}  // namespace lumeq
