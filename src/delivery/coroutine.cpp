#include "delivery/coroutine.hpp"

#include "runtime/args.hpp"
#include "runtime/process.hpp"

#include <condition_variable>
#include <mutex>

namespace lumeq {

// ------------------------------------------------------------ cached objects

namespace {

PyObject* get_running_loop_function() {
    static GilOnceCell<PyObject*> cell;
    return cell.get([] {
        PyRef asyncio = require_new(PyImport_ImportModule("asyncio"));
        return require_new(PyObject_GetAttrString(asyncio.get(), "get_running_loop")).release();  // kept for the process
    });
}

const Signature release_waiter_signature{"release_waiter", {"future"}, 1, 0, 1};

PyRef release_waiter(PyObject*, const Args& args) {
    PyObject* future = args[0];
    PyRef done = call_method(future, "done");
    if (!to_bool(done.get())) call_method(future, "set_result", {Py_None});
    return PyRef::none();
}

PyMethodDef release_waiter_def = {
    "release_waiter",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<release_waiter_signature, release_waiter>)),
    METH_FASTCALL | METH_KEYWORDS,
    "Call `future.set_result` if the future is not done.\n\n"
    "Future can be cancelled by the event loop before being waken.\n"
    "See `_release_waiter` in CPython's Lib/asyncio/tasks.py.",
};

