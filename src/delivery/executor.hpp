// FRAME_EXECUTOR: one detached background thread that runs small tasks in
// the order they were scheduled. Tasks are woken from any thread; dropping a
// task's handle before its output is taken cancels it.
#pragma once

#include "delivery/waker.hpp"
#include "runtime/boundary.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace lumeq {

class Executor;

// Task state bits, changed only by atomic operations on TaskHeader::state.
namespace task_state {
constexpr uint32_t scheduled = 1u << 0;  // a runnable entry is queued (or about to be)
constexpr uint32_t running = 1u << 1;    // the executor thread is polling it
constexpr uint32_t completed = 1u << 2;  // the output is in the slot
constexpr uint32_t closed = 1u << 3;     // cancelled, or output taken
constexpr uint32_t handle = 1u << 4;     // the spawner's handle still exists
constexpr uint32_t awaiter = 1u << 5;    // a waker of the awaiting side is stored
}  // namespace task_state

// An entry of the run queue, run once by the executor thread.
class Runnable {
public:
    Runnable() noexcept = default;
    Runnable(const Runnable&) = delete;
    Runnable& operator=(const Runnable&) = delete;
    // Consumes the entry.
    virtual void run() = 0;

protected:
    ~Runnable() = default;

private:
    friend class Executor;
    Runnable* next_runnable_ = nullptr;  // guarded by the executor's queue mutex
};

// The type-independent part of a task. Its references: the handle, each
// queued runnable entry, the entry in the executor's active list, and every
// Waker of it (the task is its own waker).
class TaskHeader : public WakeTarget, public Runnable {
public:
    // Schedules the task unless it is scheduled, completed or closed; while
    // it runs, it is polled once more after the current poll.
    void wake() override;

    uint32_t state_bits() const noexcept { return state_.load(std::memory_order_acquire); }

protected:
    explicit TaskHeader(Executor& executor) noexcept;

    // Polls the future once; true when it is ready and its output stored.
    virtual bool poll_future(const Waker& self) = 0;
    virtual void store_fault(InternalFault fault) noexcept = 0;
    virtual void drop_future() noexcept = 0;
    virtual void drop_output() noexcept = 0;

    // The handle side (the spawner's thread).
    bool try_claim_output();  // false while not completed
    void register_awaiter(const Waker& awaiter);
    void drop_handle() noexcept;

private:
    friend class Executor;
    void run() override;  // executor thread; consumes one runnable reference
    void finish_future() noexcept;
    Waker take_awaiter() noexcept;

    Executor& executor_;
    std::atomic<uint32_t> state_;
    TaskHeader* prev_active_ = nullptr;    // guarded by the executor's active mutex
    TaskHeader* next_active_ = nullptr;
    bool in_active_ = false;
    std::mutex awaiter_mutex_;
    Waker awaiter_;  // guarded by awaiter_mutex_
};

// The part that knows the output type.
template <class Output>
class TaskCore : public TaskHeader {
public:
    using Outcome = std::variant<Output, InternalFault>;

    // The awaiting side: the output once completed (an internal fault stored
    // as output is thrown here); otherwise registers `awaiter` and nullopt.
    std::optional<Output> poll_handle(const Waker& awaiter) {
        if (!try_claim_output()) {
            register_awaiter(awaiter);
            // The completion may have happened before the awaiter was seen.
            if (!try_claim_output()) return std::nullopt;
        }
        Outcome outcome = std::move(*output_);
        output_.reset();
        if (auto* fault = std::get_if<InternalFault>(&outcome)) throw std::move(*fault);
        return std::move(std::get<Output>(outcome));
    }
    void release_handle() noexcept { drop_handle(); }

protected:
    using TaskHeader::TaskHeader;
    void store_fault(InternalFault fault) noexcept override { output_.emplace(std::move(fault)); }
    void drop_output() noexcept override { output_.reset(); }
    std::optional<Outcome> output_;
};

// A spawned future F: F::Output, std::optional<F::Output> F::poll(const Waker&).
template <class F>
class Task final : public TaskCore<typename F::Output> {
public:
    Task(Executor& executor, F&& future) : TaskCore<typename F::Output>(executor), future_(std::move(future)) {}

private:
    bool poll_future(const Waker& self) override {
        std::optional<typename F::Output> out = future_->poll(self);
        if (!out) return false;
        future_.reset();
        this->output_.emplace(std::move(*out));
        return true;
    }
    void drop_future() noexcept override { future_.reset(); }
    std::optional<F> future_;
};

// Held by the spawner. Dropping it before the output is taken cancels the
// task; dropping it after completion drops an untaken output.
template <class Output>
class TaskHandle {
public:
    explicit TaskHandle(TaskCore<Output>* task) noexcept : task_(task) {}
    TaskHandle(TaskHandle&& other) noexcept : task_(std::exchange(other.task_, nullptr)) {}
    TaskHandle& operator=(TaskHandle&&) = delete;
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    ~TaskHandle() {
        if (task_ != nullptr) task_->release_handle();
    }

    std::optional<Output> poll(const Waker& awaiter) { return task_->poll_handle(awaiter); }
    uint32_t state_bits() const noexcept { return task_->state_bits(); }

private:
    TaskCore<Output>* task_;
};

class Executor {
public:
    Executor() = default;
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Creates the task, lists it as active and schedules its first poll,
    // which happens on the executor thread.
    template <class F>
    TaskHandle<typename F::Output> spawn(F future) {
        auto* task = new Task<F>(*this, std::move(future));  // its one reference is the handle's
        add_active(task);
        task->retain();
        push(task);
        return TaskHandle<typename F::Output>(task);
    }

    // Queues `job` to run on the executor thread after what is queued now;
    // callable from any thread, also one without the GIL.
    void defer(Runnable* job) { push(job); }

    // The loop of the executor thread; never returns.
    [[noreturn]] void run_forever();

    // Number of spawned tasks whose future has not been dropped yet.
    size_t active_count();

private:
    friend class TaskHeader;
    static void run_entry(Runnable* entry);
    void push(Runnable* entry);  // a task entry carries one task reference
    void add_active(TaskHeader* task);
    void remove_active(TaskHeader* task) noexcept;

    // Run queue and sleep bookkeeping share one mutex, held only to update.
    std::mutex queue_mutex_;
    Runnable* head_ = nullptr;
    Runnable* tail_ = nullptr;
    bool sleeping_ = false;
    bool notified_ = false;
    std::condition_variable wake_up_;

    std::mutex active_mutex_;
    TaskHeader* active_head_ = nullptr;
    size_t active_count_ = 0;
};

// The process-wide executor, started on first use. A failed start is an
// internal fault now and on every later use.
Executor& frame_executor();

// Starts a thread running `executor.run_forever()` with the given name and
// the usual 2 MiB stack; returns the OS error text on failure.
std::optional<std::string> start_executor_thread(Executor& executor, const char* name);

}  // namespace lumeq
