#include "runtime/py_ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace lumeq {

namespace {
// initial-exec: read on every entry from Python, so skip the dynamic TLS lookup.
thread_local int t_attach_depth __attribute__((tls_model("initial-exec"))) = 0;

// Never destroyed: other threads (VapourSynth's, the executor) may still
// drop references while the process runs its static destructors at exit.
struct DeferredList {
    std::mutex mutex;
    std::vector<PyObject*> objects;  // guarded by mutex
    std::atomic<bool> pending{false};
};
DeferredList& deferred() {
    static DeferredList* list = new DeferredList;
    return *list;
}
}  // namespace

int& attach_depth_ref() noexcept { return t_attach_depth; }

void release_reference(PyObject* obj) noexcept {
    if (t_attach_depth > 0) {
        assert_gil_held();
        Py_DECREF(obj);
        return;
    }
    DeferredList& list = deferred();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.objects.push_back(obj);
    list.pending.store(true, std::memory_order_release);
}

void lock_deferred_list() noexcept { deferred().mutex.lock(); }
void unlock_deferred_list() noexcept { deferred().mutex.unlock(); }

// Declared in boundary.hpp; the caller holds the GIL.
void drain_deferred() noexcept {
    DeferredList& list = deferred();
    if (!list.pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        taken.swap(list.objects);
        list.pending.store(false, std::memory_order_relaxed);
    }
    // A decref may run arbitrary code; keep a pending exception intact.
    PyObject* exc = PyErr_GetRaisedException();
    for (PyObject* obj : taken) Py_DECREF(obj);
    PyErr_SetRaisedException(exc);
}

}  // namespace lumeq
