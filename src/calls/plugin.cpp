#include "calls/plugin.hpp"

#include "calls/convert.hpp"
#include "calls/introspect.hpp"
#include "clips/clip.hpp"

#include <memory>
#include <string>
#include <vector>

namespace lumeq {
namespace {

// Plugins and functions store names, and the handle once looked up: the
// object keeps its core alive and a core never unloads a plugin, so the
// handle holds for the object's life and a failed lookup is a fault.
struct PyPlugin {
    OwnerHandle owner;
    std::string plugin_namespace;
    PyRef bound;  // the clip its functions take first, or empty
    mutable VSPlugin* handle = nullptr;  // guarded by the GIL
    std::shared_ptr<FunctionMemo> functions;  // for a plugin found through its core's memo

    VSPlugin* lookup() const {
        VSCore* core = owner.core();  // refuses a parent's core, even with the handle at hand
        if (handle != nullptr) return handle;
        VSPlugin* plugin = owner.api()->getPluginByNamespace(plugin_namespace.c_str(), core);
        if (plugin == nullptr) internal_fault("validated at construction");
        return handle = plugin;
    }
    PyPlugin copy() const {
        return PyPlugin{owner.clone(), plugin_namespace, bound ? PyRef::borrow(bound.get()) : PyRef(), handle, functions};
    }
};

// Nor does a core change a registered function, so the function's handle
// and parsed signature, once looked up, hold for the object's life too.
// Guarded by the GIL.
struct PyFunction {
    vectorcallfunc vectorcall;  // first: its offset is published as __vectorcalloffset__
    OwnerHandle owner;
    std::string plugin_namespace;
    std::string name;
    PyPlugin plugin;
    mutable VSPluginFunction* function_handle = nullptr;
    mutable std::shared_ptr<const ParsedSignature> parsed_signature;

