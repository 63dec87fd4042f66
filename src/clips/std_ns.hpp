// Std: the std plugin functions behind the clip operators.
#pragma once

#include "runtime/owner.hpp"

#include <optional>
#include <vector>

namespace lumeq {

class StdSpliceBuilder {
public:
    void push(NodeRef node) { nodes_.push_back(std::move(node)); }
    std::vector<NodeRef>& nodes() { return nodes_; }

private:
    std::vector<NodeRef> nodes_;
};

// The clip operators over either node kind: audio nodes go through the
// Audio* counterparts, which count sample frames instead of frames.
class Std {
public:
    explicit Std(const OwnerHandle& owner, bool audio = false) : owner_(owner), audio_(audio) {}
    NodeRef trim(NodeRef node, std::optional<int64_t> first, std::optional<int64_t> last) const;
    NodeRef repeat(NodeRef node, int64_t times) const;
    NodeRef splice(StdSpliceBuilder builder) const;
    NodeRef reverse(NodeRef node) const;
    NodeRef select_every(NodeRef node, int64_t cycle, int64_t offset) const;

private:
    const char* name(const char* video, const char* audio) const { return audio_ ? audio : video; }

    const OwnerHandle& owner_;  // borrowed
    bool audio_;
};

}  // namespace lumeq
