#include "process.hpp"

namespace lumeq {

namespace {

// threading's shutdown, which comes before the atexit hooks, marks the
// main thread as no longer alive.
bool interpreter_exiting() {
    PyRef threading = require_new(PyImport_ImportModule("threading"));
    PyRef main_thread = call_method(threading.get(), "main_thread");
    PyRef alive = call_method(main_thread.get(), "is_alive");
    return !to_bool(alive.get());
}

}  // namespace

void run_at_exit(PyMethodDef& hook) {
    PyRef function = require_new(PyCFunction_NewEx(&hook, nullptr, nullptr));
    if (interpreter_exiting()) {
        require_new(PyObject_CallNoArgs(function.get()));
        return;
    }
    PyRef atexit = require_new(PyImport_ImportModule("atexit"));
    call_method(atexit.get(), "register", {function.get()});
}

}  // namespace lumeq
