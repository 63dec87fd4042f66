#include "cores/outputs.hpp"

#include "clips/video_node.hpp"
#include "cores/environment.hpp"
#include "runtime/args.hpp"

#include <string>
#include <utility>
#include <vector>

namespace lumeq {
namespace {

struct OutputRecord {
    PyRef clip;
    PyRef alpha;  // empty when no alpha clip was given
    int32_t alt_output = 0;
};

const OutputRecord& record_of(PyObject* self) { return unbox<OutputRecord>(self); }

PyRef tuple_view(PyObject* self) {
    const OutputRecord& record = record_of(self);
    PyRef alt = py_int(record.alt_output);
    PyObject* alpha = record.alpha ? record.alpha.get() : Py_None;
    return require_new(PyTuple_Pack(3, record.clip.get(), alpha, alt.get()));
}

PyRef output_clip(PyObject* self) { return record_of(self).clip.clone(); }
PyRef output_alpha(PyObject* self) {
    const OutputRecord& record = record_of(self);
    return record.alpha ? record.alpha.clone() : PyRef::none();
}
PyRef output_alt_output(PyObject* self) { return py_int(record_of(self).alt_output); }

Py_ssize_t output_len(PyObject*) { return 3; }

PyRef output_getitem(PyObject* self, PyObject* idx) {
    int64_t index = convert_named("idx", idx, to_i64);
    PyRef view = tuple_view(self);
    PyRef key = py_int(index);
    return require_new(PyObject_GetItem(view.get(), key.get()));
}

PyRef output_iter(PyObject* self) {
    PyRef view = tuple_view(self);
    return require_new(PyObject_GetIter(view.get()));
}

PyRef output_repr(PyObject* self) {
    const OutputRecord& record = record_of(self);
    std::string text = "VideoOutputTuple(clip=<VideoNode>, alpha=";
    text += record.alpha ? "<VideoNode>" : "None";
    text += ", alt_output=" + std::to_string(record.alt_output) + ")";
    return str_from_utf8(text);
}

PyGetSetDef output_getset[] = {
    {"clip", getter<output_clip>, nullptr, "A VideoNode-instance containing the color planes.", nullptr},
    {"alpha", getter<output_alpha>, nullptr, "A VideoNode-instance containing the alpha planes.", nullptr},
    {"alt_output", getter<output_alt_output>, nullptr,
     "An integer with the alternate output mode to be used. May be ignored if\nno meaningful mapping exists.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot output_slots[] = {
    {Py_tp_doc, const_cast<char*>("A registered output.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<OutputRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<output_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<output_iter>)},
    {Py_sq_length, reinterpret_cast<void*>(len_slot<output_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<output_getitem>)},
    {Py_tp_getset, output_getset},
    {0, nullptr},
};

PyType_Spec output_spec = {"lumeq.VideoOutputTuple", sizeof(PyBox<OutputRecord>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, output_slots};

void check_alpha(PyObject* main, PyObject* alpha) {
    const VideoNodeData& main_data = video_node_data(main);
    const VideoNodeData& alpha_data = video_node_data(alpha);
    const VSVideoInfo& mv = *main_data.node.api()->getVideoInfo(main_data.node.get());
    const VSVideoInfo& av = *alpha_data.node.api()->getVideoInfo(alpha_data.node.get());
    if (mv.width != av.width || mv.height != av.height)
        throw_runtime_error("Alpha clip dimensions must match the main video");
    if (mv.numFrames != av.numFrames) throw_runtime_error("Alpha clip length must match the main video");
    bool main_known = mv.format.colorFamily != cfUndefined;
    bool alpha_known = av.format.colorFamily != cfUndefined;
    if (main_known != alpha_known)
        throw_runtime_error("Format must be either known or unknown for both alpha and main clip");
    if (main_known && (av.format.colorFamily != cfGray || av.format.sampleType != mv.format.sampleType ||
                       av.format.bitsPerSample != mv.format.bitsPerSample))
        throw_runtime_error("Alpha clip format must match the main video");
}

// The current environment's output table; `environment` keeps it alive.
struct CurrentTable {
    PyRef environment;
    OutputTable& table;
};

CurrentTable current_table() {
    PyRef environment = env_current();
    if (!environment) throw_no_environment();
    OutputTable& table = environment_outputs(environment.get());
    return CurrentTable{std::move(environment), table};
}

void store_output(int32_t index, PyRef entry) {
    auto [environment, table] = current_table();
    PyRef replaced;  // dropped after the lock
    {
        std::lock_guard<std::mutex> lock(table.lock);
        PyRef& slot = table.entries[index];
        replaced = std::exchange(slot, std::move(entry));
    }
}

}  // namespace

PyTypeObject* video_output_tuple_type() {
    return lazy_type<output_spec>();
}

PyRef video_node_set_output(PyObject* self, const Args& args) {
    int32_t index = args.has(0) ? args.convert(0, to_i32) : 0;
    PyObject* alpha = nullptr;
    if (args.has(1) && args[1] != Py_None) {
        alpha = args.convert(1, [](PyObject* obj) {
            require_instance(obj, video_node_type());
            return obj;
        });
    }
    int32_t alt_output = args.has(2) ? args.convert(2, to_i32) : 0;
    if (alpha != nullptr) check_alpha(self, alpha);

    store_output(index, make_instance(video_output_tuple_type(),
                                      OutputRecord{PyRef::borrow(self), PyRef::borrow(alpha), alt_output}));
    return PyRef::none();
}

// An audio output is the clip itself: it has no alpha or alternate form.
PyRef audio_node_set_output(PyObject* self, const Args& args) {
    int32_t index = args.has(0) ? args.convert(0, to_i32) : 0;
    store_output(index, PyRef::borrow(self));
    return PyRef::none();
}

const Signature get_output_signature{"get_output", {"index"}, 1, 0, 0};

PyRef module_get_output(PyObject*, const Args& args) {
    int32_t index = args.has(0) ? args.convert(0, to_i32) : 0;
    auto [environment, table] = current_table();
    PyRef found;
    {
        std::lock_guard<std::mutex> lock(table.lock);
        auto it = table.entries.find(index);
        if (it != table.entries.end()) found = it->second.clone();
    }
    if (!found) throw PyError::with_arg(PyExc_KeyError, py_int(index));
    return found;
}

PyRef module_get_outputs(PyObject*) {
    auto [environment, table] = current_table();
    // Copied out first: building the dict allocates and must not run under the lock.
    std::vector<std::pair<int32_t, PyRef>> snapshot;
    {
        std::lock_guard<std::mutex> lock(table.lock);
        snapshot.reserve(table.entries.size());
        for (const auto& entry : table.entries) snapshot.emplace_back(entry.first, entry.second.clone());
    }
    PyRef dict = require_new(PyDict_New());
    for (const auto& [index, record] : snapshot) {
        PyRef key = py_int(index);
        require_status(PyDict_SetItem(dict.get(), key.get(), record.get()));
    }
    PyRef types = require_new(PyImport_ImportModule("types"));
    PyRef proxy_type = require_new(PyObject_GetAttrString(types.get(), "MappingProxyType"));
    return require_new(PyObject_CallFunctionObjArgs(proxy_type.get(), dict.get(), nullptr));
}

const Signature clear_output_signature{"clear_output", {"index"}, 1, 0, 0};

PyRef module_clear_output(PyObject*, const Args& args) {
    int32_t index = args.has(0) ? args.convert(0, to_i32) : 0;
    auto [environment, table] = current_table();
    PyRef removed;
    {
        std::lock_guard<std::mutex> lock(table.lock);
        auto it = table.entries.find(index);
        if (it != table.entries.end()) {
            removed = std::move(it->second);
            table.entries.erase(it);
        }
    }
    return PyRef::none();
}

PyRef module_clear_outputs(PyObject*) {
    auto [environment, table] = current_table();
    std::map<int32_t, PyRef> removed;
    {
        std::lock_guard<std::mutex> lock(table.lock);
        removed.swap(table.entries);
    }
    return PyRef::none();
}

}  // namespace lumeq