// Calls obj.name() and returns the result, or null with the error set.
PyObject* call_noargs(PyObject* obj, const char* name) {
    return PyObject_VectorcallMethod(interned(name), &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Wakes run Python code on a thread the interpreter does not own. Once the
// interpreter finalizes, such a thread is ended where it waits for the GIL,
// which must never happen while its frames hold Python state. So at exit the
// gate closes and waits for wakes in progress; later wakes do nothing.
class WakeGate {
public:
    class Pass {
    public:
        explicit Pass(WakeGate& gate) : gate_(gate) {
            std::lock_guard<std::mutex> lock(gate_.mutex_);
            ++gate_.active_;
        }
        ~Pass() {
            std::lock_guard<std::mutex> lock(gate_.mutex_);
            if (--gate_.active_ == 0) gate_.idle_.notify_all();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        WakeGate& gate_;
    };

    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
    // GIL held; waits with it released.
    void close() {
        closed_.store(true, std::memory_order_release);
        ReleaseGil unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    size_t active_ = 0;
    std::atomic<bool> closed_{false};
};

WakeGate& wake_gate() {
    static WakeGate& gate = *new WakeGate();  // never destroyed: wakes may come during exit
    return gate;
}

PyObject* close_wake_gate(PyObject*, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [] {
        wake_gate().close();
        return PyRef::none().release();
    });
}

PyMethodDef close_wake_gate_def = {"_close_frame_wakers", close_wake_gate, METH_NOARGS, nullptr};

void register_exit_hook() {
    static GilOnceCell<bool> done;
    done.get([] {
        run_at_exit(close_wake_gate_def);
        return true;
    });
}

}  // namespace

PyObject* release_waiter_function() {
    static GilOnceCell<PyObject*> cell;
    return cell.get([] { return require(PyCFunction_NewEx(&release_waiter_def, nullptr, nullptr)); });
}

// ------------------------------------------------------------ AsyncioWaker

void AsyncioWaker::reset() noexcept {
    state_.store(Unset, std::memory_order_release);
    future_.reset();
    loop_.reset();
}

int AsyncioWaker::traverse(visitproc visit, void* arg) noexcept {
    Py_VISIT(loop_.get());
    Py_VISIT(future_.get());
    return 0;
}

AsyncioWaker::Cell AsyncioWaker::cell() const noexcept {
    switch (state_.load(std::memory_order_acquire)) {
        case Unset:
            return Cell::Unset;
        case WokenEarly:
            return Cell::WokenEarly;
        default:
            return Cell::LoopAndFuture;
    }
}

void AsyncioWaker::init_future() {
    if (state_.load(std::memory_order_acquire) != Unset) return;
    // Created here so that neither a wake on another thread nor the loop's
    // resolve, which cannot fail, ever has to.
    release_waiter_function();
    register_exit_hook();
    interned("done");
    interned("set_result");
    PyRef loop = require_new(PyObject_CallNoArgs(get_running_loop_function()));
    PyRef future = require_new(call_noargs(loop.get(), "create_future"));
    std::shared_ptr<LoopChannel> channel = LoopChannel::for_loop(loop.get());
    Executor* executor = channel ? nullptr : &frame_executor();
    // The calls above run Python code, during which a wake may have marked
    // the cell woken early; that mark wins and the new future is dropped.
    if (state_.load(std::memory_order_acquire) != Unset) return;
    loop_ = std::move(loop);
    future_ = std::move(future);
    channel_ = std::move(channel);
    executor_ = executor;
    uint8_t expected = Unset;
    if (!state_.compare_exchange_strong(expected, channel_ ? Armed : Portable, std::memory_order_acq_rel)) {
        future_.reset();
        loop_.reset();
    }
}

namespace {

// A portable wake, carried to the executor thread: nothing on the thread
// that woke may take the GIL.
struct PortableWake final : Runnable {
    explicit PortableWake(Shared<AsyncioWaker> w) noexcept : waker(std::move(w)) {}
    void run() override {
        std::unique_ptr<PortableWake> self(this);
        waker->wake_through_loop();
    }
    Shared<AsyncioWaker> waker;
};

}  // namespace

void AsyncioWaker::wake() {
    uint8_t s = state_.load(std::memory_order_acquire);
    for (;;) {
        uint8_t next = 0;
        switch (s) {
            case Unset:
                next = WokenEarly;
                break;
            case Armed:
                next = Queued;
                break;
            case Portable:
                next = PortableWoken;
                break;
            default:
                return;  // woken already
        }
        if (state_.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) break;
    }
    if (s == Armed)
        channel_->push(Shared<AsyncioWaker>::share(this));  // refused only once the loop is gone
    else if (s == Portable)
        executor_->defer(new PortableWake(Shared<AsyncioWaker>::share(this)));
}

void AsyncioWaker::resolve() noexcept {
    uint8_t expected = Queued;
    if (!state_.compare_exchange_strong(expected, Resolved, std::memory_order_acq_rel)) return;  // reset since
    if (!future_) return;
    // Own reference: the calls below run Python code, which may reset us.
    PyRef future = future_.clone();
    PyRef done = PyRef::steal(call_noargs(future.get(), "done"));
    if (done && done.get() == Py_False) {
        PyObject* argv[] = {future.get(), Py_None};
        done = PyRef::steal(
            PyObject_VectorcallMethod(interned("set_result"), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    // The loop's other wakes still go ahead; a failure here is only reported.
    if (!done) PyErr_WriteUnraisable(future.get());
}

void AsyncioWaker::wake_through_loop() {
    WakeGate::Pass pass(wake_gate());
    if (wake_gate().closed()) return;
    AttachGil gil;
    if (wake_gate().closed()) return;  // the interpreter is shutting down
    if (state_.load(std::memory_order_acquire) != PortableWoken || !future_) return;  // reset since
    // Own references: the calls below may let the resuming thread reset the cell.
    PyRef loop = loop_.clone();
    PyRef future = future_.clone();
    PyObject* argv[] = {loop.get(), release_waiter_function(), future.get()};
    PyRef handle = PyRef::steal(PyObject_VectorcallMethod(interned("call_soon_threadsafe"), argv,
                                                          3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (handle) return;
    PyRef error = fetch_exception();
    // A closed loop cannot be woken, and nobody waits on it any more.
    PyRef closed = PyRef::steal(call_noargs(loop.get(), "is_closed"));
    if (!closed) PyErr_Clear();
    if (closed && PyBool_Check(closed.get())) {
        if (closed.get() == Py_True) return;
    }
    internal_fault("unexpected error in coroutine waker");
}

const Waker& LazyWaker::get() {
    if (!waker_) {
        if (!cell_ || cell_->use_count() != 1) cell_ = Shared<AsyncioWaker>::adopt(new AsyncioWaker());
        waker_ = Waker::share(cell_.get());
    }
    return waker_;
}

// ------------------------------------------------------------ Coroutine

namespace {

// Destroyed in reverse order: the computation, then the waker, then the name.
struct PyCoroutine {
    PyRef name;
    const char* qualname_prefix;
    Shared<AsyncioWaker> waker;
    std::unique_ptr<Computation> computation;
    UseFlag use;
};

PyCoroutine& coroutine_of(PyObject* self) { return unbox<PyCoroutine>(self); }

// Once the computation is over nothing will await the future, and the task
// it leads back to must not be kept alive through the loop and future. The
// executor may still hold the waker, so its cell is emptied, not just ours.
void finish(PyCoroutine& co) noexcept {
    co.computation.reset();
    if (co.waker) co.waker->reset();
    co.waker.reset();
}

[[noreturn]] void raise_thrown(PyObject* thrown) {
    if (PyExceptionInstance_Check(thrown)) throw PyError::object(PyRef::borrow(thrown));
    if (PyExceptionClass_Check(thrown)) throw PyError::object(require_new(PyObject_CallNoArgs(thrown)));
    throw_type_error("exceptions must derive from BaseException");
}

// Drops the computation on every way out of a resumption except a pending one.
class FinishUnlessPending {
public:
    explicit FinishUnlessPending(PyCoroutine& co) : co_(co) {}
    ~FinishUnlessPending() {
        if (!pending_) finish(co_);
    }
    FinishUnlessPending(const FinishUnlessPending&) = delete;
    FinishUnlessPending& operator=(const FinishUnlessPending&) = delete;
    void keep() noexcept { pending_ = true; }

private:
    PyCoroutine& co_;
    bool pending_ = false;
};

PyRef yield_future(PyObject* future) {
    PyRef iter = PyRef::steal(PyObject_GetIter(future));
    PyRef yielded = iter ? PyRef::steal(PyIter_Next(iter.get())) : PyRef();
    if (yielded) return yielded;
    if (PyErr_Occurred()) {
        discard_exception();
        internal_fault("iterating the asyncio future failed");
    }
    return PyRef::none();
}

// One resumption: what the coroutine yields, or what it returns.
struct Step {
    PyRef value;
    bool returned;
};

Step resume(PyObject* self, PyObject* thrown) {
    PyCoroutine& co = coroutine_of(self);
    UseFlag::Exclusive use(co.use);
    if (!co.computation) throw_runtime_error("cannot reuse already awaited coroutine");
    if (thrown != nullptr) {
        finish(co);  // cancels whatever it waits for
        raise_thrown(thrown);
    }
    // The last wake's loop and future go now, with the GIL: a waker still
    // held elsewhere (a channel that woke it, about to let go) would
    // otherwise drop them later on a thread without it, keeping the loop
    // alive until lumeq is next entered. Such a waker is not armed again;
    // this resumption gets a fresh one.
    if (co.waker) co.waker->reset();

    FinishUnlessPending finishing(co);
    LazyWaker waker(co.waker);
    std::optional<PyRef> value = co.computation->resume(waker);
    if (value) {
        finish(co);
        return Step{std::move(*value), true};
    }
    if (!waker.made()) internal_fault("computation pending without a waker");
    finishing.keep();
    co.waker->init_future();
    // Once lumeq's exit hook has run, a wake that needs the GIL on the
    // executor's thread is dropped: waiting for it would never end.
    if (co.waker->wakes_through_executor() && wake_gate().closed()) {
        finish(co);
        throw_runtime_error("cannot await a frame while the interpreter is exiting");
    }
    switch (co.waker->cell()) {
        case AsyncioWaker::Cell::LoopAndFuture:
            return Step{yield_future(co.waker->future()), false};
        case AsyncioWaker::Cell::WokenEarly:
            return Step{PyRef::none(), false};  // the loop resumes us on its next iteration
        case AsyncioWaker::Cell::Unset:
            break;
    }
    internal_fault("coroutine waker left unset after initialisation");
}

// The iterator protocol's form: a returned value travels as StopIteration.
PyRef resume_or_stop(PyObject* self, PyObject* thrown) {
    Step step = resume(self, thrown);
    if (step.returned) throw PyError::with_arg(PyExc_StopIteration, std::move(step.value));
    return std::move(step.value);
}

PyRef coroutine_await(PyObject* self) { return PyRef::borrow(self); }

const Signature send_signature{"Coroutine.send", {"_value"}, 1, 0, 1};
PyRef coroutine_send(PyObject* self, const Args&) { return resume_or_stop(self, nullptr); }

// am_send, which asyncio's tasks use: the value comes back without an
// exception object made, raised and caught for every frame.
PySendResult coroutine_send_slot(PyObject* self, PyObject*, PyObject** result) noexcept {
    *result = nullptr;
    return guard<PySendResult>(PYGEN_ERROR, [&] {
        Step step = resume(self, nullptr);
        *result = step.value.release();
        return step.returned ? PYGEN_RETURN : PYGEN_NEXT;
    });
}

const Signature throw_signature{"Coroutine.throw", {"exc"}, 1, 0, 1};
PyRef coroutine_throw(PyObject* self, const Args& args) { return resume_or_stop(self, args[0]); }

PyRef coroutine_close(PyObject* self) {
    PyCoroutine& co = coroutine_of(self);
    UseFlag::Exclusive use(co.use);
    finish(co);
    return PyRef::none();
}

PyRef coroutine_name(PyObject* self) {
    PyCoroutine& co = coroutine_of(self);
    UseFlag::Shared use(co.use);
    if (!co.name) throw_attribute_error("__name__");
    return co.name.clone();
}

PyRef coroutine_qualname(PyObject* self) {
    PyCoroutine& co = coroutine_of(self);
    UseFlag::Shared use(co.use);
    if (!co.name) throw_attribute_error("__qualname__");
    if (co.qualname_prefix == nullptr) return co.name.clone();
    return require_new(PyUnicode_FromFormat("%s.%U", co.qualname_prefix, co.name.get()));
}

// An abandoned task on a closed loop forms a cycle through us: task ->
// coroutine -> future -> the task's wakeup callback.
int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    PyCoroutine& co = coroutine_of(self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_VISIT(co.name.get());
    if (co.computation) {
        if (int status = co.computation->traverse(visit, arg)) return status;
    }
    if (co.waker) return co.waker->traverse(visit, arg);
    return 0;
}

int coroutine_clear(PyObject* self) noexcept {
    PyCoroutine& co = coroutine_of(self);
    // Only the waker's references are dropped: the cycle goes through them,
    // and a resumption running elsewhere on this object still finds its state.
    if (co.waker) co.waker->reset();
    return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    dealloc_slot<PyCoroutine>(self);
}

// The slot an `await` inside a Python coroutine uses. The returned value is
// set as StopIteration directly: a C++ throw per frame costs more than the
// rest of the resumption.
PyObject* coroutine_next_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Step step = resume(self, nullptr);
        if (!step.returned) return step.value.release();
        // An instance, so that a tuple value is not taken as the arguments.
        PyRef stop = require_new(PyObject_CallFunctionObjArgs(PyExc_StopIteration, step.value.get(), nullptr));
        PyErr_SetObject(PyExc_StopIteration, stop.get());
        return nullptr;
    });
}

PyMethodDef coroutine_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<send_signature, coroutine_send>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<throw_signature, coroutine_throw>)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"close", method_noargs<coroutine_close>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", getter<coroutine_name>, nullptr, nullptr, nullptr},
    {"__qualname__", getter<coroutine_qualname>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python coroutine wrapping a [`Future`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_am_await, reinterpret_cast<void*>(unary_slot<coroutine_await>)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_send_slot)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_next_slot)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {"Coroutine", sizeof(PyBox<PyCoroutine>), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                              coroutine_slots};

}  // namespace

PyTypeObject* coroutine_type() {
    return lazy_type<coroutine_spec>();
}

PyRef make_coroutine(std::unique_ptr<Computation> computation, PyRef name, const char* qualname_prefix) {
    return make_instance(coroutine_type(), PyCoroutine{std::move(name), qualname_prefix, {}, std::move(computation), {}});
}

bool rearm_coroutine(PyObject* coroutine, std::unique_ptr<Computation>& computation) noexcept {
    if (Py_REFCNT(coroutine) != 1 || Py_TYPE(coroutine) != coroutine_type()) return false;
    PyCoroutine& co = coroutine_of(coroutine);
    if (co.computation) return false;
    co.computation = std::move(computation);
    return true;
}

}  // namespace lumeq
