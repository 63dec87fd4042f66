#include "delivery/channel.hpp"

#include <condition_variable>
#include <mutex>

namespace lumeq {

namespace detail {

// Counts of the two ends under the mutex decide when the channel closes; the
// atomic `refs` (one per end) decides when its memory goes, so that an end
// can finish notifying after its mutex section without racing the free.
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<FrameResult> slot;
    Waker listener;
    size_t senders = 1;
    size_t receivers = 1;
    bool closed = false;
    bool waiting = false;  // a receiver is parked in take_blocking
    std::atomic<size_t> refs{2};

    void release() noexcept {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
};

}  // namespace detail

std::pair<Sender, Receiver> make_channel() {
    auto* state = new detail::ChannelState();
    return {Sender(state), Receiver(state)};
}

// ------------------------------------------------------------ Sender

Sender::~Sender() {
    if (state_ == nullptr) return;
    Waker listener;
    bool parked = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (--state_->senders == 0 && !state_->closed) {
            state_->closed = true;
            listener = std::move(state_->listener);
            parked = state_->waiting;
        }
    }
    if (parked) state_->ready.notify_all();
    if (listener) listener->wake();
    state_->release();
}

Sender Sender::clone() const noexcept {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->senders;
    }
    state_->refs.fetch_add(1, std::memory_order_relaxed);
    return Sender(state_);
}

std::optional<FrameResult> Sender::send(FrameResult result) {
    Waker listener;
    bool parked = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closed || state_->slot) return result;
        state_->slot.emplace(std::move(result));
        listener = state_->listener;  // stays registered for the close
        parked = state_->waiting;
    }
    // After the mutex section (this end's reference keeps the state): woken
    // inside it, the receiver would only wait again, for the mutex.
    if (parked) state_->ready.notify_all();
    if (listener) listener->wake();
    return std::nullopt;
}

// ------------------------------------------------------------ Receiver

void Receiver::reset() noexcept {
    detail::ChannelState* state = std::exchange(state_, nullptr);
    if (state == nullptr) return;
    Waker listener;  // dropped outside the mutex
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (--state->receivers == 0) {
            state->closed = true;
            listener = std::move(state->listener);
        }
    }
    listener.reset();
    state->release();
}

Receiver Receiver::clone() const noexcept {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->receivers;
    }
    state_->refs.fetch_add(1, std::memory_order_relaxed);
    return Receiver(state_);
}

TakeStatus Receiver::try_take(std::optional<FrameResult>& out) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->slot) {
        out.emplace(std::move(*state_->slot));
        state_->slot.reset();
        return TakeStatus::Result;
    }
    return state_->closed ? TakeStatus::Closed : TakeStatus::Empty;
}

std::optional<FrameResult> Receiver::take_blocking() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    while (!state_->slot && !state_->closed) {
        state_->waiting = true;
        state_->ready.wait(lock);
    }
    state_->waiting = false;
    std::optional<FrameResult> out = std::move(state_->slot);
    state_->slot.reset();
    return out;
}

void Receiver::listen(Waker waker) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closed) return;  // nothing left to wake it for
        std::swap(state_->listener, waker);
    }
    // `waker` now holds the replaced listener, dropped here outside the mutex.
}

}  // namespace lumeq
