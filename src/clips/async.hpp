// Asynchronous frame requests: one getFrameAsync call whose outcome arrives
// through a completion channel, the FrameRequest future that the executor
// completes, and VideoNode.get_frame_async.
#pragma once

#include "delivery/channel.hpp"
#include "delivery/coroutine.hpp"
#include "delivery/executor.hpp"
#include "delivery/waker.hpp"
#include "runtime/api.hpp"
#include "runtime/args.hpp"
#include "runtime/boundary.hpp"
#include "runtime/owner.hpp"

#include <atomic>
#include <memory>
#include <optional>

namespace lumeq {

// The error text of a request whose channel closed without a result.
inline constexpr const char* kRequestCancelled = "async frame request was cancelled";

// Issues getFrameAsync for frame `n` of `node` at once and returns the
// receiving end of its channel. Never blocks and never takes the GIL. The
// caller keeps `node` and its core alive until the request has delivered.
Receiver request_frame(const NodeRef& node, int n);

struct FrameDonePayload;

// The awaiting side's share of a kept request's own references (node and
// core). Let go after the callback, they go on this thread; before it, on
// the releasing executor's thread once the callback has run.
class RequestKeep {
public:
    explicit RequestKeep(FrameDonePayload* payload) noexcept : payload_(payload) {}
    RequestKeep(RequestKeep&& other) noexcept : payload_(std::exchange(other.payload_, nullptr)) {}
    RequestKeep& operator=(RequestKeep&& other) noexcept {
        if (this != &other) {
            let_go();
            payload_ = std::exchange(other.payload_, nullptr);
        }
        return *this;
    }
    RequestKeep(const RequestKeep&) = delete;
    RequestKeep& operator=(const RequestKeep&) = delete;
    ~RequestKeep() { let_go(); }

    // Where the payload goes if the callback lets go last.
    void release_through(Executor& releaser) noexcept;

private:
    void let_go() noexcept;
    FrameDonePayload* payload_;
};

class FrameRequest;

// Completions counted across a window of requests, so that its owner knows
// how many still render without polling each one (whose channel lock the
// rendering threads contend for).
class RequestTally {
public:
    // The callback's count, made before its result is handed over.
    void count(bool failed) noexcept {
        if (failed) failed_.store(true, std::memory_order_release);
        finished_.fetch_add(1, std::memory_order_release);
    }
    // Requests finished since the last call.
    uint32_t take_finished() noexcept { return finished_.exchange(0, std::memory_order_acquire); }
    bool any_failed() const noexcept { return failed_.load(std::memory_order_acquire); }

private:
    std::atomic<uint32_t> finished_{0};
    std::atomic<bool> failed_{false};
};

// The same for a request that may be abandoned while it renders: it keeps
// its own references to `node` and `owner` until its callback has run and
// the request is dropped. VapourSynth must not lose a node or core with
// requests in flight, nor free a core from inside its callback, so a
// request dropped before its result is taken needs `releaser`; without
// one, FrameRequest::release_through must name it before that.
// A `tally`, when given, counts the request's completion.
FrameRequest request_frame_kept(const NodeRef& node, const OwnerHandle& owner, int n, Executor* releaser,
                                const std::shared_ptr<RequestTally>& tally = nullptr);

// The awaitable side of one request: polled by whoever awaits it, with the
// waker to wake when the result arrives.
class FrameRequest {
public:
    using Output = FrameResult;

    explicit FrameRequest(Receiver receiver) noexcept : receiver_(std::move(receiver)) {}
    FrameRequest(Receiver receiver, RequestKeep keep) noexcept
        : receiver_(std::move(receiver)), keep_(std::move(keep)) {}
    FrameRequest(FrameRequest&&) noexcept = default;
    FrameRequest& operator=(FrameRequest&&) noexcept = default;

    // The result, or the cancellation text if the channel closed empty;
    // otherwise nullopt with `waker` listening on the channel.
    std::optional<FrameResult> poll(LazyWaker& waker);
    // Never blocks. On TakeStatus::Result the result is moved into `out`.
    TakeStatus try_take(std::optional<FrameResult>& out) { return receiver_.try_take(out); }
    // Blocks until the result, or the cancellation text if the channel
    // closed empty. The caller must not hold the GIL.
    FrameResult wait();
    void release_through(Executor& releaser) noexcept {
        if (keep_) keep_->release_through(releaser);
    }

private:
    Receiver receiver_;
    std::optional<RequestKeep> keep_;
};

// VideoNode.get_frame_async and AudioNode.get_frame_async
extern const Signature get_frame_async_signature;
extern const Signature audio_get_frame_async_signature;
PyRef node_get_frame_async(PyObject* self, const Args& args);

}  // namespace lumeq