    VSPluginFunction* lookup() const {
        if (function_handle != nullptr) {
            owner.core();  // a parent's core is refused, even with the handle at hand
            return function_handle;
        }
        VSPluginFunction* function = owner.api()->getPluginFunctionByName(name.c_str(), plugin.lookup());
        if (function == nullptr) internal_fault("validated at construction");
        return function_handle = function;
    }
    // Shared: a conversion may run Python code that drops this object.
    std::shared_ptr<const ParsedSignature> signature() const {
        if (!parsed_signature) parsed_signature = cached_signature(owner.api()->getPluginFunctionArguments(lookup()));
        return parsed_signature;
    }
    const char* arguments() const { return owner.api()->getPluginFunctionArguments(lookup()); }
};

}  // namespace

// The functions found in one plugin of one core (PluginMemo's other half).
struct FunctionMemo {
    struct Entry {
        VSPluginFunction* handle;
        std::shared_ptr<const ParsedSignature> signature;
    };
    std::unordered_map<std::string, Entry, TextHash, std::equal_to<>> entries;
};

namespace {

struct PyFunctionIter {
    std::vector<std::string> names;
    OwnerHandle owner;
    std::string plugin_namespace;
    size_t position = 0;
    UseFlag use;
};

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

PyRef make_function(const PyPlugin& plugin, std::string name, VSPluginFunction* found = nullptr,
                    std::shared_ptr<const ParsedSignature> signature = nullptr) {
    PyFunction f{function_vectorcall, plugin.owner.clone(), plugin.plugin_namespace, std::move(name), plugin.copy()};
    f.function_handle = found;
    f.parsed_signature = std::move(signature);
    return make_instance(function_type(), std::move(f));
}

// ------------------------------------------------------------ Plugin

const PyPlugin& plugin_of(PyObject* self) { return unbox<PyPlugin>(self); }

PyRef plugin_name(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    return str_lossy(p.owner.api()->getPluginName(p.lookup()));
}

PyRef plugin_namespace(PyObject* self) { return str_lossy(plugin_of(self).plugin_namespace); }

PyRef plugin_identifier(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    return str_lossy(p.owner.api()->getPluginID(p.lookup()));
}

PyRef plugin_path(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    const char* path = p.owner.api()->getPluginPath(p.lookup());
    if (path == nullptr || *path == '\0') return PyRef::none();
    return str_lossy(path);
}

PyRef plugin_version(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    int32_t v = p.owner.api()->getPluginVersion(p.lookup());
    int32_t major = v >> 16;
    int32_t minor = v < 0 ? 0 : (v & 0xFFFF);
    PyRef a = py_int(major);
    PyRef b = py_int(minor);
    return require_new(PyTuple_Pack(2, a.get(), b.get()));
}

std::vector<std::string> function_names(const PyPlugin& p) {
    const VSAPI* api = p.owner.api();
    VSPlugin* plugin = p.lookup();
    std::vector<std::string> names;
    for (VSPluginFunction* f = api->getNextPluginFunction(nullptr, plugin); f != nullptr;
         f = api->getNextPluginFunction(f, plugin))
        names.emplace_back(api->getPluginFunctionName(f));
    return names;
}

std::string binding_text(const PyPlugin& p) {
    if (!p.bound) return "";
    PyRef clip = require_new(PyObject_Repr(p.bound.get()));
    return " bound to " + to_utf8(clip.get());
}

PyRef plugin_functions(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    PyFunctionIter iter;
    iter.names = function_names(p);
    iter.owner = p.owner.clone();
    iter.plugin_namespace = p.plugin_namespace;
    return make_instance(function_iter_type(), std::move(iter));
}

PyRef plugin_repr(PyObject* self) {
    const PyPlugin& p = plugin_of(self);
    std::string text = "<lumeq.Plugin namespace=" + lossy_utf8(p.plugin_namespace) +
                       " name=" + lossy_utf8(p.owner.api()->getPluginName(p.lookup())) + binding_text(p) + ">";
    return str_from_utf8(text);
}

PyRef plugin_dir(PyObject* self) { return dir_with(self, function_names(plugin_of(self))); }

// Members first; only their AttributeError leads to a function lookup.
PyRef plugin_getattro(PyObject* self, PyObject* name) {
    if (is_type_attribute(Py_TYPE(self), name)) return require_new(PyObject_GenericGetAttr(self, name));
    std::string text = to_utf8(name);
    const PyPlugin& p = plugin_of(self);
    if (p.functions) {
        auto known = p.functions->entries.find(text);
        if (known != p.functions->entries.end()) {
            p.owner.core();  // a parent's core is refused, even with the handle at hand
            return make_function(p, std::move(text), known->second.handle, known->second.signature);
        }
    }
    if (text.find('\0') == std::string::npos) {
        if (VSPluginFunction* found = p.owner.api()->getPluginFunctionByName(text.c_str(), p.lookup())) {
            if (!p.functions) return make_function(p, std::move(text), found);
            auto signature = cached_signature(p.owner.api()->getPluginFunctionArguments(found));
            p.functions->entries.insert_or_assign(text, FunctionMemo::Entry{found, signature});
            return make_function(p, std::move(text), found, std::move(signature));
        }
    }
    if (PyRef found = generic_attribute_or_null(self, name)) return found;
    if (text.find('\0') != std::string::npos) throw_attribute_error("invalid function name " + quoted(text));
    throw_with_note(PyExc_AttributeError,
                    "plugin '" + lossy_utf8(p.plugin_namespace) + "' has no function '" + text + "'",
                    text.starts_with('_') ? "" : did_you_mean(text, function_names(p)));
}

PyGetSetDef plugin_getset[] = {
    {"name", getter<plugin_name>, nullptr, "The name string of the plugin.", nullptr},
    {"namespace", getter<plugin_namespace>, nullptr, "The namespace of the plugin.", nullptr},
    {"identifier", getter<plugin_identifier>, nullptr, "The plugin identifier string.", nullptr},
    {"plugin_path", getter<plugin_path>, nullptr,
     "The main library location of the plugin. Returns None for internal\nfunctions.", nullptr},
    {"version", getter<plugin_version>, nullptr,
     "The version of the plugin returned as a `PluginVersion` (major, minor)\ntuple.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef plugin_methods[] = {
    {"functions", method_noargs<plugin_functions>, METH_NOARGS,
     "Yields all functions in the plugin as an iterator of `Function` objects."},
    {"__dir__", method_noargs<plugin_dir>, METH_NOARGS, "The plugin's members and function names."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot plugin_slots[] = {
    {Py_tp_doc, const_cast<char*>("Plugin is a class that represents a loaded plugin and its namespace.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyPlugin>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<plugin_getattro>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<plugin_repr>)},
    {Py_tp_getset, plugin_getset},
    {Py_tp_methods, plugin_methods},
    {0, nullptr},
};

PyType_Spec plugin_spec = {"Plugin", sizeof(PyBox<PyPlugin>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           plugin_slots};

// ------------------------------------------------------------ Function

const PyFunction& function_of(PyObject* self) { return unbox<PyFunction>(self); }

PyRef function_name(PyObject* self) { return str_lossy(function_of(self).name); }

PyRef function_plugin(PyObject* self) { return make_instance(plugin_type(), function_of(self).plugin.copy()); }

PyRef function_signature(PyObject* self) {
    const PyFunction& f = function_of(self);
    return str_lossy(f.owner.api()->getPluginFunctionArguments(f.lookup()));
}

PyRef function_return_signature(PyObject* self) {
    const PyFunction& f = function_of(self);
    return str_lossy(f.owner.api()->getPluginFunctionReturnType(f.lookup()));
}

PyRef function_repr(PyObject* self) {
    const PyFunction& f = function_of(self);
    return str_from_utf8("<lumeq.Function " + lossy_utf8(f.plugin_namespace) + "." + lossy_utf8(f.name) +
                         binding_text(f.plugin) + ">");
}

PyRef function_signature_object(const PyFunction& f) {
    return signature_object(f.arguments(), f.owner.api()->getPluginFunctionReturnType(f.lookup()),
                            static_cast<bool>(f.plugin.bound));
}

// Per instance, while the class keeps its own docstring.
PyRef function_getattro(PyObject* self, PyObject* name) {
    if (PyUnicode_Check(name)) {
        const PyFunction& f = function_of(self);
        if (PyUnicode_CompareWithASCIIString(name, "__signature__") == 0) return function_signature_object(f);
        if (PyUnicode_CompareWithASCIIString(name, "__doc__") == 0) {
            PyRef signature = function_signature_object(f);
            return signature_doc(lossy_utf8(f.plugin_namespace) + "." + lossy_utf8(f.name), signature.get());
        }
        if (PyUnicode_CompareWithASCIIString(name, "__name__") == 0 ||
            PyUnicode_CompareWithASCIIString(name, "__qualname__") == 0)
            return str_lossy(f.name);
    }
    return require_new(PyObject_GenericGetAttr(self, name));
}

// Returning itself, a function stored on a class stays what it was; being a
// descriptor makes help() document it as a routine, with its signature.
PyRef function_descr_get(PyObject* self, PyObject*, PyObject*) { return PyRef::borrow(self); }

std::string call_name(const PyFunction& f) {
    return lossy_utf8(f.plugin_namespace) + "." + lossy_utf8(f.name) + "()";
}

// Positionals bind to the first parameters, so a keyword naming one of them
// would give it twice; so would a keyword-named parameter given in both
// spellings.
void check_arguments(const PyFunction& f, const ParsedSignature& signature, Py_ssize_t nargs, Keywords keywords) {
    auto available = static_cast<Py_ssize_t>(signature.parameters.size());
    if (nargs > available)
        throw_type_error(call_name(f) + " takes at most " + std::to_string(available) + " positional arguments (" +
                         std::to_string(nargs) + " given)");
    if (keywords.names == nullptr) return;
    std::vector<bool> by_keyword;  // only needed where a parameter has two spellings
    if (signature.has_aliases) by_keyword.assign(signature.parameters.size(), false);
    Py_ssize_t count = PyTuple_Size(keywords.names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        Py_ssize_t index = find_parameter(signature, PyTuple_GetItem(keywords.names, k));
        if (index < 0) continue;
        auto i = static_cast<size_t>(index);
        bool twice = index < nargs || (signature.has_aliases && by_keyword[i]);
        if (twice) {
            const std::string& name = signature.parameters[i];
            throw_type_error(call_name(f) + " got multiple values for argument '" +
                             (signature.aliases[i] ? name + "_" : name) + "'");
        }
        if (signature.has_aliases) by_keyword[i] = true;
    }
}

// One call's arguments on their way into the map.
struct CallArguments {
    const PyFunction& f;
    PyObject* const* args;
    Py_ssize_t nargs;
    Keywords keywords;
    std::shared_ptr<const ParsedSignature> signature;

    void fill(VSMap* map) {
        if (keywords.names == nullptr && nargs == 0) return;
        if (signature == nullptr) signature = f.signature();
        positionals_to_map(map, f.owner.api(), args, nargs, *signature);
        kwargs_to_map(map, f.owner.api(), keywords, *signature);
    }
};

std::string keyword_note(const PyFunction& f, const ParsedSignature& signature,
                         const std::vector<ParameterSpec>& parameters, PyObject* key, PyObject* value) {
    Py_ssize_t index = find_parameter(signature, key);
    if (index >= 0) {
        const ParameterSpec& parameter = parameters[static_cast<size_t>(index)];
        std::string note = argument_type_note(parameter, value);
        return note.empty() ? "" : python_name(parameter, parameters) + ": " + note;
    }
    if (!PyUnicode_Check(key) || takes_any(f.arguments())) return "";
    // Compared with both spellings of a keyword-named parameter, suggested as code writes it.
    std::vector<std::pair<std::string, std::string>> candidates;
    for (const ParameterSpec& parameter : parameters) {
        candidates.emplace_back(parameter.name, python_name(parameter, parameters));
        candidates.emplace_back(python_name(parameter, parameters), python_name(parameter, parameters));
    }
    std::string match = closest_match(to_utf8(key), candidates);
    return match.empty() ? "" : "did you mean '" + match + "'?";
}

// What VapourSynth's refusal of a call does not say: which type a wrongly
// typed argument should have had, and which parameter a mistyped name meant.
std::string call_note(const PyFunction& f, const CallArguments& call, PyObject* exception) {
    if (!PyErr_GivenExceptionMatches(exception, PyExc_RuntimeError) &&
        !PyErr_GivenExceptionMatches(exception, PyExc_TypeError))
        return "";
    std::shared_ptr<const ParsedSignature> signature = call.signature ? call.signature : f.signature();
    std::vector<ParameterSpec> parameters = signature_parameters(f.arguments());
    if (parameters.size() != signature->parameters.size()) return "";
    for (Py_ssize_t i = 0; i < call.nargs && static_cast<size_t>(i) < parameters.size(); ++i) {
        const ParameterSpec& parameter = parameters[static_cast<size_t>(i)];
        std::string note = argument_type_note(parameter, call.args[i]);
        if (!note.empty()) return python_name(parameter, parameters) + ": " + note;
    }
    Py_ssize_t count = call.keywords.names != nullptr ? PyTuple_Size(call.keywords.names) : 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        std::string note = keyword_note(f, *signature, parameters, PyTuple_GetItem(call.keywords.names, k),
                                        call.keywords.values[k]);
        if (!note.empty()) return note;
    }
    return "";
}

// Called through the vectorcall protocol, so keyword arguments arrive as
// names and values, with no dict built for them.
PyRef invoke_function(const PyFunction& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CallArguments call{f, args, nargs, {kwnames != nullptr && PyTuple_Size(kwnames) > 0 ? kwnames : nullptr, args + nargs},
                       nullptr};
    if (nargs > 0 || call.keywords.names != nullptr) {
        call.signature = f.signature();
        if (nargs > 0 || call.signature->has_aliases) check_arguments(f, *call.signature, nargs, call.keywords);
    }
    // One captured pointer: the std::function holds it inline, with no allocation per call.
    MapRef result = annotating_errors(
        [&] { return f.owner.invoke(f.plugin.lookup(), f.name.c_str(), [&call](VSMap* map) { call.fill(map); }); },
        [&](PyObject* exception) { return call_note(f, call, exception); });
    return shape_result(result.get(), f.owner);
}

bool takes_clip_first(const ParsedSignature& signature) {
    if (signature.parameters.empty()) return false;
    const std::string& type = signature.types.at(signature.parameters.front());
    return type == "vnode" || type == "anode";
}

// The bound clip goes in front of the caller's arguments, as the first parameter.
PyRef call_bound(const PyFunction& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_clip_first(*f.signature()))
        throw_type_error(call_name(f) + " cannot be called on a clip: its first parameter is not a clip");
    Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    std::vector<PyObject*> with_clip;
    with_clip.reserve(static_cast<size_t>(nargs + keyword_count + 1));
    with_clip.push_back(f.plugin.bound.get());
    with_clip.insert(with_clip.end(), args, args + nargs + keyword_count);
    return invoke_function(f, with_clip.data(), nargs + 1, kwnames);
}

PyRef function_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const PyFunction& f = function_of(self);
    if (f.plugin.bound) return call_bound(f, args, nargs, kwnames);
    return invoke_function(f, args, nargs, kwnames);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr,
                            [&] { return function_call(self, args, PyVectorcall_NARGS(nargsf), kwnames).release(); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"  // no virtual members: the offset is well defined
PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(PyBox<PyFunction>, value) + offsetof(PyFunction, vectorcall)), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef function_getset[] = {
    {"name", getter<function_name>, nullptr, "The function name. Identical to the string used to register the function.",
     nullptr},
    {"plugin", getter<function_plugin>, nullptr, "The Plugin object the function belongs to.", nullptr},
    {"signature", getter<function_signature>, nullptr,
     "Raw function signature string. Identical to the string used to register\nthe function.", nullptr},
    {"return_signature", getter<function_return_signature>, nullptr,
     "Raw function return type signature string. Identical to the return type\nstring used to register the function.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_doc, const_cast<char*>("Function is a simple wrapper class for a function provided by a VapourSynth\n"
                                  "plugin. Its main purpose is to be called and nothing else.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyFunction>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<function_repr>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<function_getattro>)},
    {Py_tp_descr_get, reinterpret_cast<void*>(ternary_slot<function_descr_get>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {"Function", sizeof(PyBox<PyFunction>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
                             function_slots};

// ------------------------------------------------------------ PluginFunctionIter

PyRef function_iter_iter(PyObject* self) {
    UseFlag::Shared use(unbox<PyFunctionIter>(self).use);
    return PyRef::borrow(self);
}

PyObject* function_iter_next(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        PyFunctionIter& iter = unbox<PyFunctionIter>(self);
        UseFlag::Exclusive use(iter.use);
        if (iter.position >= iter.names.size()) return static_cast<PyObject*>(nullptr);
        std::string name = iter.names[iter.position++];
        return make_function(PyPlugin{iter.owner.clone(), iter.plugin_namespace}, std::move(name)).release();
    });
}

PyType_Slot function_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the functions in a plugin.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyFunctionIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<function_iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(function_iter_next)},
    {0, nullptr},
};

PyType_Spec function_iter_spec = {"PluginFunctionIter", sizeof(PyBox<PyFunctionIter>), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, function_iter_slots};

}  // namespace

PyTypeObject* plugin_type() {
    return lazy_type<plugin_spec>();
}

PyTypeObject* function_type() {
    return lazy_type<function_spec>();
}

PyTypeObject* function_iter_type() {
    return lazy_type<function_iter_spec>();
}

PyRef PluginMemo::find(const OwnerHandle& owner, std::string_view plugin_namespace) const {
    auto found = entries_.find(plugin_namespace);
    if (found == entries_.end()) return PyRef();
    owner.core();  // a parent's core is refused, even with the handle at hand
    return make_instance(plugin_type(), PyPlugin{owner.clone(), std::string(plugin_namespace), PyRef(),
                                                 found->second.handle, found->second.functions});
}

PyRef PluginMemo::add(const OwnerHandle& owner, std::string plugin_namespace, VSPlugin* found) {
    auto functions = std::make_shared<FunctionMemo>();
    entries_.insert_or_assign(plugin_namespace, Entry{found, functions});
    return make_instance(plugin_type(),
                         PyPlugin{owner.clone(), std::move(plugin_namespace), PyRef(), found, std::move(functions)});
}

PyRef make_plugin(OwnerHandle owner, std::string plugin_namespace, VSPlugin* found) {
    return make_instance(plugin_type(), PyPlugin{std::move(owner), std::move(plugin_namespace), PyRef(), found});
}

PyRef clip_attribute_or_plugin(PyObject* clip, PyObject* name) {
    if (is_type_attribute(Py_TYPE(clip), name)) return require_new(PyObject_GenericGetAttr(clip, name));
    std::string text = to_utf8(name);
    const OwnerHandle& owner = clip_parts(clip).owner;
    if (text.find('\0') == std::string::npos && owner.api()->getPluginByNamespace(text.c_str(), owner.core()) != nullptr)
        return make_instance(plugin_type(), PyPlugin{owner.clone(), std::move(text), PyRef::borrow(clip)});
    if (PyRef found = generic_attribute_or_null(clip, name)) return found;
    PyRef type_name = require_new(PyType_GetName(Py_TYPE(clip)));
    throw_with_note(PyExc_AttributeError,
                    "'" + to_utf8(type_name.get()) + "' object has no attribute '" + text +
                        "' and there is no plugin with namespace '" + text + "'",
                    namespace_suggestion(text, owner));
}

PyRef clip_dir_with_plugins(PyObject* clip) { return dir_with(clip, plugin_namespaces(clip_parts(clip).owner)); }

}  // namespace lumeq
