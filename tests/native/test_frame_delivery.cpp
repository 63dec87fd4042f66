// Native checks of frame delivery that Python cannot reach: the completion
// channel, the executor's task states, the frames() window as VapourSynth
// sees the requests, and VapourSynth's own leak report after a storm of
// cancelled asynchronous requests.
#include "clips/async.hpp"
#include "cores/core.hpp"
#include "delivery/executor.hpp"
#include "clips/video_node.hpp"
#include "check.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" PyObject* PyInit_lumeq();

using namespace lumeq;
using namespace std::chrono_literals;

namespace {

// Polls `done` until it holds or the time is up, with the GIL released as
// any waiting Python thread would (the executor may need it for a wake).
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    ReleaseGil unlocked;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A waker that counts its wakes and lets a thread wait for the next one.
class CountingWaker final : public WakeTarget {
public:
    void wake() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    bool wait_for_count(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return count_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

Shared<CountingWaker> counting_waker() { return Shared<CountingWaker>::adopt(new CountingWaker()); }
Waker as_waker(const Shared<CountingWaker>& w) { return Waker::share(w.get()); }

FrameResult text(const char* t) { return FrameResult(std::in_place_type<std::string>, t); }
std::string text_of(const std::optional<FrameResult>& r) { return r ? std::get<std::string>(*r) : "<none>"; }

// ------------------------------------------------------------ channel

void channel_holds_one_result_and_reports_closing() {
    auto [tx, rx] = make_channel();
    std::optional<FrameResult> out;
    CHECK(rx.try_take(out) == TakeStatus::Empty);
    CHECK(!tx.send(text("a")));
    std::optional<FrameResult> refused = tx.send(text("b"));  // the slot is full
    CHECK(text_of(refused) == "b");
    CHECK(rx.try_take(out) == TakeStatus::Result && text_of(out) == "a");
    CHECK(rx.try_take(out) == TakeStatus::Empty);
    { Sender gone = std::move(tx); }
    CHECK(rx.try_take(out) == TakeStatus::Closed);
}

void channel_refuses_a_result_nobody_can_receive() {
    auto [tx, rx] = make_channel();
    { Receiver gone = std::move(rx); }
    CHECK(text_of(tx.send(text("late"))) == "late");
}

void channel_stays_open_while_a_clone_of_each_end_lives() {
    auto [tx, rx] = make_channel();
    Sender tx2 = tx.clone();
    { Sender gone = std::move(tx); }
    std::optional<FrameResult> out;
    CHECK(rx.try_take(out) == TakeStatus::Empty);
    Receiver rx2 = rx.clone();
    { Receiver gone = std::move(rx); }
    CHECK(!tx2.send(text("still open")));
    CHECK(rx2.try_take(out) == TakeStatus::Result);
}

void channel_wakes_its_listener_on_send_and_on_close() {
    auto [tx, rx] = make_channel();
    auto waker = counting_waker();
    rx.listen(as_waker(waker));
    CHECK(!tx.send(text("x")));
    CHECK(waker->count() == 1);
    { Sender gone = std::move(tx); }
    CHECK(waker->count() == 2);
    CHECK(waker.get()->use_count() == 1);  // the closed channel let go of it
}

void blocking_take_wakes_for_a_result_and_for_closing() {
    auto [tx, rx] = make_channel();
    std::thread sender([s = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        s.send(text("from thread"));
    });
    CHECK(text_of(rx.take_blocking()) == "from thread");
    sender.join();

    auto [tx2, rx2] = make_channel();
    std::thread closer([s = std::move(tx2)]() mutable {
        std::this_thread::sleep_for(20ms);
        Sender gone = std::move(s);
    });
    CHECK(!rx2.take_blocking());
    closer.join();
}

// ------------------------------------------------------------ executor

// What a test future reports about itself.
struct Probe {
    std::atomic<int> polls{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> ready{false};
    std::atomic<bool> wake_during_poll{false};
    std::atomic<bool> fault{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool gate_open = true;  // guarded by mutex; a closed gate blocks the poll
    Waker waker;            // guarded by mutex; the last waker it was polled with
    std::weak_ptr<int> made;  // guarded by mutex; the output it produced
    std::vector<int>* order = nullptr;
    int id = 0;

    void open_gate() {
        std::lock_guard<std::mutex> lock(mutex);
        gate_open = true;
        changed.notify_all();
    }
    void wake() {
        Waker w;
        {
            std::lock_guard<std::mutex> lock(mutex);
            w = waker;
        }
        if (w) w->wake();
    }
};

struct ProbeFuture {
    using Output = std::shared_ptr<int>;
    std::shared_ptr<Probe> probe;

    ProbeFuture(std::shared_ptr<Probe> p) : probe(std::move(p)) {}
    ProbeFuture(ProbeFuture&&) noexcept = default;
    ~ProbeFuture() {
        if (probe) probe->destroyed = true;
    }

    std::optional<Output> poll(const Waker& waker) {
        Probe& p = *probe;
        int n = ++p.polls;
        {
            std::unique_lock<std::mutex> lock(p.mutex);
            p.changed.wait(lock, [&] { return p.gate_open; });
            p.waker = waker;
            if (p.order != nullptr && n == 1) p.order->push_back(p.id);  // only the executor thread writes
        }
        if (p.fault) internal_fault("probe fault");
        if (p.wake_during_poll.exchange(false)) {
            waker->wake();
            return std::nullopt;
        }
        if (!p.ready) return std::nullopt;
        auto out = std::make_shared<int>(n);
        std::lock_guard<std::mutex> lock(p.mutex);
        p.made = out;
        return out;
    }
};

Executor& test_executor() {
    static Executor* executor = [] {
        auto* e = new Executor();
        if (auto error = start_executor_thread(*e, "test-executor")) {
            std::fprintf(stderr, "cannot start the test executor: %s\n", error->c_str());
            std::abort();
        }
        return e;
    }();
    return *executor;
}

std::shared_ptr<Probe> probe(bool ready = true) {
    auto p = std::make_shared<Probe>();
    p->ready = ready;
    return p;
}

// Polls the handle until it is ready, as an awaiting side would.
template <class Output>
std::optional<Output> await_handle(TaskHandle<Output>& handle) {
    auto waker = counting_waker();
    for (int round = 0; round < 100; ++round) {
        int before = waker->count();
        if (auto out = handle.poll(as_waker(waker))) return out;
        waker->wait_for_count(before + 1);
    }
    return std::nullopt;
}

void tasks_run_in_scheduling_order() {
    Executor& ex = test_executor();
    std::vector<int> order;
    std::vector<TaskHandle<std::shared_ptr<int>>> handles;
    auto blocker = probe();
    blocker->gate_open = false;  // holds the thread until all are queued
    handles.push_back(ex.spawn(ProbeFuture(blocker)));
    for (int i = 0; i < 20; ++i) {
        auto p = probe();
        p->order = &order;
        p->id = i;
        handles.push_back(ex.spawn(ProbeFuture(p)));
    }
    blocker->open_gate();
    for (auto& h : handles) CHECK(await_handle(h));
    std::vector<int> expected;
    for (int i = 0; i < 20; ++i) expected.push_back(i);
    CHECK(order == expected);
}

void a_wake_during_the_poll_polls_again() {
    auto p = probe();
    p->wake_during_poll = true;
    auto handle = test_executor().spawn(ProbeFuture(p));
    std::optional<std::shared_ptr<int>> out = await_handle(handle);
    CHECK(out && **out == 2);
    CHECK(p->polls == 2);
}

void a_pending_task_runs_again_only_when_woken() {
    auto p = probe(false);
    auto handle = test_executor().spawn(ProbeFuture(p));
    CHECK(eventually([&] { return p->polls == 1; }));
    std::this_thread::sleep_for(20ms);
    CHECK(p->polls == 1);
    p->ready = true;
    p->wake();
    CHECK(await_handle(handle));
    CHECK(p->polls == 2);
    p->wake();  // completed: no further poll
    std::this_thread::sleep_for(20ms);
    CHECK(p->polls == 2);
}

void the_awaiter_is_woken_when_the_task_completes() {
    auto p = probe(false);
    auto handle = test_executor().spawn(ProbeFuture(p));
    CHECK(eventually([&] { return p->polls == 1; }));
    auto awaiter = counting_waker();
    CHECK(!handle.poll(as_waker(awaiter)));
    p->ready = true;
    p->wake();
    CHECK(awaiter->wait_for_count(1));
    CHECK(handle.poll(as_waker(awaiter)));
}

void dropping_a_queued_handle_drops_the_future_unpolled() {
    Executor& ex = test_executor();
    auto blocker = probe();
    blocker->gate_open = false;
    auto blocking = ex.spawn(ProbeFuture(blocker));
    auto target = probe();
    size_t active_before = ex.active_count();
    { auto dropped = ex.spawn(ProbeFuture(target)); }
    blocker->open_gate();
    CHECK(eventually([&] { return target->destroyed.load(); }));
    CHECK(target->polls == 0);
    CHECK(await_handle(blocking));
    CHECK(eventually([&] { return ex.active_count() + 1 == active_before; }));
}

void dropping_a_pending_handle_drops_its_future() {
    auto p = probe(false);
    {
        auto handle = test_executor().spawn(ProbeFuture(p));
        CHECK(eventually([&] { return p->polls == 1; }));
    }
    CHECK(eventually([&] { return p->destroyed.load(); }));
    CHECK(p->polls == 1);
}

void dropping_a_completed_handle_drops_the_untaken_output() {
    auto p = probe();
    {
        auto handle = test_executor().spawn(ProbeFuture(p));
        CHECK(eventually([&] { return (handle.state_bits() & task_state::completed) != 0; }));
        CHECK(p->destroyed);  // the future goes as soon as it is ready
        std::lock_guard<std::mutex> lock(p->mutex);
        CHECK(!p->made.expired());  // the output waits in the task
    }
    std::lock_guard<std::mutex> lock(p->mutex);
    CHECK(p->made.expired());
}

void polling_after_the_output_was_taken_is_a_fault() {
    auto handle = test_executor().spawn(ProbeFuture(probe()));
    CHECK(await_handle(handle));
    auto awaiter = counting_waker();
    std::string fault;
    try {
        handle.poll(as_waker(awaiter));
    } catch (const InternalFault& f) {
        fault = f.text;
    }
    CHECK(fault == "Task polled after completion");
}

void a_fault_in_a_poll_is_the_output_and_the_thread_goes_on() {
    auto p = probe();
    p->fault = true;
    auto handle = test_executor().spawn(ProbeFuture(p));
    CHECK(eventually([&] { return (handle.state_bits() & task_state::completed) != 0; }));
    auto awaiter = counting_waker();
    std::string fault;
    try {
        handle.poll(as_waker(awaiter));
    } catch (const InternalFault& f) {
        fault = f.text;
    }
    CHECK(fault == "probe fault");
    auto next = test_executor().spawn(ProbeFuture(probe()));
    CHECK(await_handle(next));
}

// ------------------------------------------------------------ VapourSynth

// A filter that records which frames VapourSynth asks it for, and holds
// each one until the test opens the gate.
struct Recorder {
    VSVideoInfo vi{};
    std::mutex mutex;
    std::condition_variable changed;
    bool gate_open = false;
    int requested = 0;
    int returned = 0;
    int max_in_filter_or_queued = 0;  // requested - returned, as seen at each request

    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        gate_open = true;
        changed.notify_all();
    }
    int requested_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return requested;
    }
    int returned_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return returned;
    }
};

const VSFrame* VS_CC recorder_get_frame(int n, int reason, void* data, void**, VSFrameContext*, VSCore* core,
                                        const VSAPI* api) {
    if (reason != arInitial) return nullptr;
    auto* rec = static_cast<Recorder*>(data);
    {
        std::unique_lock<std::mutex> lock(rec->mutex);
        ++rec->requested;
        rec->max_in_filter_or_queued = std::max(rec->max_in_filter_or_queued, rec->requested - rec->returned);
        rec->changed.wait(lock, [&] { return rec->gate_open; });
    }
    VSFrame* frame = api->newVideoFrame(&rec->vi.format, rec->vi.width, rec->vi.height, nullptr, core);
    std::memset(api->getWritePtr(frame, 0), n % 256, static_cast<size_t>(api->getStride(frame, 0) * rec->vi.height));
    {
        std::lock_guard<std::mutex> lock(rec->mutex);
        ++rec->returned;
    }
    return frame;
}

void VS_CC recorder_free(void*, VSCore*, const VSAPI*) {}

PyRef call_frames(PyObject* clip, std::optional<int> prefetch, std::optional<int> backlog) {
    PyRef kwargs = require_new(PyDict_New());
    if (prefetch) PyDict_SetItemString(kwargs.get(), "prefetch", py_int(*prefetch).get());
    if (backlog) PyDict_SetItemString(kwargs.get(), "backlog", py_int(*backlog).get());
    PyRef method = require_new(PyObject_GetAttrString(clip, "frames"));
    PyRef args = require_new(PyTuple_New(0));
    return require_new(PyObject_Call(method.get(), args.get(), kwargs.get()));
}

int frame_value(PyObject* frame) {
    PyRef plane = require_new(PySequence_GetItem(frame, 0));
    PyRef data = require_new(PyObject_CallMethod(plane.get(), "tobytes", nullptr));
    return static_cast<unsigned char>(PyBytes_AsString(data.get())[0]);
}

// The window as VapourSynth sees it, on a core with 8 threads.
void frames_window(const VSAPI* api, std::optional<int> prefetch, std::optional<int> backlog, int expect_prefetch,
                   int expect_backlog) {
    const int frames = 48;
    const int failures_before = failures;
    VSCore* core = api->createCore(0);
    api->setThreadCount(8, core);
    OwnerHandle owner = OwnerHandle::create(core, api);
    Recorder rec;
    api->queryVideoFormat(&rec.vi.format, cfGray, stInteger, 8, 0, 0, core);
    rec.vi.width = 16;
    rec.vi.height = 8;
    rec.vi.numFrames = frames;
    rec.vi.fpsNum = 24;
    rec.vi.fpsDen = 1;
    VSNode* node = api->createVideoFilter2("Recorder", &rec.vi, recorder_get_frame, recorder_free, fmParallel, nullptr,
                                           0, &rec, core);
    PyRef clip = make_video_node(NodeRef(node, api), owner.clone());
    {
        PyRef iter = call_frames(clip.get(), prefetch, backlog);
        // Before anything is consumed, exactly `prefetch` requests are out.
        CHECK(eventually([&] { return rec.requested_count() >= expect_prefetch; }));
        std::this_thread::sleep_for(30ms);
        CHECK(rec.requested_count() == expect_prefetch);
        rec.open();
        int consumed = 0;
        int most_ahead = 0;
        bool in_order = true;
        auto settle = 5ms;
        for (;;) {
            // Requests are issued only inside next(). Before the following
            // one, let them reach the filter and finish, and give VapourSynth
            // time to deliver them: the window grows only over delivered
            // frames, so a step that fell short gets more time.
            eventually([&] { return rec.returned_count() == rec.requested_count(); });
            std::this_thread::sleep_for(settle);
            int ahead = rec.requested_count() - consumed;
            CHECK(ahead <= expect_backlog);
            most_ahead = std::max(most_ahead, ahead);
            bool full = ahead == std::min(expect_backlog, frames - consumed);
            settle = full || consumed == 0 ? 5ms : std::min(settle * 2, std::chrono::milliseconds(160));
            PyRef frame = PyRef::steal(PyIter_Next(iter.get()));
            if (!frame) break;
            in_order = in_order && frame_value(frame.get()) == consumed % 256;
            ++consumed;
        }
        CHECK(!PyErr_Occurred());
        CHECK(in_order);
        CHECK(consumed == frames);
        CHECK(rec.requested_count() == frames);
        CHECK(most_ahead == expect_backlog);  // a slow consumer fills the window
        if (most_ahead != expect_backlog) std::fprintf(stderr, "  most ahead %d\n", most_ahead);
        std::lock_guard<std::mutex> lock(rec.mutex);
        CHECK(rec.max_in_filter_or_queued <= expect_prefetch);
    }
    if (failures > failures_before)
        std::fprintf(stderr, "  (window case prefetch=%d backlog=%d)\n", prefetch.value_or(-99), backlog.value_or(-99));
}

void frames_window_defaults_and_clamping(const VSAPI* api) {
    frames_window(api, std::nullopt, std::nullopt, 8, 24);  // the core's thread count, three times that
    frames_window(api, 4, std::nullopt, 4, 12);
    frames_window(api, 4, 1, 4, 4);                         // never below prefetch
    frames_window(api, 0, std::nullopt, 8, 24);             // 0 means the default
    frames_window(api, std::nullopt, -5, 8, 24);            // negative means the default
    frames_window(api, 3, 5, 3, 5);
}

// Collects the core's log messages; the handler is dropped when the core is freed.
struct CoreLog {
    std::mutex mutex;
    std::vector<std::string> messages;
    bool core_freed = false;
};

void VS_CC log_message(int, const char* msg, void* data) {
    auto* log = static_cast<CoreLog*>(data);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->messages.emplace_back(msg);
}

void VS_CC log_freed(void* data) {
    auto* log = static_cast<CoreLog*>(data);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->core_freed = true;
}

bool run(const char* code) {
    PyRef main = PyRef::borrow(PyImport_AddModule("__main__"));
    PyObject* globals = PyModule_GetDict(main.get());
    PyRef compiled = PyRef::steal(Py_CompileString(code, "<test>", Py_file_input));
    PyRef result = compiled ? PyRef::steal(PyEval_EvalCode(compiled.get(), globals, globals)) : PyRef();
    if (!result) PyErr_Print();
    return static_cast<bool>(result);
}

// True once a mark deferred to the frame executor now has run: whatever it
// held before the mark (a payload freeing a core) is done.
bool executor_went_past_what_it_holds() {
    struct Mark final : Runnable {
        explicit Mark(std::shared_ptr<std::atomic<bool>> f) : flag(std::move(f)) {}
        void run() override {
            flag->store(true);
            delete this;
        }
        std::shared_ptr<std::atomic<bool>> flag;
    };
    static std::shared_ptr<std::atomic<bool>> ran;
    if (!ran) {
        ran = std::make_shared<std::atomic<bool>>(false);
        frame_executor().defer(new Mark(ran));
    }
    return ran->load();
}

void cancelled_storm_frees_the_core_cleanly() {
    CHECK(run("import asyncio, lumeq\ncore = lumeq.Core()\n"));
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    const OwnerHandle& owner = core_owner(PyDict_GetItemString(globals, "core"));
    auto* log = new CoreLog();  // the core may outlive this function
    owner.api()->addLogHandler(log_message, log_freed, log, owner.core());
    CHECK(run(R"(
clip = core.std.BlankClip(width=640, height=480, length=100000, format=(1 << 28) | (8 << 16))
clip = core.std.BoxBlur(clip=clip, hradius=20, vradius=20, hpasses=3, vpasses=3)

async def storm():
    tasks = [asyncio.ensure_future(clip.get_frame_async(n)) for n in range(1000)]
    await asyncio.sleep(0.005)
    for t in tasks:
        t.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)

asyncio.run(storm())
del clip, core
)"));
    // The abandoned requests still render; the last of them lets the core go.
    CHECK(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(log->mutex);
            return log->core_freed;
        },
        60s));
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        for (const std::string& m : log->messages) {
            CHECK(m.find("still") == std::string::npos);
            if (m.find("still") != std::string::npos) std::fprintf(stderr, "  core log: %s\n", m.c_str());
        }
    }
    // The core reports its end from inside freeCore, which the executor's
    // thread is still running: the program must not exit under it.
    CHECK(eventually([] { return executor_went_past_what_it_holds(); }, 60s));
}

