#include "clips/frame_iter.hpp"

#include "clips/async.hpp"
#include "clips/clip.hpp"
#include "delivery/coroutine.hpp"
#include "runtime/args.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace lumeq {
namespace {

// One position of the window: pending (the request) or ready (its result).
// Each request keeps its own node and core, so that an iterator used with
// `async for` can let go of requests still rendering without waiting.
using Slot = std::variant<FrameRequest, FrameResult>;

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
    int32_t next = 0;        // the next frame number to request
    size_t rendering = 0;    // requests made whose completion the tally has not yet given
    bool failed = false;
};

// What one __next__ produced, handed from the GIL-free part to the rest.
struct Step {
    enum class Kind { End, Frame, Error } kind = Kind::End;
    FrameRef frame;
    std::string error;
};

// How an iterator is used: fixed by its first __next__ or __anext__.
enum class Use : uint8_t { Unset, Sync, Async };

// Destroyed in reverse order after the drain: the node, the owner, then the
// window's storage.
struct PyFrameIter {
    IterState state;  // guarded by `mutex`
    std::mutex mutex;  // held across the blocking wait; callbacks never take it
    const size_t prefetch;
    const size_t backlog;
    const int32_t num_frames;
    const bool audio;
    Use use = Use::Unset;   // GIL-guarded
    bool awaited = false;   // GIL-guarded: an __anext__ is waiting for its frame
    // GIL-guarded: the last __anext__'s coroutine, given the next frame's
    // computation when nobody else holds it.
    PyRef spare_next;
    // Where abandoned requests go; set with the GIL when `async for` starts
    // (the synchronous form waits for its requests, and starts no thread).
    Executor* releaser = nullptr;
    const std::shared_ptr<RequestTally> tally = std::make_shared<RequestTally>();
    OwnerHandle owner;
    NodeRef node;

    PyFrameIter(OwnerHandle o, NodeRef n, size_t p, size_t b, int32_t frames, bool is_audio) noexcept
        : prefetch(p), backlog(b), num_frames(frames), audio(is_audio), owner(std::move(o)), node(std::move(n)) {}
    PyFrameIter(const PyFrameIter&) = delete;
    PyFrameIter& operator=(const PyFrameIter&) = delete;
    // Runs in dealloc, with the GIL: the drain needs no Python, so other
    // threads run while in-flight frames finish. An event loop's thread is
    // never made to wait: its requests are let go rendering. Either way the
    // frames go before the owner, which may hold the core's last reference.
    ~PyFrameIter() {
        if (!node.in_this_process()) return;  // the parent's requests never finish here
        if (use == Use::Async) {
            abandon();
            return;
        }
        ReleaseGil unlocked;
        std::lock_guard<std::mutex> lock(mutex);
        drain();
    }

    // Counts finished requests and issues new ones; never blocks. Once any
    // request has failed, no more are made.
    void top_up() {
        if (state.failed) return;
        state.rendering -= tally->take_finished();
        if (tally->any_failed()) {
            state.failed = true;
            return;
        }
        while (state.next < num_frames && state.rendering < prefetch && state.slots.size() < backlog) {
            state.slots.push_back(request_frame_kept(node, owner, state.next, releaser, tally), backlog);
            ++state.next;
            ++state.rendering;
        }
    }

    // Waits for every request still in flight and frees all results.
    void drain() noexcept {
        while (!state.slots.empty()) {
            Slot slot = state.slots.pop_front();
            if (auto* request = std::get_if<FrameRequest>(&slot)) request->wait();
        }
    }

    // GIL held: the requests made so far, and all later ones, may be let go.
    void release_through(Executor& executor) {
        std::lock_guard<std::mutex> lock(mutex);
        releaser = &executor;
        for (size_t i = 0; i < state.slots.size(); ++i)
            if (auto* request = std::get_if<FrameRequest>(&state.slots[i])) request->release_through(executor);
    }

