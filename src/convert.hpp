// Conversion between Python values and VapourSynth map entries.
#pragma once

#include "core.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

namespace lumeq {

// Argument name -> base type name ("int", "float", "vnode", ...).
using SignatureTypes = std::unordered_map<std::string, std::string>;

SignatureTypes signature_types(std::string_view signature);
// Fills `map` from a keyword-argument dict.
void kwargs_to_map(VSMap* map, const VSAPI* api, PyObject* kwargs, const SignatureTypes& types);
PyRef map_to_py_dict(const VSMap* map, const OwnerHandle& owner);
PyRef key_to_py(const VSMap* map, const char* key, const OwnerHandle& owner);

}  // namespace lumeq