// The vapoursynth package of the checkout's virtual environment, for the
// library load; this program is built into build/<dir>/ of the checkout.
bool find_vapoursynth() {
    return run(R"(
import glob, os, sys
root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath('/proc/self/exe'))))
version = 'python%d.%d' % sys.version_info[:2]
sys.path[:0] = glob.glob(os.path.join(root, '.venv*', 'lib', version, 'site-packages'))
import importlib.util
found = importlib.util.find_spec('vapoursynth') is not None
)") && PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), "found") == Py_True;
}

}  // namespace

int main() {
    PyImport_AppendInittab("lumeq", PyInit_lumeq);
    Py_Initialize();
    ++attach_depth_ref();  // the main thread plays an entry from Python

    channel_holds_one_result_and_reports_closing();
    channel_refuses_a_result_nobody_can_receive();
    channel_stays_open_while_a_clone_of_each_end_lives();
    channel_wakes_its_listener_on_send_and_on_close();
    blocking_take_wakes_for_a_result_and_for_closing();

    tasks_run_in_scheduling_order();
    a_wake_during_the_poll_polls_again();
    a_pending_task_runs_again_only_when_woken();
    the_awaiter_is_woken_when_the_task_completes();
    dropping_a_queued_handle_drops_the_future_unpolled();
    dropping_a_pending_handle_drops_its_future();
    dropping_a_completed_handle_drops_the_untaken_output();
    polling_after_the_output_was_taken_is_a_fault();
    a_fault_in_a_poll_is_the_output_and_the_thread_goes_on();

    if (find_vapoursynth()) {
        const VSAPI* api = apis().api;
        frames_window_defaults_and_clamping(api);
        cancelled_storm_frees_the_core_cleanly();
    } else {
        std::puts("vapoursynth package not found: skipped the VapourSynth checks");
    }

    --attach_depth_ref();
    if (failures == 0) std::puts("native frame delivery checks passed");
    return failures == 0 ? 0 : 1;
}
