#include "py_ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace lumeq {

namespace {
// initial-exec: read on every entry from Python, so skip the dynamic TLS lookup.
thread_local int t_attach_depth __attribute__((tls_model("initial-exec"))) = 0;

std::mutex g_deferred_mutex;
std::vector<PyObject*> g_deferred;  // guarded by g_deferred_mutex
std::atomic<bool> g_deferred_pending{false};
}  // namespace

int& attach_depth_ref() noexcept { return t_attach_depth; }

void release_reference(PyObject* obj) noexcept {
    if (t_attach_depth > 0) {
        assert_gil_held();
        Py_DECREF(obj);
        return;
    }
    std::lock_guard<std::mutex> lock(g_deferred_mutex);
    g_deferred.push_back(obj);
    g_deferred_pending.store(true, std::memory_order_release);
}

// Declared in boundary.hpp; the caller holds the GIL.
void drain_deferred() noexcept {
    if (!g_deferred_pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> lock(g_deferred_mutex);
        taken.swap(g_deferred);
        g_deferred_pending.store(false, std::memory_order_relaxed);
    }
    // A decref may run arbitrary code; keep a pending exception intact.
    PyObject* exc = PyErr_GetRaisedException();
    for (PyObject* obj : taken) Py_DECREF(obj);
    PyErr_SetRaisedException(exc);
}

}  // namespace lumeq
