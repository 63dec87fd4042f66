// A Python object's buffer, held for the length of one call.
#pragma once

#include "runtime/boundary.hpp"

#include <cstdint>

namespace lumeq {

class BufferHold {
public:
    // `flags` as for PyObject_GetBuffer: PyBUF_SIMPLE to read, PyBUF_WRITABLE to fill.
    BufferHold(PyObject* obj, int flags) {
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) throw PyErrSet{};
    }
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    ~BufferHold() { PyBuffer_Release(&view_); }
    uint8_t* data() const { return static_cast<uint8_t*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
};

}  // namespace lumeq
