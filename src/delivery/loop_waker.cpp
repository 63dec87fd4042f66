#include "delivery/loop_waker.hpp"

#include "runtime/process.hpp"

#include "delivery/coroutine.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <unordered_map>

namespace lumeq {

LoopChannel::~LoopChannel() { ::close(fd_); }

bool LoopChannel::push(Shared<AsyncioWaker> waker) {
    bool signal = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        signal = queue_.empty();
        queue_.push_back(std::move(waker));
    }
    // One write per batch: the loop takes the whole queue when it reads.
    if (signal) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);  // fails only when the counter is full
    }
    return true;
}

std::vector<Shared<AsyncioWaker>> LoopChannel::take() {
    std::vector<Shared<AsyncioWaker>> taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(queue_);
    return taken;
}

void LoopChannel::drain() {
    // Read before taking: a push after the take writes again, so none is missed.
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
    for (Shared<AsyncioWaker>& waker : take()) waker->resolve();
}

void LoopChannel::close() {
    std::vector<Shared<AsyncioWaker>> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(queue_);
    // The queued wakers hold this channel; they go after the lock (declared first).
}

namespace {

// The loops watched so far, by address; an entry leaves when its loop dies.
// GIL-guarded, never destroyed. A child of fork() starts a new table: the
// parent's channels may be locked by threads that stayed behind, and their
// descriptors are shared with the parent.
struct Watched {
    PyRef weakref;
    std::shared_ptr<LoopChannel> channel;  // null: the loop cannot watch a descriptor
};
using WatchedLoops = std::unordered_map<PyObject*, Watched>;
WatchedLoops& watched_loops() {
    static auto* loops = new WatchedLoops();
    static uint32_t generation = process_generation();
    if (generation != process_generation()) {
        loops = new WatchedLoops();  // the parent's table is left as it was
        generation = process_generation();
    }
    return *loops;
}

LoopChannel& channel_of(PyObject* capsule) {
    return **static_cast<std::shared_ptr<LoopChannel>*>(PyCapsule_GetPointer(capsule, "lumeq.LoopChannel"));
}

PyRef drain_loop_channel(PyObject* capsule) {
    channel_of(capsule).drain();
    return PyRef::none();
}

PyMethodDef drain_def = {"_resolve_frame_wakes", method_noargs<drain_loop_channel>, METH_NOARGS, nullptr};

PyRef forget_loop(PyObject* address, PyObject*) {
    auto& loops = watched_loops();
    auto it = loops.find(static_cast<PyObject*>(PyLong_AsVoidPtr(address)));
    if (it == loops.end()) return PyRef::none();
    Watched gone = std::move(it->second);
    loops.erase(it);
    if (gone.channel) gone.channel->close();
    return PyRef::none();
}

PyMethodDef forget_def = {"_forget_loop", binary_slot<forget_loop>, METH_O, nullptr};

void delete_channel_capsule(PyObject* capsule) noexcept {
    delete static_cast<std::shared_ptr<LoopChannel>*>(PyCapsule_GetPointer(capsule, "lumeq.LoopChannel"));
}

// A new channel whose descriptor `loop` watches, or null if it cannot.
std::shared_ptr<LoopChannel> watch(PyObject* loop) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    auto channel = std::make_shared<LoopChannel>(fd);
    PyRef capsule = require_new(PyCapsule_New(new std::shared_ptr<LoopChannel>(channel), "lumeq.LoopChannel",
                                              delete_channel_capsule));
    PyRef drain = require_new(PyCFunction_NewEx(&drain_def, capsule.get(), nullptr));
    PyRef fd_object = py_int(fd);
    PyObject* argv[] = {loop, fd_object.get(), drain.get()};
    PyRef handle = PyRef::steal(
        PyObject_VectorcallMethod(interned("add_reader"), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (handle) return channel;
    // A loop without descriptor watching (NotImplementedError, or any other
    // ordinary error) is woken the portable way; anything else propagates.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    PyErr_Clear();
    return nullptr;
}

}  // namespace

std::shared_ptr<LoopChannel> LoopChannel::for_loop(PyObject* loop) {
    auto& loops = watched_loops();
    if (auto it = loops.find(loop); it != loops.end()) return it->second.channel;
    PyRef address = require_new(PyLong_FromVoidPtr(loop));
    PyRef forget = require_new(PyCFunction_NewEx(&forget_def, address.get(), nullptr));
    PyRef weakref = PyRef::steal(PyWeakref_NewRef(loop, forget.get()));
    if (!weakref) {
        // A loop that takes no weak references cannot tell us when it goes.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
        PyErr_Clear();
        return nullptr;
    }
    std::shared_ptr<LoopChannel> channel = watch(loop);
    loops[loop] = Watched{std::move(weakref), channel};
    return channel;
}

}  // namespace lumeq