    // Frees all results and lets the requests still in flight go on alone.
    void abandon() noexcept {
        while (!state.slots.empty()) state.slots.pop_front();
    }

    // The whole of __next__ that runs without the GIL.
    Step step() {
        std::lock_guard<std::mutex> lock(mutex);
        Step out;
        if (state.slots.empty()) return out;
        FrameResult result = [&] {
            Slot front = state.slots.pop_front();
            if (auto* request = std::get_if<FrameRequest>(&front)) {
                top_up();  // the requests finished since the last frame make room before the wait
                return request->wait();
            }
            return std::move(std::get<FrameResult>(front));
        }();
        return take(std::move(result), [this] { drain(); });
    }

    // The whole of one __anext__ attempt, with the GIL and never blocking:
    // nullopt while the front frame renders, with `waker` listening for it.
    // (Waiting for several frames before waking the loop was tried: while
    // the loop sleeps no request is made, and cheap frames ran dry.)
    std::optional<Step> try_step(LazyWaker& waker) {
        std::lock_guard<std::mutex> lock(mutex);
        if (state.slots.empty()) return Step{};
        Slot& front = state.slots[0];
        if (auto* request = std::get_if<FrameRequest>(&front)) {
            std::optional<FrameResult> result = request->poll(waker);
            if (!result) {
                top_up();  // the threads stay busy while the loop sleeps
                return std::nullopt;
            }
            front = std::move(*result);
        }
        return take(std::get<FrameResult>(state.slots.pop_front()), [this] { abandon(); });
    }

    // Hands over the front result; on an error, `stop` empties the window.
    template <class Stop>
    Step take(FrameResult result, Stop&& stop) {
        Step out;
        if (auto* error = std::get_if<std::string>(&result)) {
            state.failed = true;
            stop();
            out.kind = Step::Kind::Error;
            out.error = std::move(*error);
            return out;
        }
        top_up();
        out.kind = Step::Kind::Frame;
        out.frame = std::move(std::get<FrameRef>(result));
        return out;
    }

    // Fixes how the iterator is used; the other kind is refused.
    void claim(Use wanted) {
        if (use == Use::Unset) {
            if (wanted == Use::Async) release_through(frame_executor());
            use = wanted;
        }
        if (use == wanted) return;
        throw_runtime_error(wanted == Use::Async
                                ? "this frame iterator is iterated synchronously; it cannot also be used with 'async for'"
                                : "this frame iterator is used with 'async for'; it cannot also be iterated synchronously");
    }

    PyRef frame_of(Step step) const {
        switch (step.kind) {
            case Step::Kind::End:
                return PyRef();
            case Step::Kind::Error:
                throw_vs_error(step.error);
            case Step::Kind::Frame:
                break;
        }
        return ClipParts{node, owner, audio}.wrap_frame(std::move(step.frame));
    }
};

PyRef frame_iter_iter(PyObject* self) { return PyRef::borrow(self); }

PyRef frame_iter_next(PyObject* self) {
    PyFrameIter& iter = unbox<PyFrameIter>(self);
    if (!iter.node.in_this_process()) throw_foreign_core();
    iter.claim(Use::Sync);
    Step step;
    {
        ReleaseGil unlocked;
        step = iter.step();
    }
    return iter.frame_of(std::move(step));
}

// ------------------------------------------------------------ async for

// The computation behind one __anext__: the next frame, awaited on the
// running loop. A frame already rendered is returned at the first
// resumption, without a turn of the loop.
class NextFrame final : public Computation {
public:
    explicit NextFrame(PyRef iter) noexcept : iter_(std::move(iter)) {}
    NextFrame(const NextFrame&) = delete;
    NextFrame& operator=(const NextFrame&) = delete;
    ~NextFrame() override {
        if (waiting_) unbox<PyFrameIter>(iter_.get()).awaited = false;
    }

