#include "calls/function_value.hpp"

#include "calls/callbacks.hpp"
#include "calls/convert.hpp"
#include "runtime/process.hpp"

namespace lumeq {
namespace {

struct PyFunctionValue {
    vectorcallfunc vectorcall;  // first: its offset is published as __vectorcalloffset__
    OwnerHandle owner;
    map_ext::FunctionRef function;  // declared last: released before the owner
};

PyObject* function_value_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

PyRef call(PyObject* self, Py_ssize_t nargs, PyObject* const* args, PyObject* kwnames) {
    // A VapourSynth function has no parameter list to bind positionals to.
    if (nargs > 0) throw_type_error("a VapourSynth function takes keyword arguments only");
    const PyFunctionValue& f = unbox<PyFunctionValue>(self);
    if (!f.owner.in_this_process()) throw_foreign_core();  // it would run in the parent's core
    const VSAPI* api = f.owner.api();
    MapRef in = MapRef::create(api);
    {
        CallbackOwnerScope scope(f.owner);
        static const SignatureTypes no_types;
        kwargs_to_map(in.get(), api, Keywords{kwnames != nullptr && PyTuple_Size(kwnames) > 0 ? kwnames : nullptr, args},
                      no_types);
    }
    MapRef out = MapRef::create(api);
    {
        // The function may render frames or call back into Python on
        // VapourSynth's threads.
        ReleaseGil unlocked;
        api->callFunction(f.function.get(), in.get(), out.get());
        in.reset();
    }
    if (const char* error = api->mapGetError(out.get())) throw_vs_error(error);
    return shape_result(out.get(), f.owner);
}

PyObject* function_value_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return call(self, PyVectorcall_NARGS(nargsf), args, kwnames).release(); });
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"  // no virtual members: the offset is well defined
PyMemberDef function_value_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(PyBox<PyFunctionValue>, value) + offsetof(PyFunctionValue, vectorcall)),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyType_Slot function_value_slots[] = {
    {Py_tp_doc, const_cast<char*>("A VapourSynth function: calling it with keyword arguments calls the function\n"
                                  "and returns its result as a plugin call does.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyFunctionValue>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_value_members},
    {0, nullptr},
};

PyType_Spec function_value_spec = {
    "lumeq.FunctionValue", sizeof(PyBox<PyFunctionValue>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL, function_value_slots};

}  // namespace

PyTypeObject* function_value_type() { return lazy_type<function_value_spec>(); }

PyRef function_to_py(map_ext::FunctionRef function, const OwnerHandle& owner) {
    if (PyRef callable = callable_of(function.get())) return callable;
    return make_instance(function_value_type(),
                         PyFunctionValue{function_value_vectorcall, owner.clone(), std::move(function)});
}

std::optional<map_ext::FunctionRef> function_value_ref(PyObject* obj) {
    if (!Py_IS_TYPE(obj, function_value_type())) return std::nullopt;
    const PyFunctionValue& f = unbox<PyFunctionValue>(obj);
    if (!f.owner.in_this_process()) throw_foreign_core();
    const VSAPI* api = f.owner.api();
    return map_ext::FunctionRef(api->addFunctionRef(f.function.get()), api);
}

}  // namespace lumeq
