#include "frame_iter.hpp"

#include "async.hpp"
#include "frame.hpp"
#include "node.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace lumeq {
namespace {

// One position of the window: pending (the request's receiving end) or
// ready (its result).
using Slot = std::variant<Receiver, FrameResult>;

// The window: a ring that grows on demand and never beyond `limit` slots.
class Window {
public:
    bool empty() const noexcept { return size_ == 0; }
    size_t size() const noexcept { return size_; }
    Slot& operator[](size_t i) noexcept { return *ring_[(head_ + i) % ring_.size()]; }

    void push_back(Slot slot, size_t limit) {
        if (size_ == ring_.size()) grow(limit);
        ring_[(head_ + size_) % ring_.size()].emplace(std::move(slot));
        ++size_;
    }
    Slot pop_front() noexcept {
        Slot slot = std::move(*ring_[head_]);
        ring_[head_].reset();
        head_ = (head_ + 1) % ring_.size();
        --size_;
        return slot;
    }

private:
    void grow(size_t limit) {
        size_t capacity = std::min(std::max<size_t>(ring_.size() * 2, 8), std::max(limit, size_ + 1));
        std::vector<std::optional<Slot>> bigger(capacity);
        for (size_t i = 0; i < size_; ++i) bigger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
        ring_ = std::move(bigger);
        head_ = 0;
    }
    std::vector<std::optional<Slot>> ring_;
    size_t head_ = 0;
    size_t size_ = 0;
};

struct IterState {
    Window slots;
    int32_t next = 0;  // the next frame number to request
    bool failed = false;
};

// What one __next__ produced, handed from the GIL-free part to the rest.
struct Step {
    enum class Kind { End, Frame, Error } kind = Kind::End;
    FrameRef frame;
    std::string error;
};

FrameResult wait_for(Receiver& receiver) {
    std::optional<FrameResult> result = receiver.take_blocking();
    if (result) return std::move(*result);
    return FrameResult(std::in_place_type<std::string>, kRequestCancelled);
}

// Destroyed in reverse order after the drain: the node, the owner, then the
// window's storage.
struct PyFrameIter {
    IterState state;  // guarded by `mutex`
    std::mutex mutex;  // held across the blocking wait; callbacks never take it
    const size_t prefetch;
    const size_t backlog;
    const int32_t num_frames;
    const bool audio;
    OwnerHandle owner;
    NodeRef node;

    PyFrameIter(OwnerHandle o, NodeRef n, size_t p, size_t b, int32_t frames, bool is_audio) noexcept
        : prefetch(p), backlog(b), num_frames(frames), audio(is_audio), owner(std::move(o)), node(std::move(n)) {}
    PyFrameIter(const PyFrameIter&) = delete;
    PyFrameIter& operator=(const PyFrameIter&) = delete;
    // Runs in dealloc, with the GIL: the drain needs no Python, so other
    // threads run while in-flight frames finish.
    ~PyFrameIter() {
        if (!node.in_this_process()) return;  // the parent's requests never finish here
        ReleaseGil unlocked;
        std::lock_guard<std::mutex> lock(mutex);
        drain();
    }

    // Notices finished requests and issues new ones; never blocks.
    void top_up() {
        if (state.failed) return;
        size_t pending = 0;
        for (size_t i = 0; i < state.slots.size(); ++i) {
            Slot& slot = state.slots[i];
            auto* receiver = std::get_if<Receiver>(&slot);
            if (receiver == nullptr) continue;
            std::optional<FrameResult> result;
            if (receiver->try_take(result) == TakeStatus::Result) {
                if (std::holds_alternative<std::string>(*result)) state.failed = true;
                slot = std::move(*result);
            } else {
                ++pending;
            }
        }
        if (state.failed) return;
        while (state.next < num_frames && pending < prefetch && state.slots.size() < backlog) {
            state.slots.push_back(request_frame(node, state.next), backlog);
            ++state.next;
            ++pending;
        }
    }

