#include "calls/introspect.hpp"

#include "calls/convert.hpp"
#include "clips/audio_node.hpp"
#include "clips/video_node.hpp"
#include "frames/audio_frame.hpp"
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

// The `any` piece: the function takes any further named arguments.
bool takes_any(std::string_view arguments) {
    while (!arguments.empty()) {
        size_t end = std::min(arguments.find(';'), arguments.size());
        if (arguments.substr(0, end) == "any") return true;
        arguments.remove_prefix(std::min(end + 1, arguments.size()));
    }
    return false;
}

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

PyRef make_parameter(const std::string& name, PyObject* kind, PyObject* annotation_object, PyObject* default_value) {
    const InspectNames& inspect = inspect_names();
    PyRef args = require_new(Py_BuildValue("(sO)", name.c_str(), kind));
    PyRef kwargs = require_new(PyDict_New());
    if (annotation_object != nullptr)
        require_status(PyDict_SetItemString(kwargs.get(), "annotation", annotation_object));
    if (default_value != nullptr) require_status(PyDict_SetItemString(kwargs.get(), "default", default_value));
    return require_new(PyObject_Call(inspect.parameter, args.get(), kwargs.get()));
}

}  // namespace

PyRef signature_object(std::string_view arguments, std::string_view returns, bool skip_first) {
    const InspectNames& inspect = inspect_names();
    std::vector<ParameterSpec> parameters = signature_parameters(arguments);
    PyRef list = require_new(PyList_New(0));
    for (size_t i = skip_first ? 1 : 0; i < parameters.size(); ++i) {
        const ParameterSpec& p = parameters[i];
        PyRef type = annotation(p);
        if (p.optional) type = either(type.get(), Py_None);
        PyRef parameter = make_parameter(p.name, inspect.positional_or_keyword, type.get(), p.optional ? Py_None : nullptr);
        require_status(PyList_Append(list.get(), parameter.get()));
    }
    if (takes_any(arguments)) {
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
