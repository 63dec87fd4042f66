// Asynchronous frame delivery: the frame executor, the one-result completion
// channel and frame requests, and the awaitable Coroutine.
#pragma once

#include "api.hpp"
#include "boundary.hpp"

#include <memory>
#include <string>
#include <variant>

namespace lumeq {

PyTypeObject* coroutine_type();

// VideoNode.get_frame_async
extern const Signature get_frame_async_signature;
PyRef video_node_get_frame_async(PyObject* self, const Args& args);

}  // namespace lumeq
