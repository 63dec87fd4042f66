#include "clips/node_timing.hpp"

#include "clips/video_node.hpp"
#include "runtime/args.hpp"

#include <unordered_set>
#include <vector>

namespace lumeq {

PyRef core_node_timing(const OwnerHandle& owner) {
    return PyRef::boolean(owner.api()->getCoreNodeTiming(owner.core()) != 0);
}

void set_core_node_timing(const OwnerHandle& owner, PyObject* value) {
    bool enable = convert_named("value", value, to_bool);
    owner.api()->setCoreNodeTiming(owner.core(), enable ? 1 : 0);
}

namespace {

struct NodeTime {
    std::string name;
    int64_t nanoseconds;
};

// Depth-first over the dependencies with an explicit stack: graphs of
// thousands of nodes must not exhaust the C stack. The nodes stay alive
// through the root, which holds its whole graph.
std::vector<NodeTime> walk_graph(VSNode* root, const VSAPI* api) {
    std::vector<NodeTime> times;
    std::unordered_set<VSNode*> seen{root};
    std::vector<VSNode*> pending{root};
    while (!pending.empty()) {
        VSNode* node = pending.back();
        pending.pop_back();
        const char* name = api->getNodeName(node);
        times.push_back({name != nullptr ? name : "", api->getNodeProcessingTime(node, 0)});
        for (int i = api->getNumNodeDependencies(node) - 1; i >= 0; --i) {
            VSNode* source = api->getNodeDependency(node, i)->source;
            if (seen.insert(source).second) pending.push_back(source);
        }
    }
    return times;
}

}  // namespace

PyRef node_filter_times(PyObject* self) {
    const VideoNodeData& data = video_node_data(self);
    std::vector<NodeTime> times = walk_graph(data.node.get(), data.node.api());
    PyRef list = require_new(PyList_New(0));
    for (const NodeTime& entry : times) {
        PyRef name = str_lossy(entry.name);
        PyRef ns = py_int(entry.nanoseconds);
        PyRef pair = require_new(PyTuple_Pack(2, name.get(), ns.get()));
        require_status(PyList_Append(list.get(), pair.get()));
    }
    return list;
}

}  // namespace lumeq
