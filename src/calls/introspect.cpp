#include "calls/introspect.hpp"

#include "calls/convert.hpp"
#include "clips/audio_node.hpp"
#include "clips/video_node.hpp"
#include "frames/audio_frame.hpp"
#include "frames/enums.hpp"
#include "frames/video_frame.hpp"
#include "runtime/args.hpp"

#include <algorithm>

namespace lumeq {
namespace {

PyObject* module_attribute(const char* module, const char* name) {
    PyRef imported = require_new(PyImport_ImportModule(module));
    return require_new(PyObject_GetAttrString(imported.get(), name)).release();  // kept for the process
}

PyRef type_ref(PyTypeObject* type) { return PyRef::borrow(reinterpret_cast<PyObject*>(type)); }

PyRef either(PyObject* a, PyObject* b) { return require_new(PyNumber_Or(a, b)); }

PyRef typing_any() {
    static GilOnceCell<PyObject*> any;
    return PyRef::borrow(any.get([] { return module_attribute("typing", "Any"); }));
}

PyRef base_annotation(std::string_view type) {
    if (type == "int") return type_ref(&PyLong_Type);
    if (type == "float") return type_ref(&PyFloat_Type);
    if (type == "data") return either(reinterpret_cast<PyObject*>(&PyUnicode_Type), reinterpret_cast<PyObject*>(&PyBytes_Type));
    if (type == "vnode") return type_ref(video_node_type());
    if (type == "anode") return type_ref(audio_node_type());
    if (type == "vframe") return type_ref(video_frame_type());
    if (type == "aframe") return type_ref(audio_frame_type());
    if (type == "func") {
        static GilOnceCell<PyObject*> callable;
        return PyRef::borrow(callable.get([] { return module_attribute("collections.abc", "Callable"); }));
    }
    return typing_any();
}

// An array parameter also takes a single value.
PyRef annotation(const ParameterSpec& parameter) {
    PyRef base = base_annotation(parameter.type);
    if (!parameter.array) return base;
    PyRef list = require_new(PyObject_GetItem(reinterpret_cast<PyObject*>(&PyList_Type), base.get()));
    return either(base.get(), list.get());
}

}  // namespace

bool takes_any(std::string_view arguments) {
    while (!arguments.empty()) {
        size_t end = std::min(arguments.find(';'), arguments.size());
        if (arguments.substr(0, end) == "any") return true;
        arguments.remove_prefix(std::min(end + 1, arguments.size()));
    }
    return false;
}

namespace {

PyRef return_annotation(std::string_view returns) {
    if (returns == "any") return typing_any();
    std::vector<ParameterSpec> entries = signature_parameters(returns);
    if (entries.size() == 1) return annotation(entries.front());
    return type_ref(&PyDict_Type);
}

struct InspectNames {
    PyObject* parameter;
    PyObject* signature;
    PyObject* positional_or_keyword;
    PyObject* var_keyword;
};

const InspectNames& inspect_names() {
    static GilOnceCell<InspectNames> names;
    return names.get([] {
        PyObject* parameter = module_attribute("inspect", "Parameter");
        return InspectNames{parameter, module_attribute("inspect", "Signature"),
                            require_new(PyObject_GetAttrString(parameter, "POSITIONAL_OR_KEYWORD")).release(),
                            require_new(PyObject_GetAttrString(parameter, "VAR_KEYWORD")).release()};
    });
}

bool is_identifier(const std::string& name) {
    if (is_python_keyword(name)) return false;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!text) {
        discard_refusal();
        return false;
    }
    return PyUnicode_IsIdentifier(text.get()) == 1;
}

PyRef make_parameter(const std::string& name, PyObject* kind, PyObject* annotation_object, PyObject* default_value) {
    const InspectNames& inspect = inspect_names();
    PyRef args = require_new(Py_BuildValue("(sO)", name.c_str(), kind));
    PyRef kwargs = require_new(PyDict_New());
    if (annotation_object != nullptr)
        require_status(PyDict_SetItemString(kwargs.get(), "annotation", annotation_object));
    if (default_value != nullptr) require_status(PyDict_SetItemString(kwargs.get(), "default", default_value));
    return require_new(PyObject_Call(inspect.parameter, args.get(), kwargs.get()));
}

// Edits (insert, delete, replace, swap two neighbours) from one name to the
// other; for suggestions only, where names are short.
size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// How far a candidate is from the word; a prefix either way counts as close.
size_t distance_to(const std::string& word, const std::string& candidate) {
    if (candidate.size() >= 2 && word.size() >= 2 &&
        (word.starts_with(candidate) || candidate.starts_with(word)))
        return 1;
    return edit_distance(word, candidate);
}

const char* expected_text(const std::string& type) {
    if (type == "int") return "int";
    if (type == "float") return "float";
    if (type == "data") return "str or bytes";
    if (type == "vnode") return "VideoNode";
    if (type == "anode") return "AudioNode";
    if (type == "vframe") return "VideoFrame";
    if (type == "aframe") return "AudioFrame";
    if (type == "func") return "a callable";
    return nullptr;
}

bool has_index(PyObject* value) { return PyIndex_Check(value) != 0; }

// Whether the conversion can store `value` as the signature's type.
bool fits(const std::string& type, PyObject* value) {
    if (type == "int") return has_index(value) || enum_or_format_value(value).has_value();
    if (type == "float") return has_index(value) || PyFloat_Check(value) || enum_or_format_value(value).has_value();
    if (type == "data") {
        static PyObject* fspath_name = interned("__fspath__");
        return PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value) ||
               PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), fspath_name) == 1 ||
               (PySequence_Check(value) && !is_video_node(value) && !is_audio_node(value));
    }
    if (type == "vnode") return is_video_node(value);
    if (type == "anode") return is_audio_node(value);
    if (type == "vframe") return PyObject_TypeCheck(value, video_frame_type()) != 0;
    if (type == "aframe") return is_audio_frame(value);
    if (type == "func") return PyCallable_Check(value) != 0;
    return true;
}

