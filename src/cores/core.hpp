// The core owner cell, the Core class with its plugin iterator, and the
// lazy `core` proxy.
#pragma once

#include "runtime/api.hpp"
#include "runtime/boundary.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

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

PyTypeObject* core_type();
PyTypeObject* plugin_iter_type();
PyTypeObject* core_proxy_type();

// Core creation shared by Core(...) and the environments.
PyRef core_new(std::optional<int32_t> threads, std::optional<int64_t> max_cache_mb);
// The owner of a Core object (type already checked by the caller).
const OwnerHandle& core_owner(PyObject* core);

PyRef make_core_proxy();

}  // namespace lumeq
