#include "clips/clip_ops.hpp"

#include "clips/std_ns.hpp"

#include <string>

namespace lumeq {
namespace {

PyRef wrap(const ClipKind& kind, PyObject* source, NodeRef node) {
    return kind.wrap(std::move(node), kind.owner_of(source).clone());
}

Std std_of(const ClipKind& kind, PyObject* self) { return Std(kind.owner_of(self), kind.audio); }

PyRef subscript_index(const ClipKind& kind, PyObject* self, PyObject* key) {
    long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) {
        discard_refusal();
        throw_type_error(std::string(kind.index_type) + " indices must be integers or slices");
    }
    int64_t n = kind.length(self);
    int64_t i = index < 0 ? index + n : index;
    if (i < 0 || i >= n) throw_index_error(std::string(kind.index_type) + " index out of range");
    return wrap(kind, self, std_of(kind, self).trim(kind.node_of(self).clone(), i, i));
}

// Audio has no SelectEvery: only steps of 1 and -1 select sample frames.
PyRef subscript_slice(const ClipKind& kind, PyObject* self, PyObject* key) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    require_status(PySlice_Unpack(key, &start, &stop, &step));
    if (kind.audio && step != 1 && step != -1)
        throw_value_error(std::string(kind.index_type) + " slices only support a step of 1 or -1");
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(kind.length(self)), &start, &stop, step);
    Std std_ns = std_of(kind, self);
    int64_t first = step > 0 ? start : stop + 1;
    int64_t last = step > 0 ? stop - 1 : start;
    NodeRef node = std_ns.trim(kind.node_of(self).clone(), first, last);
    if (step < 0) node = std_ns.reverse(std::move(node));
    Py_ssize_t cycle = step < 0 ? -step : step;
    if (cycle != 1) node = std_ns.select_every(std::move(node), cycle, 0);
    return wrap(kind, self, std::move(node));
}

}  // namespace

PyRef clip_subscript(const ClipKind& kind, PyObject* self, PyObject* key) {
    if (Py_IS_TYPE(key, &PySlice_Type)) return subscript_slice(kind, self, key);
    return subscript_index(kind, self, key);
}

PyRef clip_item(const ClipKind& kind, PyObject* self, Py_ssize_t index) {
    PyRef key = py_int(index);
    return clip_subscript(kind, self, key.get());
}

PyRef clip_add(const ClipKind& kind, PyObject* left, PyObject* right) {
    if (!kind.is_kind(left) || !kind.is_kind(right)) return PyRef::borrow(Py_NotImplemented);
    StdSpliceBuilder builder;
    builder.push(kind.node_of(left).clone());
    builder.push(kind.node_of(right).clone());
    return wrap(kind, left, std_of(kind, left).splice(std::move(builder)));
}

PyRef clip_multiply(const ClipKind& kind, PyObject* left, PyObject* right) {
    if (!kind.is_kind(left)) return PyRef::borrow(Py_NotImplemented);
    long times = PyLong_AsLong(right);
    if (times == -1 && PyErr_Occurred()) {
        discard_refusal();
        throw_type_error("Clips may only be repeated by integer factors");
    }
    if (times < 1) throw_value_error("Loop count must greater than zero");
    return wrap(kind, left, std_of(kind, left).repeat(kind.node_of(left).clone(), times));
}

}  // namespace lumeq
