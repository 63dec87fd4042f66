#include "runtime/guards.hpp"

#include "runtime/boundary.hpp"
#include "runtime/process.hpp"

#include <pthread.h>

#include <condition_variable>
#include <mutex>

namespace lumeq {
namespace {

// initial-exec: read on every synchronous frame request.
thread_local int calls_from_vapoursynth __attribute__((tls_model("initial-exec"))) = 0;

// VapourSynth may call or free a function on its own threads at any time,
// also while the interpreter finalizes, when asking for the GIL would end
// the thread. At exit the gate closes and waits for the callbacks inside;
// later ones fail (calls) or leak their callable (frees) without Python.
class CallbackGate {
public:
    CallbackGate() { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }
    bool enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        ++active_;
        ++held_here;
        return true;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        --held_here;
        if (--active_ == 0) idle_.notify_all();
    }
    // GIL held; waits with it released.
    void close() {
        ReleaseGil unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    // A child has only the forking thread: the callbacks other threads were
    // inside never leave there, and exit would wait for them for ever.
    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

    static thread_local size_t held_here;  // the passes this thread holds
    std::mutex mutex_;
    std::condition_variable idle_;
    size_t active_ = 0;
    bool closed_ = false;
};

thread_local size_t CallbackGate::held_here = 0;

CallbackGate& gate() {
    static CallbackGate& g = *new CallbackGate();  // never destroyed: callbacks may come during exit
    return g;
}

void CallbackGate::before_fork() noexcept { gate().mutex_.lock(); }
void CallbackGate::after_fork_in_parent() noexcept { gate().mutex_.unlock(); }
void CallbackGate::after_fork_in_child() noexcept {
    gate().active_ = held_here;
    gate().mutex_.unlock();
}

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [] {
        gate().close();
        return PyRef::none().release();
    });
}

PyMethodDef close_gate_def = {"_close_callbacks", close_gate, METH_NOARGS, nullptr};

}  // namespace

InterpreterPass::InterpreterPass() : entered_(gate().enter()) {}
InterpreterPass::~InterpreterPass() {
    if (entered_) gate().leave();
}

void close_passes_at_exit() {
    static GilOnceCell<bool> done;
    done.get([] {
        run_at_exit(close_gate_def);
        return true;
    });
}

CallFromVapourSynth::CallFromVapourSynth() noexcept { ++calls_from_vapoursynth; }
CallFromVapourSynth::~CallFromVapourSynth() { --calls_from_vapoursynth; }
bool in_call_from_vapoursynth() noexcept { return calls_from_vapoursynth > 0; }

}  // namespace lumeq
