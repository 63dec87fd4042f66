// LoopChannel: how a finished frame reaches an asyncio event loop. Each loop
// gets one eventfd that it watches with add_reader; a waking thread queues
// the waker and writes the descriptor only when the queue was empty, without
// the GIL, so a burst of completions costs the loop one wake-up, and
// VapourSynth's threads can wake a loop directly without running Python.
#pragma once

#include "delivery/waker.hpp"
#include "runtime/boundary.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace lumeq {

class AsyncioWaker;

class LoopChannel {
public:
    explicit LoopChannel(int fd) noexcept : fd_(fd) {}
    LoopChannel(const LoopChannel&) = delete;
    LoopChannel& operator=(const LoopChannel&) = delete;
    ~LoopChannel();

    // GIL held, on the loop's thread: the loop's channel, made and watched
    // on first use; null when the loop cannot watch a descriptor (the
    // waker then goes through call_soon_threadsafe).
    static std::shared_ptr<LoopChannel> for_loop(PyObject* loop);

    // Any thread, no GIL needed: queues `waker` to be resolved on the loop.
    // False once the loop is gone.
    bool push(Shared<AsyncioWaker> waker);

    // GIL held, on the loop's thread: resolves everything queued.
    void drain();

    // GIL held: the loop is gone; drops what is queued and refuses more.
    void close();

private:
    std::vector<Shared<AsyncioWaker>> take();

    const int fd_;
    std::mutex mutex_;
    std::vector<Shared<AsyncioWaker>> queue_;  // guarded by mutex_
    bool closed_ = false;                      // guarded by mutex_
};

}  // namespace lumeq
