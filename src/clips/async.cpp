#include "clips/async.hpp"

#include "clips/clip.hpp"
#include "runtime/args.hpp"

#include <atomic>
#include <memory>
#include <string>

namespace lumeq {

// ------------------------------------------------------------ the request

// The callback's user data. The callback takes the sending end out before
// it lets go. A kept request's payload is shared with the awaiting side:
// whichever lets go last frees it; when that is the callback, it goes to the
// releasing executor's thread, as VapourSynth must not free a core from
// inside its own callback.
struct FrameDonePayload final : Runnable {
    std::optional<Sender> sender;
    const VSAPI* api;
    // Set before the awaiting side can let go first; read by the callback
    // only after it has.
    std::atomic<Executor*> releaser{nullptr};
    std::atomic<int> holders{1};
    std::shared_ptr<RequestTally> tally;
    // Declared node last so it is freed before the owner (the core).
    OwnerHandle owner;
    NodeRef node;

    FrameDonePayload(Sender s, const VSAPI* a) noexcept : sender(std::move(s)), api(a) {}
    void run() override { delete this; }  // on the executor thread
};

namespace {

// Runs on a VapourSynth worker thread (or inside getFrameAsync itself). It
// touches only the channel and the payload, never Python.
void VS_CC frame_done(void* user_data, const VSFrame* frame, int, VSNode*, const char* error) noexcept {
    auto* payload = static_cast<FrameDonePayload*>(user_data);
    const VSAPI* api = payload->api;
    if (payload->tally) payload->tally->count(frame == nullptr);
    Sender sender = std::move(*payload->sender);
    payload->sender.reset();
    // Let go before waking: the woken side, often running before this thread
    // continues, then frees the payload itself instead of leaving it to the
    // executor thread, which would be woken for every frame.
    if (payload->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (!payload->owner) {
            delete payload;  // a plain request: its caller keeps node and core
        } else {
            // Nobody is left to receive it: the frame goes before the
            // payload, whose owner may hold the core's last reference.
            if (frame != nullptr) api->freeFrame(frame);
            if (Executor* releaser = payload->releaser.load(std::memory_order_acquire)) releaser->defer(payload);
            return;
        }
    }
    FrameResult result = frame != nullptr ? FrameResult(std::in_place_type<FrameRef>, frame, api)
                                          : FrameResult(std::in_place_type<std::string>, error != nullptr ? error : "");
    // A result nobody can receive any more comes back and is freed here.
    sender.send(std::move(result));
}

Receiver issue(FrameDonePayload* payload, Receiver receiver, const NodeRef& node, int n) {
    node.api()->getFrameAsync(n, node.get(), frame_done, payload);
    return receiver;
}

}  // namespace

void RequestKeep::let_go() noexcept {
    FrameDonePayload* payload = std::exchange(payload_, nullptr);
    if (payload != nullptr && payload->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete payload;
}

Receiver request_frame(const NodeRef& node, int n) {
    auto [sender, receiver] = make_channel();
    auto* payload = new FrameDonePayload(std::move(sender), node.api());
    return issue(payload, std::move(receiver), node, n);
}

void RequestKeep::release_through(Executor& releaser) noexcept {
    payload_->releaser.store(&releaser, std::memory_order_release);
}

FrameRequest request_frame_kept(const NodeRef& node, const OwnerHandle& owner, int n, Executor* releaser,
                                const std::shared_ptr<RequestTally>& tally) {
    auto [sender, receiver] = make_channel();
    auto* payload = new FrameDonePayload(std::move(sender), node.api());
    payload->tally = tally;
    payload->releaser.store(releaser, std::memory_order_relaxed);
    payload->owner = owner.clone();
    payload->node = node.clone();
    payload->holders.store(2, std::memory_order_relaxed);
    RequestKeep keep(payload);
    return FrameRequest(issue(payload, std::move(receiver), node, n), std::move(keep));
}

std::optional<FrameResult> FrameRequest::poll(LazyWaker& waker) {
    std::optional<FrameResult> result;
    TakeStatus status = receiver_.try_take(result);
    if (status == TakeStatus::Empty) {
        // Each resumption of a coroutine may bring a new waker; the latest one listens.
        receiver_.listen(waker.get());
        // A result that arrived before the listener was in place.
        status = receiver_.try_take(result);
    }
    switch (status) {
        case TakeStatus::Result:
            return result;
        case TakeStatus::Closed:
            return FrameResult(std::in_place_type<std::string>, kRequestCancelled);
        case TakeStatus::Empty:
            break;
    }
    return std::nullopt;
}

FrameResult FrameRequest::wait() {
    std::optional<FrameResult> result = receiver_.take_blocking();
    if (result) return std::move(*result);
    return FrameResult(std::in_place_type<std::string>, kRequestCancelled);
}

// ------------------------------------------------------------ get_frame_async

namespace {

// The computation behind one get_frame_async coroutine. `n` is converted
// only when it is first resumed.
class GetFrameAsync final : public Computation {
public:
    GetFrameAsync(PyRef clip, PyRef n) noexcept : clip_(std::move(clip)), n_(std::move(n)) {}

    std::optional<PyRef> resume(LazyWaker& waker) override {
        ClipParts data = clip_parts(clip_.get());
        // A request made before a fork is never answered in the child.
        if (!data.node.in_this_process()) throw_foreign_core();
        if (!request_) {
            int32_t n = convert_named("n", n_.get(), to_i32);
            request_.emplace(request_frame_kept(data.node, data.owner, n, &frame_executor()));
        }
        // The channel wakes the coroutine's waker straight from VapourSynth's
        // thread: that wake runs no Python, so no thread hop is needed.
        std::optional<FrameResult> result = request_->poll(waker);
        if (!result) return std::nullopt;
        request_.reset();
        if (auto* frame = std::get_if<FrameRef>(&*result)) return data.wrap_frame(std::move(*frame));
        throw_vs_error(std::get<std::string>(*result));
    }

private:
    // Destroyed in reverse order: the request (cancelling it) before the
    // Python references.
    PyRef clip_;
    PyRef n_;
    std::optional<FrameRequest> request_;
};

PyObject* get_frame_async_name() {
    static GilOnceCell<PyObject*> name;
    return name.get([] { return require(PyUnicode_InternFromString("get_frame_async")); });
}

}  // namespace

const Signature get_frame_async_signature{"VideoNode.get_frame_async", {"n"}, 1, 0, 1};
const Signature audio_get_frame_async_signature{"AudioNode.get_frame_async", {"n"}, 1, 0, 1};

PyRef node_get_frame_async(PyObject* self, const Args& args) {
    auto body = std::make_unique<GetFrameAsync>(PyRef::borrow(self), PyRef::borrow(args[0]));
    return make_coroutine(std::move(body), PyRef::borrow(get_frame_async_name()), clip_parts(self).audio ? "AudioNode" : "VideoNode");
}

}  // namespace lumeq
