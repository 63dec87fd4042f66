// The VapourSynth library, loaded once per process, and RAII owners of the
// handles it gives out.
#pragma once

#include <VapourSynth4.h>

#include <utility>

namespace lumeq {

struct Apis {
    const VSAPI* api;
    void* library;  // never closed, so the table stays valid
};

// The process-wide table, loading the library on first use. A failed load
// is kept and raised afresh (RuntimeError) by every call.
const Apis& apis();

// One owned node reference.
class NodeRef {
public:
    NodeRef() noexcept = default;
    NodeRef(VSNode* node, const VSAPI* api) noexcept : node_(node), api_(api) {}
    NodeRef(NodeRef&& o) noexcept : node_(std::exchange(o.node_, nullptr)), api_(o.api_) {}
    NodeRef& operator=(NodeRef&& o) noexcept {
        if (this != &o) {
            reset();
            node_ = std::exchange(o.node_, nullptr);
            api_ = o.api_;
        }
        return *this;
    }
    NodeRef(const NodeRef&) = delete;
    NodeRef& operator=(const NodeRef&) = delete;
    ~NodeRef() { reset(); }

    NodeRef clone() const noexcept { return node_ ? NodeRef(api_->addNodeRef(node_), api_) : NodeRef(); }
    VSNode* get() const noexcept { return node_; }
    const VSAPI* api() const noexcept { return api_; }
    VSNode* release() noexcept { return std::exchange(node_, nullptr); }
    void reset() noexcept {
        if (node_ != nullptr) api_->freeNode(std::exchange(node_, nullptr));
    }
    explicit operator bool() const noexcept { return node_ != nullptr; }

private:
    VSNode* node_ = nullptr;
    const VSAPI* api_ = nullptr;
};

// One owned frame reference.
class FrameRef {
public:
    FrameRef() noexcept = default;
    FrameRef(const VSFrame* frame, const VSAPI* api) noexcept : frame_(frame), api_(api) {}
    FrameRef(FrameRef&& o) noexcept : frame_(std::exchange(o.frame_, nullptr)), api_(o.api_) {}
    FrameRef& operator=(FrameRef&& o) noexcept {
        if (this != &o) {
            reset();
            frame_ = std::exchange(o.frame_, nullptr);
            api_ = o.api_;
        }
        return *this;
    }
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;
    ~FrameRef() { reset(); }

    const VSFrame* get() const noexcept { return frame_; }
    const VSAPI* api() const noexcept { return api_; }
    const VSFrame* release() noexcept { return std::exchange(frame_, nullptr); }
    void reset() noexcept {
        if (frame_ != nullptr) api_->freeFrame(std::exchange(frame_, nullptr));
    }
    explicit operator bool() const noexcept { return frame_ != nullptr; }

private:
    const VSFrame* frame_ = nullptr;
    const VSAPI* api_ = nullptr;
};

// One owned map.
class MapRef {
public:
    MapRef() noexcept = default;
    MapRef(VSMap* map, const VSAPI* api) noexcept : map_(map), api_(api) {}
    static MapRef create(const VSAPI* api) noexcept { return MapRef(api->createMap(), api); }
    MapRef(MapRef&& o) noexcept : map_(std::exchange(o.map_, nullptr)), api_(o.api_) {}
    MapRef& operator=(MapRef&& o) noexcept {
        if (this != &o) {
            reset();
            map_ = std::exchange(o.map_, nullptr);
            api_ = o.api_;
        }
        return *this;
    }
    MapRef(const MapRef&) = delete;
    MapRef& operator=(const MapRef&) = delete;
    ~MapRef() { reset(); }

    VSMap* get() const noexcept { return map_; }
    const VSAPI* api() const noexcept { return api_; }
    void reset() noexcept {
        if (map_ != nullptr) api_->freeMap(std::exchange(map_, nullptr));
    }
    explicit operator bool() const noexcept { return map_ != nullptr; }

private:
    VSMap* map_ = nullptr;
    const VSAPI* api_ = nullptr;
};

}  // namespace lumeq
