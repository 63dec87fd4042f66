// Owned references to Python objects and the C++ payload box of our classes.
#pragma once

#include <Python.h>

#include <cassert>
#include <new>
#include <utility>

#ifndef NDEBUG
// Not part of the limited API; referenced by debug builds only.
extern "C" int PyGILState_Check(void);
#endif

namespace lumeq {

// Debug builds check the GIL on every reference count change.
inline void assert_gil_held() noexcept {
#ifndef NDEBUG
    assert(PyGILState_Check());
#endif
}

// Gives up a reference: at once when the calling thread is attached (holds
// the GIL as far as lumeq knows), otherwise queued for the next entry.
void release_reference(PyObject* obj) noexcept;
// Held across fork(), so that the child never inherits the list's lock
// held by a thread that did not come along.
void lock_deferred_list() noexcept;
void unlock_deferred_list() noexcept;
// The calling thread's attach depth (boundary entries and GIL acquisitions).
int& attach_depth_ref() noexcept;

// The one owned-reference type. The ways in are named at the call site:
// steal() adopts a new reference, borrow() takes a new one from a borrowed
// pointer. release() hands the reference back to Python.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) noexcept {
        if (obj != nullptr) assert_gil_held();
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    static PyRef none() noexcept { return borrow(Py_None); }
    static PyRef boolean(bool value) noexcept { return borrow(value ? Py_True : Py_False); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }
    ~PyRef() { reset(); }

    PyRef clone() const noexcept { return borrow(obj_); }
    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset() noexcept {
        if (obj_ != nullptr) release_reference(std::exchange(obj_, nullptr));
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Our classes keep their C++ state in a box after the object header; the
// state is constructed in place and destroyed by box_dealloc.
template <class T>
struct PyBox {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* obj) noexcept {
    return reinterpret_cast<PyBox<T>*>(obj)->value;
}

// Steps of the deallocation slot; the boundary wrapper calls it.
template <class T>
void destroy_box(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    unbox<T>(obj).~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // heap-type instances own their type
}

}  // namespace lumeq
