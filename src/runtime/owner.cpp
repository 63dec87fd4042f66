#include "runtime/owner.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace lumeq {

namespace {
// initial-exec: set around every plugin call's argument conversion.
thread_local const OwnerHandle* current_owner __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace

struct OwnerHandle::Cell {
    VSCore* core;
    const VSAPI* api;
    std::atomic<size_t> count;
    uint32_t generation = process_generation();
};

OwnerHandle OwnerHandle::create(VSCore* core, const VSAPI* api) { return OwnerHandle(new Cell{core, api, 1}); }

bool OwnerHandle::in_this_process() const noexcept { return cell_->generation == process_generation(); }

OwnerHandle OwnerHandle::clone() const noexcept {
    if (cell_ != nullptr) cell_->count.fetch_add(1, std::memory_order_relaxed);
    return OwnerHandle(cell_);
}

VSCore* OwnerHandle::core() const {
    if (!in_this_process()) throw_foreign_core();
    return cell_->core;
}
const VSAPI* OwnerHandle::api() const noexcept { return cell_->api; }

void OwnerHandle::reset() noexcept {
    Cell* cell = std::exchange(cell_, nullptr);
    if (cell == nullptr) return;
    size_t before = cell->count.fetch_sub(1, std::memory_order_acq_rel);
    if (before == 0) {
        std::fputs("lumeq: core owner count underflow\n", stderr);
        std::abort();
    }
    if (before == 1) {
        // A parent's core cannot be freed here: its threads did not come along.
        // Freeing waits for VapourSynth's threads, which may be in a Python callback.
        if (cell->generation == process_generation()) without_gil([&] { cell->api->freeCore(cell->core); });
        delete cell;
    }
}

MapRef OwnerHandle::invoke(const char* plugin_namespace, const char* name,
                           const std::function<void(VSMap*)>& fill) const {
    VSPlugin* plugin = cell_->api->getPluginByNamespace(plugin_namespace, this->core());
    if (plugin == nullptr) {
        // The argument conversion's own errors come first, as they always did.
        MapRef args = MapRef::create(cell_->api);
        CallbackOwnerScope scope(*this);
        fill(args.get());
        throw_runtime_error("no plugin with namespace " + quoted(plugin_namespace) + " is loaded");
    }
    return invoke(plugin, name, fill);
}

MapRef OwnerHandle::invoke(VSPlugin* plugin, const char* name, const std::function<void(VSMap*)>& fill) const {
    const VSAPI* api = cell_->api;
    this->core();  // a parent's core is refused before anything touches it, a held plugin handle too
    MapRef args = MapRef::create(api);
    {
        CallbackOwnerScope scope(*this);
        fill(args.get());
    }
    VSMap* raw_result = nullptr;
    {
        // A filter may render frames while it is created, and those may need
        // a Python callback on a worker thread.
        ReleaseGil unlocked;
        raw_result = api->invoke(plugin, name, args.get());
        args.reset();  // frees run filters' free functions, which may need the GIL too
    }
    MapRef result(raw_result, api);
    if (const char* error = api->mapGetError(result.get())) throw_vs_error(error);
    return result;
}

CallbackOwnerScope::CallbackOwnerScope(const OwnerHandle& owner) noexcept : saved_(current_owner) {
    current_owner = &owner;
}
CallbackOwnerScope::~CallbackOwnerScope() { current_owner = saved_; }

const OwnerHandle* current_callback_owner() noexcept { return current_owner; }

}  // namespace lumeq
