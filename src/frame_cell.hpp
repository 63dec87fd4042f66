// FrameCell: one frame reference shared by a frame object and every
// buffer exporter cut from it.
#pragma once

#include "core.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

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
};

class FrameCellRef {
public:
    FrameCellRef(FrameRef frame, OwnerHandle core) : cell_(new FrameCell{std::move(core), std::move(frame), 1}) {}
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

private:
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

}  // namespace lumeq