    // Waits for every request still in flight and frees all results.
    void drain() noexcept {
        while (!state.slots.empty()) {
            Slot slot = state.slots.pop_front();
            if (auto* receiver = std::get_if<Receiver>(&slot)) wait_for(*receiver);
        }
    }

    // The whole of __next__ that runs without the GIL.
    Step step() {
        std::lock_guard<std::mutex> lock(mutex);
        Step out;
        if (state.slots.empty()) return out;
        FrameResult result = [&] {
            Slot front = state.slots.pop_front();
            if (auto* receiver = std::get_if<Receiver>(&front)) return wait_for(*receiver);
            return std::move(std::get<FrameResult>(front));
        }();
        if (auto* error = std::get_if<std::string>(&result)) {
            state.failed = true;
            drain();
            out.kind = Step::Kind::Error;
            out.error = std::move(*error);
            return out;
        }
        top_up();
        out.kind = Step::Kind::Frame;
        out.frame = std::move(std::get<FrameRef>(result));
        return out;
    }
};

PyRef frame_iter_iter(PyObject* self) { return PyRef::borrow(self); }

PyRef frame_iter_next(PyObject* self) {
    PyFrameIter& iter = unbox<PyFrameIter>(self);
    if (!iter.node.in_this_process()) throw_foreign_core();
    Step step;
    {
        ReleaseGil unlocked;
        step = iter.step();
    }
    switch (step.kind) {
        case Step::Kind::End:
            return PyRef();
        case Step::Kind::Error:
            throw_vs_error(step.error);
        case Step::Kind::Frame:
            break;
    }
    return ClipParts{iter.node, iter.owner, iter.audio}.wrap_frame(std::move(step.frame));
}

PyObject* frame_iter_next_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] { return frame_iter_next(self).release(); });
}

PyType_Slot frame_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Frame iterator that keeps up to `prefetch` frames rendering concurrently\n"
                                  "while never buffering more than `backlog` unconsumed frames.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyFrameIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<frame_iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_iter_next_slot)},
    {0, nullptr},
};

PyType_Spec frame_iter_spec = {"FrameIter", sizeof(PyBox<PyFrameIter>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, frame_iter_slots};

}  // namespace

PyTypeObject* frame_iter_type() {
    return lazy_type<frame_iter_spec>();
}

const Signature frames_signature{"VideoNode.frames", {"prefetch", "backlog"}, 2, 0, 0};
const Signature audio_frames_signature{"AudioNode.frames", {"prefetch", "backlog"}, 2, 0, 0};

PyRef node_frames(PyObject* self, const Args& args) {
    std::optional<int32_t> prefetch_arg;
    std::optional<int32_t> backlog_arg;
    if (args.has(0) && args[0] != Py_None) prefetch_arg = args.convert(0, to_i32);
    if (args.has(1) && args[1] != Py_None) backlog_arg = args.convert(1, to_i32);

    ClipParts data = clip_parts(self);
    if (!data.owner.in_this_process()) throw_foreign_core();
    const VSAPI* api = data.node.api();
    size_t prefetch = 0;
    if (prefetch_arg && *prefetch_arg > 0) {
        prefetch = static_cast<size_t>(*prefetch_arg);
    } else {
        VSCoreInfo info{};
        api->getCoreInfo(data.owner.core(), &info);
        prefetch = static_cast<size_t>(std::max(info.numThreads, 1));
    }
    size_t backlog = backlog_arg && *backlog_arg >= 0 ? std::max(static_cast<size_t>(*backlog_arg), prefetch)
                                                       : prefetch * 3;
    int32_t num_frames = data.num_frames();

    PyTypeObject* type = frame_iter_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef obj = require_new(alloc(type, 0));
    // Nothing below can fail, so the box is always constructed when the
    // object's deallocation runs.
    auto* iter = new (&unbox<PyFrameIter>(obj.get()))
        PyFrameIter(data.owner.clone(), data.node.clone(), prefetch, backlog, num_frames, data.audio);
    {
        std::lock_guard<std::mutex> lock(iter->mutex);
        iter->top_up();
    }
    return obj;
}

}  // namespace lumeq
