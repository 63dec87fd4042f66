// The owner cell: the shared ownership of one VapourSynth core that every
// node, frame and function of that core holds, and the core a plugin call
// is filling its arguments for on this thread.
#pragma once

#include "runtime/api.hpp"
#include "runtime/boundary.hpp"

#include <atomic>
#include <functional>
#include <utility>

namespace lumeq {

// Shared owner of one VapourSynth core: the last handle frees the core.
class OwnerHandle {
public:
    static OwnerHandle create(VSCore* core, const VSAPI* api);

    OwnerHandle() noexcept = default;
    OwnerHandle(OwnerHandle&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)) {}
    OwnerHandle& operator=(OwnerHandle&& o) noexcept {
        if (this != &o) {
            reset();
            cell_ = std::exchange(o.cell_, nullptr);
        }
        return *this;
    }
    OwnerHandle(const OwnerHandle&) = delete;
    OwnerHandle& operator=(const OwnerHandle&) = delete;
    ~OwnerHandle() { reset(); }

    OwnerHandle clone() const noexcept;
    // RuntimeError for a core made in another process.
    VSCore* core() const;
    bool in_this_process() const noexcept;
    const VSAPI* api() const noexcept;
    explicit operator bool() const noexcept { return cell_ != nullptr; }

    // The one way lumeq calls a plugin function: fills a new argument map,
    // invokes namespace.name and returns the result map, or throws the
    // fill step's error or VapourSynth's error text as RuntimeError.
    MapRef invoke(const char* plugin_namespace, const char* name, const std::function<void(VSMap*)>& fill) const;
    // The same with the plugin already looked up in this core.
    MapRef invoke(VSPlugin* plugin, const char* name, const std::function<void(VSMap*)>& fill) const;

private:
    struct Cell;
    explicit OwnerHandle(Cell* cell) noexcept : cell_(cell) {}
    void reset() noexcept;
    Cell* cell_ = nullptr;
};

// The core a plugin call fills its arguments for: a callable becomes a
// function of that core. Scopes nest (a callback may call plugins).
class CallbackOwnerScope {
public:
    explicit CallbackOwnerScope(const OwnerHandle& owner) noexcept;
    ~CallbackOwnerScope();
    CallbackOwnerScope(const CallbackOwnerScope&) = delete;
    CallbackOwnerScope& operator=(const CallbackOwnerScope&) = delete;

private:
    const OwnerHandle* saved_;
};

// The owner of the innermost CallbackOwnerScope on this thread, or null.
const OwnerHandle* current_callback_owner() noexcept;

}  // namespace lumeq
