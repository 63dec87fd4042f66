// Wake-up targets shared between threads: the frame executor's tasks and the
// asyncio waker of coroutines.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace lumeq {

// Something that can be asked, from any thread, to make progress again.
// Reference-counted with an atomic count; the last reference deletes it.
class WakeTarget {
public:
    WakeTarget() noexcept = default;
    WakeTarget(const WakeTarget&) = delete;
    WakeTarget& operator=(const WakeTarget&) = delete;

    virtual void wake() = 0;

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    // Acquire, so that a holder that sees itself as the only one also sees
    // everything the other holders did before letting go.
    size_t use_count() const noexcept { return refs_.load(std::memory_order_acquire); }

protected:
    virtual ~WakeTarget() = default;

private:
    std::atomic<size_t> refs_{1};
};

// Owning pointer to a WakeTarget (or a subclass).
template <class T>
class Shared {
public:
    Shared() noexcept = default;
    // Takes over the reference the caller holds (a new target starts at 1).
    static Shared adopt(T* target) noexcept { return Shared(target); }
    // Takes a new reference.
    static Shared share(T* target) noexcept {
        if (target != nullptr) target->retain();
        return Shared(target);
    }

    Shared(const Shared& other) noexcept : target_(other.target_) {
        if (target_ != nullptr) target_->retain();
    }
    Shared(Shared&& other) noexcept : target_(std::exchange(other.target_, nullptr)) {}
    template <class U>
    Shared(Shared<U>&& other) noexcept : target_(other.leak()) {}
    Shared& operator=(Shared other) noexcept {
        std::swap(target_, other.target_);
        return *this;
    }
    ~Shared() { reset(); }

    void reset() noexcept {
        if (T* target = std::exchange(target_, nullptr)) target->release();
    }
    T* get() const noexcept { return target_; }
    T* operator->() const noexcept { return target_; }
    explicit operator bool() const noexcept { return target_ != nullptr; }
    // Gives up ownership without releasing.
    T* leak() noexcept { return std::exchange(target_, nullptr); }

private:
    explicit Shared(T* target) noexcept : target_(target) {}
    T* target_ = nullptr;
};

using Waker = Shared<WakeTarget>;

}  // namespace lumeq
