// The sequence operators of both clip kinds: indexing, slicing, joining and
// repetition, each one call into the std plugin.
#pragma once

#include "runtime/owner.hpp"

namespace lumeq {

// What the operators need to know about one clip kind.
struct ClipKind {
    bool audio;              // counts sample frames through the Audio* functions
    const char* index_type;  // "VideoNode indices must be ..."
    bool (*is_kind)(PyObject*);
    const NodeRef& (*node_of)(PyObject*);
    const OwnerHandle& (*owner_of)(PyObject*);
    int64_t (*length)(PyObject*);
    PyRef (*wrap)(NodeRef, OwnerHandle);
};

PyRef clip_subscript(const ClipKind& kind, PyObject* self, PyObject* key);
PyRef clip_item(const ClipKind& kind, PyObject* self, Py_ssize_t index);
PyRef clip_add(const ClipKind& kind, PyObject* left, PyObject* right);
PyRef clip_multiply(const ClipKind& kind, PyObject* left, PyObject* right);

}  // namespace lumeq
