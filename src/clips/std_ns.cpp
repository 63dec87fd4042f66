#include "clips/std_ns.hpp"

#include "runtime/map_ext.hpp"

namespace lumeq {

namespace {
// Invokes std.F and takes the node under "clip" of the result.
NodeRef call_std(const OwnerHandle& owner, const char* function, const std::function<void(VSMap*)>& fill) {
    MapRef result = owner.invoke("std", function, fill);
    return map_ext::get_node(result.get(), owner.api(), "clip");
}
}  // namespace

NodeRef Std::trim(NodeRef node, std::optional<int64_t> first, std::optional<int64_t> last) const {
    return call_std(owner_, name("Trim", "AudioTrim"), [&](VSMap* map) {
        map_ext::set_node(map, "clip", std::move(node));
        if (first) map_ext::set_int(map, owner_.api(), "first", *first);
        if (last) map_ext::set_int(map, owner_.api(), "last", *last);
    });
}

NodeRef Std::repeat(NodeRef node, int64_t times) const {
    return call_std(owner_, name("Loop", "AudioLoop"), [&](VSMap* map) {
        map_ext::set_node(map, "clip", std::move(node));
        map_ext::set_int(map, owner_.api(), "times", times);
    });
}

NodeRef Std::splice(StdSpliceBuilder builder) const {
    return call_std(owner_, name("Splice", "AudioSplice"), [&](VSMap* map) {
        for (NodeRef& node : builder.nodes()) map_ext::push_node(map, "clips", std::move(node));
    });
}

NodeRef Std::reverse(NodeRef node) const {
    return call_std(owner_, name("Reverse", "AudioReverse"), [&](VSMap* map) { map_ext::set_node(map, "clip", std::move(node)); });
}

NodeRef Std::select_every(NodeRef node, int64_t cycle, int64_t offset) const {
    return call_std(owner_, "SelectEvery", [&](VSMap* map) {
        map_ext::set_node(map, "clip", std::move(node));
        map_ext::set_int(map, owner_.api(), "cycle", cycle);
        map_ext::set_int(map, owner_.api(), "offsets", offset);
    });
}

}  // namespace lumeq
