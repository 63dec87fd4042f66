// AudioNode: one VapourSynth audio node.
#pragma once

#include "runtime/owner.hpp"

namespace lumeq {

PyTypeObject* audio_node_type();

// Immutable state of an AudioNode. Destruction releases the node first,
// then the owner handle (member order).
struct AudioNodeData {
    OwnerHandle owner;
    NodeRef node;
};

PyRef make_audio_node(NodeRef node, OwnerHandle owner);
bool is_audio_node(PyObject* obj);
// The state of an AudioNode; `obj` must be one (checked by the caller).
const AudioNodeData& audio_node_data(PyObject* obj);

}  // namespace lumeq
