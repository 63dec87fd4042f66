#include "async.hpp"

#include "frame.hpp"
#include "node.hpp"

#include <memory>
#include <string>

namespace lumeq {

// ------------------------------------------------------------ the request

namespace {

// The callback's user data. The callback owns it: it drops the sending end
// (closing the channel) before it returns, and frees the rest itself or,
// when the payload keeps the clip alive, hands it to the executor thread.
struct FrameDonePayload final : Runnable {
    std::optional<Sender> sender;
    const VSAPI* api;
    Executor* releaser = nullptr;
    // Declared node last so it is freed before the owner (the core).
    OwnerHandle owner;
    NodeRef node;

    FrameDonePayload(Sender s, const VSAPI* a) noexcept : sender(std::move(s)), api(a) {}
    void run() override { delete this; }  // on the executor thread
};

// Runs on a VapourSynth worker thread (or inside getFrameAsync itself). It
// touches only the channel and the payload, never Python.
void VS_CC frame_done(void* user_data, const VSFrame* frame, int, VSNode*, const char* error) noexcept {
    auto* payload = static_cast<FrameDonePayload*>(user_data);
    {
        FrameResult result = frame != nullptr
                                 ? FrameResult(std::in_place_type<FrameRef>, frame, payload->api)
                                 : FrameResult(std::in_place_type<std::string>, error != nullptr ? error : "");
        // A result nobody can receive any more comes back and is freed here.
        payload->sender->send(std::move(result));
    }
    payload->sender.reset();
    if (payload->releaser != nullptr)
        payload->releaser->defer(payload);
    else
        delete payload;
}

Receiver issue(FrameDonePayload* payload, Receiver receiver, const NodeRef& node, int n) {
    node.api()->getFrameAsync(n, node.get(), frame_done, payload);
    return receiver;
}

}  // namespace

Receiver request_frame(const NodeRef& node, int n) {
    auto [sender, receiver] = make_channel();
    auto* payload = new FrameDonePayload(std::move(sender), node.api());
    return issue(payload, std::move(receiver), node, n);
}

Receiver request_frame_kept(const NodeRef& node, const OwnerHandle& owner, int n, Executor& releaser) {
    auto [sender, receiver] = make_channel();
    auto* payload = new FrameDonePayload(std::move(sender), node.api());
    payload->releaser = &releaser;
    payload->owner = owner.clone();
    payload->node = node.clone();
    return issue(payload, std::move(receiver), node, n);
}

std::optional<FrameResult> FrameRequest::poll(const Waker& waker) {
    std::optional<FrameResult> result;
    TakeStatus status = receiver_.try_take(result);
    if (status == TakeStatus::Empty && !listening_) {
        receiver_.listen(waker);
        listening_ = true;
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

// ------------------------------------------------------------ get_frame_async

namespace {

// The computation behind one get_frame_async coroutine. `n` is converted
// only when it is first resumed.
class GetFrameAsync final : public Computation {
public:
    GetFrameAsync(PyRef clip, PyRef n) noexcept : clip_(std::move(clip)), n_(std::move(n)) {}

    std::optional<PyRef> resume(const Waker& waker) override {
        ClipParts data = clip_parts(clip_.get());
        if (!task_) {
            int32_t n = convert_named("n", n_.get(), to_i32);
            Executor& executor = frame_executor();
            task_.emplace(executor.spawn(FrameRequest(request_frame_kept(data.node, data.owner, n, executor))));
        }
        std::optional<FrameResult> result = task_->poll(waker);
        if (!result) return std::nullopt;
        task_.reset();
        if (auto* frame = std::get_if<FrameRef>(&*result)) return data.wrap_frame(std::move(*frame));
        throw_vs_error(std::get<std::string>(*result));
    }

private:
    // Destroyed in reverse order: the task handle (cancelling the request)
    // before the Python references.
    PyRef clip_;
    PyRef n_;
    std::optional<TaskHandle<FrameResult>> task_;
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
