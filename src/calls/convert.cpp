#include "calls/convert.hpp"

#include "calls/callbacks.hpp"
#include "calls/function_value.hpp"
#include "clips/audio_node.hpp"
#include "clips/video_node.hpp"
#include "frames/audio_frame.hpp"
#include "frames/enums.hpp"
#include "frames/video_frame.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace lumeq {

using map_ext::KeyStr;
using map_ext::Map;
using map_ext::MapReader;
using map_ext::Value;

// ------------------------------------------------------------ signatures

namespace {

// Visits each `name:type` piece; flags such as opt are not part of the type.
template <typename Visit>
void for_each_parameter(std::string_view signature, Visit visit) {
    size_t start = 0;
    while (start <= signature.size()) {
        size_t end = signature.find(';', start);
        if (end == std::string_view::npos) end = signature.size();
        std::string_view piece = signature.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        size_t colon = piece.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = piece.substr(0, colon);
        std::string_view type = piece.substr(colon + 1);
        size_t flags_start = type.find(':');
        std::string_view flags = flags_start == std::string_view::npos ? std::string_view() : type.substr(flags_start);
        type = type.substr(0, flags_start);
        bool array = false;
        while (type.size() >= 2 && type.substr(type.size() - 2) == "[]") {
            type.remove_suffix(2);
            array = true;
        }
        visit(name, type, array, flags);
    }
}

ParsedSignature parse_signature(std::string_view signature) {
    ParsedSignature parsed;
    for_each_parameter(signature, [&](std::string_view name, std::string_view type, bool, std::string_view) {
        parsed.types.insert_or_assign(std::string(name), std::string(type));
        parsed.parameters.emplace_back(name);
    });
    return parsed;
}

}  // namespace

std::vector<ParameterSpec> signature_parameters(std::string_view signature) {
    std::vector<ParameterSpec> parameters;
    for_each_parameter(signature, [&](std::string_view name, std::string_view type, bool array, std::string_view flags) {
        bool optional = (std::string(flags) + ":").find(":opt:") != std::string::npos;
        parameters.push_back(ParameterSpec{lossy_utf8(name), std::string(type), array, optional});
    });
    return parameters;
}

SignatureTypes signature_types(std::string_view signature) {
    return parse_signature(signature).types;
}

namespace {

// `name_` for a parameter `name` that code cannot write as a keyword
// argument, unless another parameter already has that name.
PyRef alias_of(const ParsedSignature& parsed, const std::string& name) {
    if (!is_python_keyword(name) || parsed.types.count(name + "_") != 0) return PyRef();
    return require_new(PyUnicode_InternFromString((name + "_").c_str()));
}

ParsedSignature parsed_with_keys(std::string_view signature) {
    ParsedSignature parsed = parse_signature(signature);
    for (const std::string& name : parsed.parameters) {
        bool key = !name.empty() && map_ext::is_key_text(name);
        parsed.keys.push_back(key ? require_new(PyUnicode_InternFromString(name.c_str())) : PyRef());
        parsed.as_float.push_back(parsed.types.at(name) == "float");
        parsed.aliases.push_back(alias_of(parsed, name));
        parsed.has_aliases = parsed.has_aliases || parsed.aliases.back();
    }
    return parsed;
}

Py_ssize_t index_by_identity(const std::vector<PyRef>& names, PyObject* key) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i].get() == key) return static_cast<Py_ssize_t>(i);
    return -1;
}

