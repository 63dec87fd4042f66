// The VapourSynth library, loaded once per process, and RAII owners of the
// handles it gives out.
#pragma once

#include <VapourSynth4.h>

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
inline void free_handle(const VSAPI* api, VSNode* node) noexcept { api->freeNode(node); }
inline void free_handle(const VSAPI* api, const VSFrame* frame) noexcept { api->freeFrame(frame); }
inline void free_handle(const VSAPI* api, VSMap* map) noexcept { api->freeMap(map); }
}  // namespace detail

// One owned VapourSynth reference (node, frame or map) with the table that
// releases it; released exactly once.
template <class Handle>
class VsRef {
public:
    VsRef() noexcept = default;
    VsRef(Handle handle, const VSAPI* api) noexcept : handle_(handle), api_(api) {}
    VsRef(VsRef&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)), api_(o.api_) {}
    VsRef& operator=(VsRef&& o) noexcept {
        if (this != &o) {
            reset();
            handle_ = std::exchange(o.handle_, nullptr);
            api_ = o.api_;
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
        if (handle_ != nullptr) detail::free_handle(api_, std::exchange(handle_, nullptr));
    }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // A second reference to the same node.
    VsRef clone() const noexcept
        requires std::is_same_v<Handle, VSNode*>
    {
        return handle_ ? VsRef(api_->addNodeRef(handle_), api_) : VsRef();
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
};

using NodeRef = VsRef<VSNode*>;
using FrameRef = VsRef<const VSFrame*>;
using MapRef = VsRef<VSMap*>;

}  // namespace lumeq
