#include "cores/core_proxy.hpp"

#include "cores/environment.hpp"

namespace lumeq {
namespace {

struct PyCoreProxy {};

PyRef proxy_get_core(PyObject*) { return current_core(); }

PyRef proxy_getattro(PyObject* self, PyObject* name) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr) return PyRef::steal(found);
    if (!exception_matches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    to_utf8(name);
    PyRef core = current_core();
    return require_new(PyObject_GetAttr(core.get(), name));
}

// Writes other than to the proxy's own attributes go to the current core.
void proxy_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_type_attribute(Py_TYPE(self), name)) {
        require_status(PyObject_GenericSetAttr(self, name, value));
        return;
    }
    PyRef core = current_core();
    require_status(PyObject_SetAttr(core.get(), name, value));
}

PyRef proxy_dir(PyObject* self) {
    PyRef core = current_core();
    PyRef listed = require_new(PyObject_Dir(core.get()));
    PyRef own = require_new(PyObject_Dir(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    require_status(PyList_SetSlice(listed.get(), 0, 0, own.get()));
    PyRef unique = require_new(PySet_New(listed.get()));
    PyRef sorted = require_new(PySequence_List(unique.get()));
    require_status(PyList_Sort(sorted.get()));
    return sorted;
}

PyMethodDef proxy_methods[] = {
    {"__dir__", method_noargs<proxy_dir>, METH_NOARGS, "The current core's members and plugin namespaces."},
    {nullptr, nullptr, 0, nullptr},
};

PyRef proxy_repr(PyObject*) {
    return str_from_utf8(core_resolved() ? "<lumeq.CoreProxy (resolved)>" : "<lumeq.CoreProxy (unresolved)>");
}

PyGetSetDef proxy_getset[] = {
    {"core", getter<proxy_get_core>, nullptr, "The real `Core` object behind the proxy.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot proxy_slots[] = {
    {Py_tp_doc, const_cast<char*>("A lazy proxy for the current environment's core.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyCoreProxy>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<proxy_getattro>)},
    {Py_tp_setattro, reinterpret_cast<void*>(setattro_slot<proxy_setattro>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<proxy_repr>)},
    {Py_tp_getset, proxy_getset},
    {Py_tp_methods, proxy_methods},
    {0, nullptr},
};

PyType_Spec proxy_spec = {"CoreProxy", sizeof(PyBox<PyCoreProxy>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, proxy_slots};

}  // namespace

PyTypeObject* core_proxy_type() {
    return lazy_type<proxy_spec>();
}

PyRef make_core_proxy() { return make_instance(core_proxy_type(), PyCoreProxy{}); }

}  // namespace lumeq
