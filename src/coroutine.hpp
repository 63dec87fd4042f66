// Coroutine: the awaitable Python object around a native computation, and
// the asyncio waker that resumes it from whatever thread finishes the work.
#pragma once

#include "boundary.hpp"
#include "waker.hpp"

#include <memory>
#include <optional>

namespace lumeq {

// Wake-up target handed to a computation at each resumption. Its cell is
// read and set only with the GIL held; it is set at most once per reset.
class AsyncioWaker final : public WakeTarget {
public:
    enum class Cell { Unset, WokenEarly, LoopAndFuture };

    // Any thread: takes the GIL and arranges for the loop to complete the
    // future through release_waiter.
    void wake() override;

    // GIL held.
    void reset() noexcept;
    // GIL held. An unset cell gets the running loop and a new future on it.
    void init_future();
    Cell cell() const noexcept { return cell_; }
    PyObject* future() const noexcept { return future_.get(); }

private:
    Cell cell_ = Cell::Unset;
    PyRef loop_;
    PyRef future_;
};

// The native computation a Coroutine drives, resumed on the Python thread
// with the GIL held.
class Computation {
public:
    virtual ~Computation() = default;
    // The result once ready; nullopt while pending (after arranging for
    // `waker` to be woken). Failures are thrown.
    virtual std::optional<PyRef> resume(const Waker& waker) = 0;
};

PyTypeObject* coroutine_type();

// `name` is a str or empty; `qualname_prefix` may be null.
PyRef make_coroutine(std::unique_ptr<Computation> computation, PyRef name, const char* qualname_prefix);

// The process-wide release_waiter(future) function object.
PyObject* release_waiter_function();

}  // namespace lumeq
