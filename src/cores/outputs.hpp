// The output registry: set_output on both clip kinds, the VideoOutputTuple
// records, and the module functions that read and clear the current
// environment's outputs.
#pragma once

#include "runtime/args.hpp"

namespace lumeq {

PyTypeObject* video_output_tuple_type();

// VideoNode.set_output and AudioNode.set_output (clips parses their
// arguments: clip.hpp's signatures).
PyRef video_node_set_output(PyObject* self, const Args& args);
PyRef audio_node_set_output(PyObject* self, const Args& args);

extern const Signature get_output_signature;
extern const Signature clear_output_signature;
PyRef module_get_output(PyObject* module, const Args& args);
PyRef module_get_outputs(PyObject* module);
PyRef module_clear_output(PyObject* module, const Args& args);
PyRef module_clear_outputs(PyObject* module);

}  // namespace lumeq
