// FrameCell: one frame reference shared by a frame object and every
// buffer exporter cut from it.
#pragma once

#include "runtime/owner.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace lumeq {

// One frame reference shared by a VideoFrame and every Plane cut from it.
// The count is atomic because frames are also made and dropped on the
// frame-delivery threads. The cell keeps the core alive too, so a plane
// buffer that outlives its frame and clip never frees a frame after its
// core (members are destroyed in reverse order: frame, then core).
struct FrameCell {
    OwnerHandle core;
    FrameRef frame;
    std::atomic<size_t> count;
    // Only a frame lumeq made (copy, new) starts writable, and only until it
    // is handed to VapourSynth. Both fields are touched with the GIL held.
    bool writable = false;
    size_t write_exports = 0;  // writable buffers handed out and not yet released
};

class HandOverScope;

class FrameCellRef {
public:
    FrameCellRef(FrameRef frame, OwnerHandle core) : cell_(new FrameCell{std::move(core), std::move(frame), 1}) {}
    // A frame nobody else holds yet (made by copyFrame or newVideoFrame).
    static FrameCellRef writable(VSFrame* frame, OwnerHandle core) {
        const VSAPI* api = core.api();  // read before `core` moves into the cell
        FrameCellRef cell(FrameRef(frame, api), std::move(core));
        cell.cell_->writable = true;
        return cell;
    }
    FrameCellRef(FrameCellRef&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)) {}
    FrameCellRef& operator=(FrameCellRef&&) = delete;
    FrameCellRef(const FrameCellRef&) = delete;
    FrameCellRef& operator=(const FrameCellRef&) = delete;
    ~FrameCellRef() { reset(); }

    FrameCellRef clone() const noexcept {
        cell_->count.fetch_add(1, std::memory_order_relaxed);
        return FrameCellRef(cell_);
    }
    const VSFrame* frame() const noexcept { return cell_->frame.get(); }
    const VSAPI* api() const noexcept { return cell_->frame.api(); }
    const OwnerHandle& core() const noexcept { return cell_->core; }

    // Writing. GIL held for all of these.
    bool writable() const noexcept { return cell_->writable; }
    // The frame to write into; only asked for while writable().
    VSFrame* write_frame() const noexcept { return const_cast<VSFrame*>(cell_->frame.get()); }
    void add_write_export() const noexcept { ++cell_->write_exports; }
    void remove_write_export() const noexcept { --cell_->write_exports; }
    // From here on VapourSynth may read the frame on any thread, so Python
    // must not write it again; a writable buffer still out would race.
    // Within a HandOverScope the frame stays writable until its commit.
    inline void hand_over() const;
    bool same_cell(const FrameCellRef& other) const noexcept { return cell_ == other.cell_; }

private:
    friend class HandOverScope;
    void refuse_if_exported() const {
        if (cell_->write_exports > 0)
            throw_buffer_error("the frame still has a writable plane buffer exported; release it before passing the frame on");
    }

    explicit FrameCellRef(FrameCell* cell) noexcept : cell_(cell) {}
    void reset() noexcept {
        FrameCell* cell = std::exchange(cell_, nullptr);
        if (cell == nullptr) return;
        size_t before = cell->count.fetch_sub(1, std::memory_order_acq_rel);
        if (before == 0) {
            std::fputs("lumeq: frame cell count underflow\n", stderr);
            std::abort();
        }
        if (before == 1) delete cell;  // FrameRef frees the frame
    }
    FrameCell* cell_;
};

// Hand-overs while converting a value into a map of lumeq's own, which is
// refused or kept as a whole: they wait for commit(), so a refusal leaves
// every frame in the value as it was. Only this thread's conversion at this
// attach depth waits: a plugin call that code run by the conversion makes
// hands its frames over at once.
class HandOverScope {
public:
    HandOverScope() noexcept : outer_(current_), depth_(attach_depth()) { current_ = this; }
    ~HandOverScope() { current_ = outer_; }
    HandOverScope(const HandOverScope&) = delete;
    HandOverScope& operator=(const HandOverScope&) = delete;

    static HandOverScope* active() noexcept {
        return current_ != nullptr && current_->depth_ == attach_depth() ? current_ : nullptr;
    }
    void defer(const FrameCellRef& cell) { cells_.push_back(cell.clone()); }
    bool holds(const FrameCellRef& cell) const noexcept {
        for (const FrameCellRef& held : cells_)
            if (held.same_cell(cell)) return true;
        return false;
    }
    // Hands every frame over, or none (a buffer may have been exported
    // since, by code the conversion ran).
    void commit() {
        for (const FrameCellRef& cell : cells_) cell.refuse_if_exported();
        for (const FrameCellRef& cell : cells_) cell.cell_->writable = false;
        cells_.clear();
    }

private:
    static inline thread_local HandOverScope* current_ = nullptr;
    HandOverScope* outer_;
    int depth_;
    std::vector<FrameCellRef> cells_;
};

inline void FrameCellRef::hand_over() const {
    if (!cell_->writable) return;
    refuse_if_exported();
    if (HandOverScope* scope = HandOverScope::active())
        scope->defer(*this);
    else
        cell_->writable = false;
}

// A new writable frame with `source`'s content and properties (`planes`
// planes or channels). A writable source may have buffers out that point
// into planes the copy would share, so such a copy takes planes of its own.
inline FrameCellRef copy_to_writable(const FrameCellRef& source, int planes) {
    const VSAPI* api = source.api();
    VSFrame* copy = api->copyFrame(source.frame(), source.core().core());
    if (source.writable())
        for (int plane = 0; plane < planes; ++plane) api->getWritePtr(copy, plane);
    return FrameCellRef::writable(copy, source.core().clone());
}

}  // namespace lumeq
