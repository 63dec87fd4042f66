// Conversion between Python values and VapourSynth map entries.
#pragma once

#include "runtime/map_ext.hpp"
#include "runtime/owner.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumeq {

// Lets a map keyed by std::string be searched with a string_view, so a
// lookup per call copies no text.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// Argument name -> base type name ("int", "float", "vnode", ...).
using SignatureTypes = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

struct ParsedSignature {
    SignatureTypes types;
    std::vector<std::string> parameters;  // in declaration order: positional arguments bind to them
    // Per parameter: its name as an interned str (empty for a name that is
    // no key), which keywords written in code are by identity, and whether
    // numbers go in as floats. Touched with the GIL held.
    std::vector<PyRef> keys;
    std::vector<bool> as_float;
    // Per parameter whose name is a Python keyword: that name with a
    // trailing underscore, interned, as calls may spell it (empty for the
    // others).
    std::vector<PyRef> aliases;
    bool has_aliases = false;
};

bool is_python_keyword(std::string_view name);
// The parameter a keyword argument names, in either spelling, or -1.
Py_ssize_t find_parameter(const ParsedSignature& signature, PyObject* key);

SignatureTypes signature_types(std::string_view signature);

// One `name:type[:flags]` entry, as introspection shows it.
struct ParameterSpec {
    std::string name;
    std::string type;  // base type, without the array suffix
    bool array;
    bool optional;
};
std::vector<ParameterSpec> signature_parameters(std::string_view signature);
// A signature text parsed once per distinct text. Shared: a conversion may
// run Python code that calls other functions and evicts the entry.
std::shared_ptr<const ParsedSignature> cached_signature(std::string_view signature);
// Keyword arguments as the vectorcall protocol passes them: a tuple of
// names and the values, which Python code cannot change during the call.
struct Keywords {
    PyObject* names;  // tuple of str, or null for none
    PyObject* const* values;
};

// Fills `map` from the keyword arguments; a None value is left out. On
// error the entries stored so far stay; the caller discards the map.
void kwargs_to_map(VSMap* map, const VSAPI* api, Keywords kwargs, const SignatureTypes& types);
// One value under `key` (a str), its type taken from the value.
void store_untyped(VSMap* map, const VSAPI* api, PyObject* key, PyObject* value);
// The same for a plugin function's parameters.
void kwargs_to_map(VSMap* map, const VSAPI* api, Keywords kwargs, const ParsedSignature& signature);
// Stores `values[i]` under the i-th parameter of `signature` (at most as
// many values as parameters); a None value is left out.
void positionals_to_map(VSMap* map, const VSAPI* api, PyObject* const* values, Py_ssize_t count,
                        const ParsedSignature& signature);
// Stores one Python value under `key`; `as_float` stores numbers as floats.
void set_scalar(map_ext::Map& map, map_ext::KeyStr key, PyObject* value, int mode, bool as_float);
PyRef map_to_py_dict(const VSMap* map, const OwnerHandle& owner);
// One element gives the object itself, none an empty list, more a list.
PyRef key_to_py(const VSMap* map, const char* key, const OwnerHandle& owner);
// A result map as a call returns it: one key gives its value, others a dict.
PyRef shape_result(const VSMap* result, const OwnerHandle& owner);

}  // namespace lumeq
