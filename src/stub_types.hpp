// Temporary: placeholder classes for areas still being built.
#pragma once
#include "boundary.hpp"
namespace lumeq {
struct StubState {};
#define LUMEQ_STUB_TYPE(fn, pyname, flags)                                                         \
    PyTypeObject* fn() {                                                                           \
        static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<StubState>)}, {0, nullptr}}; \
        static PyType_Spec spec = {pyname, sizeof(PyBox<StubState>), 0, Py_TPFLAGS_DEFAULT | (flags), slots};          \
        static GilOnceCell<PyTypeObject*> type;                                                    \
        return type.get([] { return build_type(spec); });                                          \
    }
}
