// The one-result completion channel that carries a rendered frame (or its
// error text) from VapourSynth's frame-done callback to whoever waits for it.
#pragma once

#include "delivery/waker.hpp"
#include "runtime/api.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace lumeq {

// A rendered frame, or the error text VapourSynth reported instead. Dropping
// it frees whatever it holds.
using FrameResult = std::variant<FrameRef, std::string>;

namespace detail {
struct ChannelState;
}

enum class TakeStatus { Result, Empty, Closed };

// The sending end. The channel closes when the last sending end goes.
class Sender {
public:
    Sender(Sender&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    Sender& operator=(Sender&&) = delete;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender();

    Sender clone() const noexcept;
    // Puts the result in and wakes the receiver. Gives the result back when
    // the slot is already full or the channel is closed.
    std::optional<FrameResult> send(FrameResult result);

private:
    friend std::pair<Sender, class Receiver> make_channel();
    explicit Sender(detail::ChannelState* state) noexcept : state_(state) {}
    detail::ChannelState* state_;
};

// The receiving end. The channel closes when the last receiving end goes.
class Receiver {
public:
    Receiver(Receiver&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            reset();
            state_ = std::exchange(other.state_, nullptr);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { reset(); }

    Receiver clone() const noexcept;
    // Never blocks. On TakeStatus::Result the result is moved into `out`.
    TakeStatus try_take(std::optional<FrameResult>& out);
    // Blocks until a result arrives (returned) or the channel closes empty
    // (nullopt). The caller must not hold the GIL.
    std::optional<FrameResult> take_blocking();
    // Stores the waker to wake when a result arrives and when the channel
    // closes; replaces any earlier one.
    void listen(Waker waker);

private:
    friend std::pair<Sender, Receiver> make_channel();
    explicit Receiver(detail::ChannelState* state) noexcept : state_(state) {}
    void reset() noexcept;
    detail::ChannelState* state_;
};

// A new open channel with one sending and one receiving end.
std::pair<Sender, Receiver> make_channel();

}  // namespace lumeq
