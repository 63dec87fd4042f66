// Python callables passed to plugins as VapourSynth functions.
#pragma once

#include "cores/core.hpp"
#include "runtime/map_ext.hpp"

#include <optional>

namespace lumeq {

// The core a plugin call fills its arguments for: a callable becomes a
// function of that core. Scopes nest (a callback may call plugins).
class CallbackOwnerScope {
public:
    explicit CallbackOwnerScope(const OwnerHandle& owner) noexcept;
    ~CallbackOwnerScope();
    CallbackOwnerScope(const CallbackOwnerScope&) = delete;
    CallbackOwnerScope& operator=(const CallbackOwnerScope&) = delete;

private:
    const OwnerHandle* saved_;
};

// Every call from VapourSynth into Python holds one: it is refused (false)
// once the interpreter has begun to shut down, and exit waits for those held.
class InterpreterPass {
public:
    InterpreterPass();
    ~InterpreterPass();
    InterpreterPass(const InterpreterPass&) = delete;
    InterpreterPass& operator=(const InterpreterPass&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

// Marks a call from VapourSynth into lumeq on this thread (a callback, a
// function's release, a log message), which may be one of its workers.
class CallFromVapourSynth {
public:
    CallFromVapourSynth() noexcept;
    ~CallFromVapourSynth();
    CallFromVapourSynth(const CallFromVapourSynth&) = delete;
    CallFromVapourSynth& operator=(const CallFromVapourSynth&) = delete;
};
// Whether this thread is inside such a call: a worker must wait for frames
// through VapourSynth, which lends its place in the pool meanwhile.
bool in_call_from_vapoursynth() noexcept;

// Makes interpreter exit close the passes (once; GIL held).
void close_passes_at_exit();

// A VapourSynth function calling `callable`, or nothing when no plugin call
// is being filled on this thread.
std::optional<map_ext::Value> callable_to_value(PyObject* callable);
// The Python callable `function` was made from, or null for another function.
PyRef callable_of(const VSFunction* function);

}  // namespace lumeq