std::string type_name_of(PyObject* value) {
    PyRef name = require_new(PyType_GetName(Py_TYPE(value)));
    return to_utf8(name.get());
}

}  // namespace

std::string closest_match(std::string_view word, const std::vector<std::pair<std::string, std::string>>& candidates) {
    std::string wanted = lowered(word);
    // Within a third of the word's length, and never a different word of two letters.
    size_t best = std::max<size_t>(1, wanted.size() / 3) + 1;
    std::string found;
    for (const auto& [spelling, name] : candidates) {
        if (spelling.empty() || name == word) continue;
        size_t distance = distance_to(wanted, lowered(spelling));
        if (distance < best) {
            best = distance;
            found = name;
        }
    }
    return found;
}

std::string did_you_mean(std::string_view word, const std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> candidates;
    for (const std::string& name : names) candidates.emplace_back(name, name);
    std::string match = closest_match(word, candidates);
    return match.empty() ? "" : "did you mean '" + match + "'?";
}

std::string namespace_suggestion(std::string_view word, const OwnerHandle& owner) {
    if (word.empty() || word.front() == '_') return "";
    const VSAPI* api = owner.api();
    std::vector<std::pair<std::string, std::string>> candidates;
    for (VSPlugin* p = api->getNextPlugin(nullptr, owner.core()); p != nullptr; p = api->getNextPlugin(p, owner.core())) {
        std::string namespace_name = lossy_utf8(api->getPluginNamespace(p));
        std::string identifier = lossy_utf8(api->getPluginID(p));
        std::string name = lossy_utf8(api->getPluginName(p));
        candidates.emplace_back(namespace_name, namespace_name);
        candidates.emplace_back(identifier.substr(identifier.rfind('.') + 1), namespace_name);
        candidates.emplace_back(name.substr(0, name.find(' ')), namespace_name);
    }
    std::string match = closest_match(word, candidates);
    return match.empty() ? "" : "did you mean '" + match + "'?";
}