Py_ssize_t index_by_text(const std::vector<PyRef>& names, PyObject* key) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (!names[i]) continue;
        int equal = PyUnicode_Compare(names[i].get(), key);
        if (equal == -1 && PyErr_Occurred()) throw PyErrSet{};
        if (equal == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

bool is_python_keyword(std::string_view name) {
    // The hard keywords (keyword.kwlist), which cannot name an argument.
    static constexpr std::string_view keywords[] = {
        "False", "None", "True", "and", "as", "assert", "async", "await", "break", "class", "continue", "def",
        "del", "elif", "else", "except", "finally", "for", "from", "global", "if", "import", "in", "is",
        "lambda", "nonlocal", "not", "or", "pass", "raise", "return", "try", "while", "with", "yield"};
    return std::find(std::begin(keywords), std::end(keywords), name) != std::end(keywords);
}

Py_ssize_t find_parameter(const ParsedSignature& signature, PyObject* key) {
    Py_ssize_t found = index_by_identity(signature.keys, key);
    if (found < 0 && signature.has_aliases) found = index_by_identity(signature.aliases, key);
    if (found < 0 && PyUnicode_Check(key)) found = index_by_text(signature.keys, key);
    if (found < 0 && signature.has_aliases && PyUnicode_Check(key)) found = index_by_text(signature.aliases, key);
    return found;
}

std::shared_ptr<const ParsedSignature> cached_signature(std::string_view signature) {
    // Guarded by the GIL. Keyed by the text itself, not its address: a freed
    // core's strings may be reused by the next one. Distinct signatures are
    // few (one per plugin function); the bound only guards against misuse.
    // Never destroyed: its entries hold Python objects, which exit must not release.
    static auto& cache =
        *new std::unordered_map<std::string, std::shared_ptr<const ParsedSignature>, TextHash, std::equal_to<>>();
    auto found = cache.find(signature);
    if (found != cache.end()) return found->second;
    if (cache.size() >= 4096) cache.clear();
    auto parsed = std::make_shared<const ParsedSignature>(parsed_with_keys(lossy_utf8(signature)));
    return cache.emplace(std::string(signature), std::move(parsed)).first->second;
}

// ------------------------------------------------------------ Python -> map

namespace {

// Each try_* answers with a value or refuses; a refusal leaves no pending
// exception, so the next conversion starts clean.

std::optional<Value> try_integer(PyObject* value, bool as_float) {
    long n = PyLong_AsLong(value);
    if (n == -1 && PyErr_Occurred()) {
        discard_refusal();
        return std::nullopt;
    }
    if (as_float) return Value::of_float(static_cast<double>(n));
    return Value::of_int(n);
}

std::optional<Value> try_float(PyObject* value) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        discard_refusal();
        return std::nullopt;
    }
    return Value::of_float(d);
}

std::optional<Value> try_text(PyObject* value) {
    if (!PyUnicode_Check(value)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);  // cached by the str, which the caller holds
    if (text == nullptr) {
        discard_refusal();
        return std::nullopt;
    }
    return Value::of_data(Value::Kind::Text, std::string_view(text, static_cast<size_t>(size)));
}

// A sequence of integers 0..255 becomes bytes in `scratch`.
bool collect_small_ints(PyObject* value, std::string& scratch) {
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) {
        discard_refusal();
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* raw = PySequence_GetItem(value, i);
        if (raw == nullptr) {
            discard_refusal();
            return false;
        }
        PyRef item = PyRef::steal(raw);
        if (!PyLong_Check(item.get())) return false;
        long byte = PyLong_AsLong(item.get());
        if (byte == -1 && PyErr_Occurred()) {
            discard_refusal();
            return false;
        }
        if (byte < 0 || byte > 255) return false;
        scratch.push_back(static_cast<char>(byte));
    }
    return true;
}

std::optional<Value> try_binary(PyObject* value, std::string& scratch) {
    if (PyBytes_Check(value)) {
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value, &bytes, &size) < 0) {
            discard_refusal();
            return std::nullopt;
        }
        return Value::of_data(Value::Kind::Binary, std::string_view(bytes, static_cast<size_t>(size)));
    }
    if (PyByteArray_Check(value)) {
        const char* bytes = PyByteArray_AsString(value);
        Py_ssize_t size = PyByteArray_Size(value);
        return Value::of_data(Value::Kind::Binary, std::string_view(bytes, static_cast<size_t>(size)));
    }
    // A clip is a sequence of clips, never of small integers: skipping it
    // saves one Trim per conversion without changing the outcome.
    if (PyUnicode_Check(value) || is_video_node(value) || is_audio_node(value) || !PySequence_Check(value)) return std::nullopt;
    if (!collect_small_ints(value, scratch)) return std::nullopt;
    return Value::of_data(Value::Kind::Binary, scratch);
}

// os.fspath() of a path object: text from a str result, binary data from a
// bytes one, copied into `scratch`.
std::optional<Value> try_path(PyObject* value, std::string& scratch) {
    static PyObject* fspath_name = interned("__fspath__");
    if (PyUnicode_Check(value) || PyBytes_Check(value) ||
        PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), fspath_name) != 1)
        return std::nullopt;
    PyRef path = require_new(PyOS_FSPath(value));
    Value::Kind kind = PyUnicode_Check(path.get()) ? Value::Kind::Text : Value::Kind::Binary;
    Py_ssize_t size = 0;
    const char* data = nullptr;
    if (kind == Value::Kind::Text) {
        data = PyUnicode_AsUTF8AndSize(path.get(), &size);
        if (data == nullptr) throw PyErrSet{};
    } else {
        char* bytes = nullptr;
        require_status(PyBytes_AsStringAndSize(path.get(), &bytes, &size));
        data = bytes;
    }
    scratch.assign(data, static_cast<size_t>(size));
    return Value::of_data(kind, scratch);
}

[[noreturn]] void unsupported(PyObject* value) {
    PyRef name = require_new(PyType_GetName(Py_TYPE(value)));
    throw_type_error("unsupported argument type: " + to_utf8(name.get()));
}