    std::optional<PyRef> resume(LazyWaker& waker) override {
        PyFrameIter& iter = unbox<PyFrameIter>(iter_.get());
        if (!iter.node.in_this_process()) throw_foreign_core();
        if (!waiting_) {
            // As with an asynchronous generator: the order of frames is the
            // order of the awaits, so only one may wait at a time.
            if (iter.awaited) throw_runtime_error("anext(): frame iterator is already awaiting a frame");
            iter.awaited = waiting_ = true;
        }
        std::optional<Step> step = iter.try_step(waker);
        if (!step) return std::nullopt;
        if (step->kind == Step::Kind::End) throw PyError::no_args(PyExc_StopAsyncIteration);
        return iter.frame_of(std::move(*step));
    }

    int traverse(visitproc visit, void* arg) noexcept override {
        Py_VISIT(iter_.get());
        return 0;
    }

private:
    PyRef iter_;
    bool waiting_ = false;
};

// The computation behind aclose(): cancels what is in flight and frees
// every frame; __anext__ then ends the iteration.
class CloseIter final : public Computation {
public:
    explicit CloseIter(PyRef iter) noexcept : iter_(std::move(iter)) {}

    std::optional<PyRef> resume(LazyWaker&) override {
        PyFrameIter& iter = unbox<PyFrameIter>(iter_.get());
        if (iter.awaited) throw_runtime_error("aclose(): frame iterator is awaiting a frame");
        iter.claim(Use::Async);
        std::lock_guard<std::mutex> lock(iter.mutex);
        iter.state.failed = true;
        iter.abandon();
        return PyRef::none();
    }

private:
    PyRef iter_;
};

PyObject* anext_name() {
    static GilOnceCell<PyObject*> name;
    return name.get([] { return require(PyUnicode_InternFromString("__anext__")); });
}

PyObject* aclose_name() {
    static GilOnceCell<PyObject*> name;
    return name.get([] { return require(PyUnicode_InternFromString("aclose")); });
}

PyRef frame_iter_anext(PyObject* self) {
    PyFrameIter& iter = unbox<PyFrameIter>(self);
    if (!iter.node.in_this_process()) throw_foreign_core();
    iter.claim(Use::Async);
    std::unique_ptr<Computation> next = std::make_unique<NextFrame>(PyRef::borrow(self));
    if (iter.spare_next && rearm_coroutine(iter.spare_next.get(), next)) return iter.spare_next.clone();
    iter.spare_next = make_coroutine(std::move(next), PyRef::borrow(anext_name()), "FrameIter");
    return iter.spare_next.clone();
}

// The spare coroutine and its computation lead back here while it waits.
int frame_iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_VISIT(unbox<PyFrameIter>(self).spare_next.get());
    return 0;
}

int frame_iter_clear(PyObject* self) noexcept {
    PyRef spare = std::move(unbox<PyFrameIter>(self).spare_next);
    return 0;
}

void frame_iter_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    dealloc_slot<PyFrameIter>(self);
}

PyRef frame_iter_aclose(PyObject* self) {
    return make_coroutine(std::make_unique<CloseIter>(PyRef::borrow(self)), PyRef::borrow(aclose_name()), "FrameIter");
}

PyMethodDef frame_iter_methods[] = {
    {"aclose", method_noargs<frame_iter_aclose>, METH_NOARGS,
     "Cancel the requests in flight and free every frame; the iteration then ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* frame_iter_next_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] { return frame_iter_next(self).release(); });
}

PyType_Slot frame_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Frame iterator that keeps up to `prefetch` frames rendering concurrently\n"
                                  "while never buffering more than `backlog` unconsumed frames.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<frame_iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_iter_next_slot)},
    {Py_am_aiter, reinterpret_cast<void*>(unary_slot<frame_iter_iter>)},
    {Py_am_anext, reinterpret_cast<void*>(unary_slot<frame_iter_anext>)},
    {Py_tp_methods, frame_iter_methods},
    {0, nullptr},
};

PyType_Spec frame_iter_spec = {"FrameIter", sizeof(PyBox<PyFrameIter>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                               frame_iter_slots};

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
