// The VapourSynth library, loaded once per process, and RAII owners of the
// handles it gives out.
#pragma once

#include "runtime/process.hpp"

#include <VapourSynth4.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace lumeq {

struct Apis {
    const VSAPI* api;
    void* library;  // never closed, so the table stays valid
};

// The process-wide table, loading the library on first use. A failed load
// is kept and raised afresh (RuntimeError) by every call.
const Apis& apis();

namespace detail {
// Releasing a node may run filters' free functions; done without the GIL.
void free_handle(const VSAPI* api, VSNode* node) noexcept;
inline void free_handle(const VSAPI* api, const VSFrame* frame) noexcept { api->freeFrame(frame); }
inline void free_handle(const VSAPI* api, VSMap* map) noexcept { api->freeMap(map); }
}  // namespace detail

// One owned VapourSynth reference (node, frame or map) with the table that
// releases it; released exactly once. In the child of a fork, a reference
// taken before it is left alone: its core's threads and locks stayed behind.
template <class Handle>
class VsRef {
public:
    VsRef() noexcept = default;
    VsRef(Handle handle, const VSAPI* api) noexcept : handle_(handle), api_(api) {}
    VsRef(VsRef&& o) noexcept
        : handle_(std::exchange(o.handle_, nullptr)), api_(o.api_), generation_(o.generation_) {}
    VsRef& operator=(VsRef&& o) noexcept {
        if (this != &o) {
            reset();
            handle_ = std::exchange(o.handle_, nullptr);
            api_ = o.api_;
            generation_ = o.generation_;
        }
        return *this;
    }
    VsRef(const VsRef&) = delete;
    VsRef& operator=(const VsRef&) = delete;
    ~VsRef() { reset(); }

    Handle get() const noexcept { return handle_; }
    const VSAPI* api() const noexcept { return api_; }
    Handle release() noexcept { return std::exchange(handle_, nullptr); }
    void reset() noexcept {
        Handle handle = std::exchange(handle_, nullptr);
        if (handle != nullptr && in_this_process()) detail::free_handle(api_, handle);
    }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    bool in_this_process() const noexcept { return generation_ == process_generation(); }

    // A second reference to the same node.
    VsRef clone() const noexcept
        requires std::is_same_v<Handle, VSNode*>
    {
        if (!handle_) return VsRef();
        VsRef copy(api_->addNodeRef(handle_), api_);
        copy.generation_ = generation_;
        return copy;
    }
    // A new, empty map.
    static VsRef create(const VSAPI* api) noexcept
        requires std::is_same_v<Handle, VSMap*>
    {
        return VsRef(api->createMap(), api);
    }

private:
    Handle handle_ = nullptr;
    const VSAPI* api_ = nullptr;
    uint32_t generation_ = process_generation();
};

using NodeRef = VsRef<VSNode*>;
using FrameRef = VsRef<const VSFrame*>;
using MapRef = VsRef<VSMap*>;

}  // namespace lumeq