// A keyword name as text; a str that UTF-8 cannot hold still gets a
// readable message (it fails the name check anyway).
std::string keyword_text(PyObject* key) {
    PyRef text = PyUnicode_Check(key) ? PyRef::borrow(key) : require_new(PyObject_Str(key));
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) return std::string(utf8, static_cast<size_t>(size));
    discard_refusal();
    PyRef bytes = require_new(PyUnicode_AsEncodedString(text.get(), "utf-8", "replace"));
    return std::string(PyBytes_AsString(bytes.get()), static_cast<size_t>(PyBytes_Size(bytes.get())));
}

}  // namespace

void set_scalar(Map& map, KeyStr key, PyObject* value, int mode, bool as_float) {
    std::string scratch;  // bytes gathered from a sequence live until the store
    std::optional<Value> converted;
    // Fast paths for the common exact types; each gives what the full
    // order below would give (a clip, an int or a float refuse every
    // earlier conversion), without raising and discarding errors.
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            map.set(key, as_float ? Value::of_float(static_cast<double>(n)) : Value::of_int(n), mode);
            return;
        }
    }
    if (PyFloat_CheckExact(value)) {
        map.set(key, Value::of_float(PyFloat_AsDouble(value)), mode);
        return;
    }
    if (is_video_node(value)) {
        map.set(key, Value::of_video_node(video_node_data(value).node.clone()), mode);
        return;
    }
    if (is_audio_node(value)) {
        map.set(key, Value::of_audio_node(audio_node_data(value).node.clone()), mode);
        return;
    }
    if (is_audio_frame(value)) {
        map.set(key, Value::of_audio_frame(audio_frame_ref(value)), mode);
        return;
    }
    if (std::optional<FrameRef> frame = video_frame_for_map(value)) {
        map.set(key, Value::of_video_frame(std::move(*frame)), mode);
        return;
    }
    if (PyBool_Check(value)) {
        bool truth = value == Py_True;
        converted = as_float ? Value::of_float(truth ? 1.0 : 0.0) : Value::of_int(truth ? 1 : 0);
    }
    if (!converted) {
        if (std::optional<int64_t> n = enum_or_format_value(value))
            converted = as_float ? Value::of_float(static_cast<double>(*n)) : Value::of_int(*n);
    }
    if (!converted) converted = try_integer(value, as_float);
    if (!converted) converted = try_float(value);
    if (!converted) converted = try_text(value);
    if (!converted) converted = try_binary(value, scratch);
    if (!converted) converted = try_path(value, scratch);
    if (!converted && is_video_node(value)) converted = Value::of_video_node(video_node_data(value).node.clone());
    if (!converted && PyCallable_Check(value)) converted = callable_to_value(value);
    if (!converted) unsupported(value);
    map.set(key, std::move(*converted), mode);
}

namespace {

// A list stores its items under one key; None stands for "not given".
void store_argument(Map& target, KeyStr key, PyObject* value, bool as_float) {
    if (value == Py_None) return;
    if (!PyList_Check(value)) {
        set_scalar(target, key, value, maReplace, as_float);
        return;
    }
    // Items removed during conversion end the walk; added ones are not visited.
    Py_ssize_t length = PyList_Size(value);
    for (Py_ssize_t j = 0; j < std::min(length, PyList_Size(value)); ++j) {
        PyRef item = PyRef::borrow(PyList_GetItem(value, j));  // owned: conversion may drop it from the list
        set_scalar(target, key, item.get(), j == 0 ? maReplace : maAppend, as_float);
    }
}

void store_argument(Map& target, KeyStr key, PyObject* value, const SignatureTypes& types) {
    if (value == Py_None) return;
    auto found = types.find(std::string_view(key.c_str()));
    store_argument(target, key, value, found != types.end() && found->second == "float");
}

void store_keyword(Map& target, PyObject* key, PyObject* value, const SignatureTypes& types) {
    // A str's UTF-8 form is cached in it and NUL-terminated: no copy.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (utf8 != nullptr && size > 0 && map_ext::is_key_text(std::string_view(utf8, static_cast<size_t>(size)))) {
        store_argument(target, KeyStr::verified(utf8), value, types);
        return;
    }
    if (utf8 == nullptr && PyUnicode_Check(key)) discard_refusal();
    std::string name = keyword_text(key);
    if (name.empty() || !map_ext::is_key_text(name)) throw_type_error("invalid argument name: " + quoted(name));
    store_argument(target, KeyStr::checked(name.c_str()), value, types);
}

