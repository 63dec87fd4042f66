#include "delivery/executor.hpp"

#include "runtime/process.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace lumeq {

using namespace task_state;

// ------------------------------------------------------------ TaskHeader

TaskHeader::TaskHeader(Executor& executor) noexcept : executor_(executor), state_(scheduled | handle) {}

void TaskHeader::wake() {
    uint32_t s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & (completed | closed | scheduled)) return;
        if (state_.compare_exchange_weak(s, s | scheduled, std::memory_order_acq_rel, std::memory_order_acquire)) {
            // A running task is queued again by run() once its poll ends.
            if (!(s & running)) {
                retain();
                executor_.push(this);
            }
            return;
        }
    }
}

void TaskHeader::finish_future() noexcept {
    drop_future();
    executor_.remove_active(this);
}

Waker TaskHeader::take_awaiter() noexcept {
    std::lock_guard<std::mutex> lock(awaiter_mutex_);
    state_.fetch_and(~awaiter, std::memory_order_acq_rel);
    return std::move(awaiter_);
}

void TaskHeader::run() {
    uint32_t s = state_.load(std::memory_order_acquire);
    for (;;) {
        if (s & closed) {
            // Cancelled before this poll: the future goes without a poll.
            state_.fetch_and(~scheduled, std::memory_order_acq_rel);
            finish_future();
            release();
            return;
        }
        if (state_.compare_exchange_weak(s, (s & ~scheduled) | running, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
            break;
    }

    bool ready = false;
    {
        Waker self = Waker::share(this);
        try {
            ready = poll_future(self);
        } catch (InternalFault& fault) {
            store_fault(std::move(fault));
            ready = true;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // Any other escape would leave the task running for ever.
            store_fault(InternalFault{"unexpected exception while polling a task"});
            ready = true;
        }
    }

    if (!ready) {
        s = state_.load(std::memory_order_acquire);
        for (;;) {
            uint32_t next = s & ~running;
            if (s & closed) next &= ~scheduled;
            if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) break;
        }
        if (s & closed) {
            finish_future();
            release();
        } else if (s & scheduled) {
            executor_.push(this);  // woken during the poll; this reference moves to the new entry
        } else {
            release();
        }
        return;
    }

    finish_future();
    s = state_.load(std::memory_order_acquire);
    while (!state_.compare_exchange_weak(s, (s & ~(running | scheduled)) | completed, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
    }
    if (s & closed) {
        // The handle went while the task ran: nobody will take the output.
        drop_output();
        release();
        return;
    }
    Waker awaiting = take_awaiter();
    release();
    if (awaiting) awaiting->wake();
}

bool TaskHeader::try_claim_output() {
    uint32_t s = state_.load(std::memory_order_acquire);
    if (!(s & completed)) return false;
    if (s & closed) internal_fault("Task polled after completion");
    state_.fetch_or(closed, std::memory_order_acq_rel);
    return true;
}

void TaskHeader::register_awaiter(const Waker& waiting) {
    Waker previous;
    {
        std::lock_guard<std::mutex> lock(awaiter_mutex_);
        previous = std::exchange(awaiter_, waiting);
        state_.fetch_or(awaiter, std::memory_order_acq_rel);
    }
}

void TaskHeader::drop_handle() noexcept {
    uint32_t s = state_.load(std::memory_order_acquire);
    uint32_t next = 0;
    for (;;) {
        next = (s | closed) & ~handle;
        // Not yet completed and idle: queue it so the executor thread drops
        // its future.
        if (!(s & (completed | scheduled | running))) next |= scheduled;
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) break;
    }
    if (s & completed) {
        if (!(s & closed)) drop_output();
    } else if ((next & scheduled) && !(s & scheduled)) {
        retain();
        executor_.push(this);
    }
    take_awaiter().reset();
    release();
}

// ------------------------------------------------------------ Executor

void Executor::push(Runnable* entry) {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        entry->next_runnable_ = nullptr;
        if (tail_ != nullptr)
            tail_->next_runnable_ = entry;
        else
            head_ = entry;
        tail_ = entry;
        notify = sleeping_ && !notified_;
        if (notify) notified_ = true;
    }
    if (notify) wake_up_.notify_one();
}

