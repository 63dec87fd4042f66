// Coroutine: the awaitable Python object around a native computation, and
// the asyncio waker that resumes it from whatever thread finishes the work.
#pragma once

#include "delivery/executor.hpp"
#include "delivery/loop_waker.hpp"
#include "delivery/waker.hpp"
#include "runtime/boundary.hpp"

#include <atomic>
#include <cstdint>

#include <memory>
#include <optional>

namespace lumeq {

// Wake-up target handed to a computation at each resumption. Its loop and
// future are read and set only with the GIL held; its state is atomic, as
// it is woken from any thread, VapourSynth's included.
class AsyncioWaker final : public WakeTarget {
public:
    enum class Cell { Unset, WokenEarly, LoopAndFuture };

    // Any thread, without the GIL: queues the waker on its loop's channel
    // (or, for a loop that cannot watch a descriptor, hands it to the frame
    // executor, which completes the future through call_soon_threadsafe).
    // Only the first wake after arming counts.
    void wake() override;

    // GIL held.
    void reset() noexcept;
    // GIL held. An unset cell gets the running loop and a new future on it.
    void init_future();
    Cell cell() const noexcept;
    // GIL held, on the loop's thread: completes the future of a queued wake.
    void resolve() noexcept;
    // GIL held: the cycle collector's view of the loop and future.
    int traverse(visitproc visit, void* arg) noexcept;
    PyObject* future() const noexcept { return future_.get(); }
    // Whether the armed wake goes through the executor (the loop watches no
    // descriptor of ours).
    bool wakes_through_executor() const noexcept {
        uint8_t s = state_.load(std::memory_order_acquire);
        return s == Portable || s == PortableWoken;
    }

    // Executor thread: the portable wake, through call_soon_threadsafe.
    void wake_through_loop();

private:
    enum State : uint8_t { Unset, WokenEarly, Armed, Queued, Resolved, Portable, PortableWoken };
    std::atomic<uint8_t> state_{Unset};
    PyRef loop_;
    PyRef future_;
    // Set while the state is Unset and nobody else holds the waker; read by
    // wakes only once they see it armed.
    std::shared_ptr<LoopChannel> channel_;
    Executor* executor_ = nullptr;
};

// The waker of one resumption, made only when the computation asks for it:
// most resumptions of a frame iterator find their frame ready and need none.
class LazyWaker {
public:
    explicit LazyWaker(Shared<AsyncioWaker>& cell) noexcept : cell_(cell) {}
    LazyWaker(const LazyWaker&) = delete;
    LazyWaker& operator=(const LazyWaker&) = delete;

    const Waker& get();
    bool made() const noexcept { return static_cast<bool>(waker_); }

private:
    Shared<AsyncioWaker>& cell_;
    Waker waker_;
};

// The native computation a Coroutine drives, resumed on the Python thread
// with the GIL held.
class Computation {
public:
    virtual ~Computation() = default;
    // The result once ready; nullopt while pending (after arranging for
    // `waker.get()` to be woken). Failures are thrown.
    virtual std::optional<PyRef> resume(LazyWaker& waker) = 0;
    // The cycle collector's view of the Python objects it holds.
    virtual int traverse(visitproc, void*) noexcept { return 0; }
};

PyTypeObject* coroutine_type();

// `name` is a str or empty; `qualname_prefix` may be null.
PyRef make_coroutine(std::unique_ptr<Computation> computation, PyRef name, const char* qualname_prefix);

// Gives a finished coroutine that nobody else holds (`coroutine` is its only
// reference) a new computation, saving a new object per await; false, with
// `computation` untouched, when it cannot be reused.
bool rearm_coroutine(PyObject* coroutine, std::unique_ptr<Computation>& computation) noexcept;

// The process-wide release_waiter(future) function object.
PyObject* release_waiter_function();

}  // namespace lumeq