// The parameter a keyword is by identity, or -1: any other name goes by its
// text. A keyword-named parameter's alias is found by its text as well.
Py_ssize_t known_parameter(const ParsedSignature& signature, PyObject* key) {
    Py_ssize_t found = index_by_identity(signature.keys, key);
    if (found >= 0 || !signature.has_aliases) return found;
    found = index_by_identity(signature.aliases, key);
    if (found < 0 && PyUnicode_Check(key)) found = index_by_text(signature.aliases, key);
    return found;
}

}  // namespace

void store_untyped(VSMap* map, const VSAPI* api, PyObject* key, PyObject* value) {
    static const SignatureTypes no_types;
    Map target(map, api);
    store_keyword(target, key, value, no_types);
}

void kwargs_to_map(VSMap* map, const VSAPI* api, Keywords kwargs, const SignatureTypes& types) {
    if (kwargs.names == nullptr) return;
    Map target(map, api);
    Py_ssize_t count = PyTuple_Size(kwargs.names);
    for (Py_ssize_t i = 0; i < count; ++i) store_keyword(target, PyTuple_GetItem(kwargs.names, i), kwargs.values[i], types);
}

void kwargs_to_map(VSMap* map, const VSAPI* api, Keywords kwargs, const ParsedSignature& signature) {
    if (kwargs.names == nullptr) return;
    Map target(map, api);
    Py_ssize_t count = PyTuple_Size(kwargs.names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GetItem(kwargs.names, i);
        Py_ssize_t known = known_parameter(signature, key);
        if (known < 0) {
            store_keyword(target, key, kwargs.values[i], signature.types);
            continue;
        }
        auto index = static_cast<size_t>(known);
        store_argument(target, KeyStr::verified(signature.parameters[index].c_str()), kwargs.values[i],
                       signature.as_float[index]);
    }
}

void positionals_to_map(VSMap* map, const VSAPI* api, PyObject* const* values, Py_ssize_t count,
                        const ParsedSignature& signature) {
    Map target(map, api);
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto index = static_cast<size_t>(i);
        store_argument(target, KeyStr::checked(signature.parameters[index].c_str()), values[i], signature.as_float[index]);
    }
}

// ------------------------------------------------------------ map -> Python

namespace {

PyRef value_to_py(Value value, const OwnerHandle& owner) {
    switch (value.kind) {
        case Value::Kind::Int: return py_int(value.integer);
        case Value::Kind::Float: return require_new(PyFloat_FromDouble(value.real));
        case Value::Kind::Binary:
            return require_new(
                PyBytes_FromStringAndSize(value.data.data(), static_cast<Py_ssize_t>(value.data.size())));
        // Like every text from VapourSynth: invalid UTF-8 becomes U+FFFD.
        case Value::Kind::Text: return str_lossy(value.data);
        case Value::Kind::VideoNode: return make_video_node(std::move(value.node), owner.clone());
        case Value::Kind::VideoFrame: return make_video_frame(std::move(value.frame), owner.clone());
        case Value::Kind::AudioNode: return make_audio_node(std::move(value.node), owner.clone());
        case Value::Kind::AudioFrame: return make_audio_frame(std::move(value.frame), owner.clone());
        case Value::Kind::Function: return function_to_py(std::move(value.function), owner);
    }
    internal_fault("unknown map value kind");
}

}  // namespace

PyRef key_to_py(const VSMap* map, const char* key, const OwnerHandle& owner) {
    MapReader reader(map, owner.api());
    KeyStr k = KeyStr::checked(key);
    int count = reader.num_elements(k);
    if (count == 1) return value_to_py(reader.get(k, 0), owner);  // a filter's one clip: no list to gather
    std::vector<PyRef> objects;  // released on any error below
    objects.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) objects.push_back(value_to_py(reader.get(k, i), owner));
    PyRef list = require_new(PyList_New(count));
    for (int i = 0; i < count; ++i) require_status(PyList_SetItem(list.get(), i, objects[static_cast<size_t>(i)].release()));
    return list;
}

PyRef map_to_py_dict(const VSMap* map, const OwnerHandle& owner) {
    MapReader reader(map, owner.api());
    PyRef dict = require_new(PyDict_New());
    int count = reader.num_keys();
    for (int i = 0; i < count; ++i) {
        KeyStr k = reader.key(i);
        PyRef value = key_to_py(map, k.c_str(), owner);
        PyRef name = str_from_utf8(k.c_str());
        require_status(PyDict_SetItem(dict.get(), name.get(), value.get()));
    }
    return dict;
}

PyRef shape_result(const VSMap* result, const OwnerHandle& owner) {
    if (owner.api()->mapNumKeys(result) == 1) return key_to_py(result, owner.api()->mapGetKey(result, 0), owner);
    return map_to_py_dict(result, owner);
}

}  // namespace lumeq
