// The process-wide guards every call from VapourSynth's threads into lumeq
// holds: one that keeps interpreter exit waiting for the calls inside, and
// one that marks the thread as inside such a call.
#pragma once

namespace lumeq {

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

}  // namespace lumeq