std::string argument_type_note(const ParameterSpec& parameter, PyObject* value) {
    const char* expected = expected_text(parameter.type);
    if (expected == nullptr || value == Py_None) return "";
    std::string wanted = parameter.array ? std::string(expected) + " or a list of " + expected : expected;
    if (PyList_Check(value) && parameter.array) {
        for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
            PyObject* item = PyList_GetItem(value, i);
            if (!fits(parameter.type, item))
                return "expected " + wanted + ", got a list holding " + type_name_of(item);
        }
        return "";
    }
    if (fits(parameter.type, value)) return "";
    return "expected " + wanted + ", got " + type_name_of(value);
}

std::string python_name(const ParameterSpec& parameter, const std::vector<ParameterSpec>& all) {
    if (!is_python_keyword(parameter.name)) return parameter.name;
    std::string alias = parameter.name + "_";
    for (const ParameterSpec& other : all)
        if (other.name == alias) return parameter.name;
    return alias;
}

PyRef signature_object(std::string_view arguments, std::string_view returns, bool skip_first) {
    const InspectNames& inspect = inspect_names();
    std::vector<ParameterSpec> parameters = signature_parameters(arguments);
    PyRef list = require_new(PyList_New(0));
    bool unnamed = false;  // a parameter Python cannot name, reachable through **kwargs
    for (size_t i = skip_first ? 1 : 0; i < parameters.size(); ++i) {
        const ParameterSpec& p = parameters[i];
        std::string name = python_name(p, parameters);
        if (!is_identifier(name)) {
            unnamed = true;
            continue;
        }
        PyRef type = annotation(p);
        if (p.optional) type = either(type.get(), Py_None);
        PyRef parameter = make_parameter(name, inspect.positional_or_keyword, type.get(), p.optional ? Py_None : nullptr);
        require_status(PyList_Append(list.get(), parameter.get()));
    }
    if (unnamed || takes_any(arguments)) {
        PyRef rest = make_parameter("kwargs", inspect.var_keyword, nullptr, nullptr);
        require_status(PyList_Append(list.get(), rest.get()));
    }
    PyRef args = require_new(PyTuple_Pack(1, list.get()));
    PyRef kwargs = require_new(PyDict_New());
    PyRef result = return_annotation(returns);
    require_status(PyDict_SetItemString(kwargs.get(), "return_annotation", result.get()));
    // A plugin may declare a required parameter after an optional one, which
    // Python's own functions cannot; the binding still accepts it.
    require_status(PyDict_SetItemString(kwargs.get(), "__validate_parameters__", Py_False));
    return require_new(PyObject_Call(inspect.signature, args.get(), kwargs.get()));
}

PyRef signature_doc(const std::string& qualified_name, PyObject* signature) {
    PyRef head = require_new(PyObject_Str(signature));
    std::string text = qualified_name + to_utf8(head.get()) + "\n";
    PyRef parameters = require_new(PyObject_GetAttrString(signature, "parameters"));
    PyRef values = require_new(PyObject_CallMethod(parameters.get(), "values", nullptr));
    PyRef iterator = require_new(PyObject_GetIter(values.get()));
    while (PyRef parameter = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyRef line = require_new(PyObject_Str(parameter.get()));
        text += "\n    " + to_utf8(line.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return str_from_utf8(text);
}

PyRef dir_with(PyObject* self, const std::vector<std::string>& extra) {
    PyRef listed = require_new(PyObject_Dir(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    for (const std::string& name : extra) {
        PyRef text = str_lossy(name);
        require_status(PyList_Append(listed.get(), text.get()));
    }
    require_status(PyList_Sort(listed.get()));
    return listed;
}

std::vector<std::string> plugin_namespaces(const OwnerHandle& owner) {
    const VSAPI* api = owner.api();
    std::vector<std::string> namespaces;
    for (VSPlugin* p = api->getNextPlugin(nullptr, owner.core()); p != nullptr; p = api->getNextPlugin(p, owner.core()))
        namespaces.emplace_back(api->getPluginNamespace(p));
    return namespaces;
}

}  // namespace lumeq