void Executor::add_active(TaskHeader* task) {
    task->retain();
    std::lock_guard<std::mutex> lock(active_mutex_);
    task->prev_active_ = nullptr;
    task->next_active_ = active_head_;
    if (active_head_ != nullptr) active_head_->prev_active_ = task;
    active_head_ = task;
    task->in_active_ = true;
    ++active_count_;
}

void Executor::remove_active(TaskHeader* task) noexcept {
    {
        std::lock_guard<std::mutex> lock(active_mutex_);
        if (!task->in_active_) return;
        if (task->prev_active_ != nullptr)
            task->prev_active_->next_active_ = task->next_active_;
        else
            active_head_ = task->next_active_;
        if (task->next_active_ != nullptr) task->next_active_->prev_active_ = task->prev_active_;
        task->in_active_ = false;
        --active_count_;
    }
    task->release();
}

size_t Executor::active_count() {
    std::lock_guard<std::mutex> lock(active_mutex_);
    return active_count_;
}

// The executor thread's entry for one queued entry: nothing may escape into
// the loop, so a fault is reported and the thread goes on with the next one.
void Executor::run_entry(Runnable* entry) {
    try {
        entry->run();
    } catch (abi::__forced_unwind&) {
        throw;  // the interpreter is ending this thread at shutdown
    } catch (const InternalFault& fault) {
        std::fprintf(stderr, "lumeq: internal fault on the frame executor thread: %s\n", fault.text.c_str());
    } catch (...) {
        std::fputs("lumeq: internal fault on the frame executor thread\n", stderr);
    }
}

void Executor::run_forever() {
    for (;;) {
        Runnable* entry = nullptr;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            while (head_ == nullptr) {
                sleeping_ = true;
                wake_up_.wait(lock);
            }
            sleeping_ = false;
            notified_ = false;
            entry = head_;
            head_ = entry->next_runnable_;
            if (head_ == nullptr) tail_ = nullptr;
        }
        run_entry(entry);
    }
}

// ------------------------------------------------------------ the thread

namespace {

struct ThreadStart {
    Executor* executor;
    char name[16];  // the Linux limit: 15 bytes and the NUL
};

extern "C" void* executor_thread_main(void* arg) {
    auto* start = static_cast<ThreadStart*>(arg);
    Executor* executor = start->executor;
    pthread_setname_np(pthread_self(), start->name);
    delete start;
    executor->run_forever();
}

constexpr size_t kStackSize = 2 * 1024 * 1024;

}  // namespace

std::optional<std::string> start_executor_thread(Executor& executor, const char* name) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return std::string(std::strerror(rc));
    size_t stack = std::max<size_t>(kStackSize, static_cast<size_t>(PTHREAD_STACK_MIN));
    rc = pthread_attr_setstacksize(&attr, stack);
    if (rc == EINVAL) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        stack = (stack + page - 1) / page * page;
        rc = pthread_attr_setstacksize(&attr, stack);
    }
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) {
        auto* start = new ThreadStart{&executor, {}};
        std::strncpy(start->name, name, sizeof start->name - 1);
        // Signals stay with the interpreter's threads: the new thread starts
        // with all of them blocked.
        sigset_t all, saved;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved);
        pthread_t thread;
        rc = pthread_create(&thread, &attr, executor_thread_main, start);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        if (rc != 0) delete start;
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) return std::string(std::strerror(rc));
    return std::nullopt;
}

Executor& frame_executor() {
    // Guarded by the GIL; starting runs no Python. The executor is never
    // freed: its thread lives until the process ends. A child of fork()
    // has no such thread, so it starts its own; the parent's executor is
    // left untouched (its locks may be held by threads that stayed behind).
    struct Started {
        Executor* executor;
        std::string error;
        uint32_t generation;
    };
    static Started* started = nullptr;
    bool ran_start = false;
    if (started == nullptr || started->generation != process_generation()) {
        ran_start = true;
        auto* executor = new Executor();
        std::string error;
        if (std::optional<std::string> failure = start_executor_thread(*executor, "lumeq-frame-async")) {
            delete executor;  // the thread never started, so nothing else refers to it
            executor = nullptr;
            error = "failed to spawn lumeq frame executor thread: " + *failure;
        }
        started = new Started{executor, std::move(error), process_generation()};
    }
    if (started->executor == nullptr) {
        if (ran_start) internal_fault(started->error);
        internal_fault("the lumeq frame executor failed to start earlier and is not started again (" + started->error +
                       ")");
    }
    return *started->executor;
}

}  // namespace lumeq
