#include "runtime/process.hpp"

#include "runtime/boundary.hpp"

#include <pthread.h>
#include <unistd.h>

#include <mutex>

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

// The deferred-release list is the one lock of ours that a thread without
// the GIL may hold while another thread forks; the child must not inherit
// it held.
void before_fork() noexcept { lock_deferred_list(); }
void after_fork_in_parent() noexcept { unlock_deferred_list(); }
void after_fork_in_child() noexcept {
    unlock_deferred_list();
    detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
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

void park_daemon_refused_at_exit(std::string_view error) {
    if (error.find(callback_shutdown_error) == std::string_view::npos || !interpreter_exiting()) return;
    PyRef threading = require_new(PyImport_ImportModule("threading"));
    PyRef thread = call_method(threading.get(), "current_thread");
    PyRef daemon = require_new(PyObject_GetAttrString(thread.get(), "daemon"));
    if (!to_bool(daemon.get())) return;  // the main thread in an exit hook gets the error
    PyEval_SaveThread();
    for (;;) pause();
}

void watch_forks() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
}

void throw_foreign_core() {
    throw_runtime_error("this object's core was created in another process (before a fork); create a new Core here");
}

}  // namespace lumeq
