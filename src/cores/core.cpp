#include "cores/core.hpp"

#include "calls/introspect.hpp"
#include "calls/plugin.hpp"
#include "clips/node_timing.hpp"
#include "cores/log.hpp"
#include "frames/audio_format.hpp"
#include "frames/enums.hpp"
#include "frames/video_frame.hpp"
#include "runtime/args.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lumeq {

// ------------------------------------------------------------ Core

namespace {

struct PyCore {
    OwnerHandle owner;
    mutable PluginMemo plugins;  // released before the owner
};

struct PyPluginIter {
    std::vector<std::string> namespaces;
    OwnerHandle owner;
    size_t position = 0;
    UseFlag use;
};

// A cache size in MiB whose byte count fits VapourSynth's signed 64-bit field.
int64_t to_cache_mb(PyObject* obj) {
    int64_t mb = to_i64(obj);
    if (mb > (INT64_MAX >> 20) || mb < (INT64_MIN >> 20))
        throw PyError::message(PyExc_OverflowError, "cache size in bytes does not fit a signed 64-bit integer");
    return mb;
}

const Signature core_new_signature{"Core.__new__", {"threads", "max_cache_size"}, 2, 0, 0};

PyObject* core_tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        Args parsed = parse_tuple_args(core_new_signature, args, kwargs);
        std::optional<int32_t> threads;
        std::optional<int64_t> cache;
        if (parsed.has(0) && parsed[0] != Py_None) threads = parsed.convert(0, to_i32);
        if (parsed.has(1) && parsed[1] != Py_None) cache = parsed.convert(1, to_cache_mb);
        return core_new(threads, cache).release();
    });
}

VSCoreInfo core_info(PyObject* self) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    VSCoreInfo info{};
    owner.api()->getCoreInfo(owner.core(), &info);
    return info;
}

PyRef core_get_num_threads(PyObject* self) { return py_int(core_info(self).numThreads); }

void core_set_num_threads(PyObject* self, PyObject* value) {
    int32_t threads = convert_named("value", value, to_i32);
    if (threads < 0) throw_value_error("Number of threads must not be negative");
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    owner.api()->setThreadCount(threads, owner.core());
}

PyRef core_get_max_cache_size(PyObject* self) {
    int64_t bytes = core_info(self).maxFramebufferSize;
    return py_int((bytes + 1048575) / 1048576);
}

void core_set_max_cache_size(PyObject* self, PyObject* value) {
    int64_t mb = convert_named("mb", value, to_cache_mb);
    if (mb < 1) throw_value_error("Maximum cache size must be a positive number");
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    owner.api()->setMaxCacheSize(mb * 1048576, owner.core());
}

PyRef core_get_node_timing(PyObject* self) { return core_node_timing(unbox<PyCore>(self).owner); }
void core_set_node_timing(PyObject* self, PyObject* value) { set_core_node_timing(unbox<PyCore>(self).owner, value); }

PyRef core_plugins(PyObject* self) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    const VSAPI* api = owner.api();
    PyPluginIter iter;
    for (VSPlugin* p = api->getNextPlugin(nullptr, owner.core()); p != nullptr; p = api->getNextPlugin(p, owner.core()))
        iter.namespaces.emplace_back(api->getPluginNamespace(p));
    iter.owner = owner.clone();
    return make_instance(plugin_iter_type(), std::move(iter));
}

PyRef core_version(PyObject* self) { return str_lossy(core_info(self).versionString); }
PyRef core_version_number(PyObject* self) { return py_int(core_info(self).core); }

int32_t format_code(PyObject* value) {
    if (std::optional<int64_t> n = enum_or_format_value(value)) return static_cast<int32_t>(*n);
    return to_i32(value);
}

int32_t format_arg(const Args& args, size_t i, int32_t fallback) {
    return args.has(i) ? args.convert(i, format_code) : fallback;
}

const Signature get_video_format_signature{"Core.get_video_format", {"id"}, 1, 0, 1};

VSVideoFormat format_by_id(const OwnerHandle& owner, int32_t id);

PyRef core_get_video_format(PyObject* self, const Args& args) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    return build_video_format(format_by_id(owner, format_arg(args, 0, 0)), owner);
}

const Signature query_video_format_signature{
    "Core.query_video_format",
    {"color_family", "sample_type", "bits_per_sample", "subsampling_w", "subsampling_h"}, 5, 0, 3};

PyRef core_query_video_format(PyObject* self, const Args& args) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    VSVideoFormat format{};
    if (owner.api()->queryVideoFormat(&format, format_arg(args, 0, 0), format_arg(args, 1, 0), format_arg(args, 2, 0),
                                      format_arg(args, 3, 0), format_arg(args, 4, 0), owner.core()) == 0)
        throw_value_error("invalid video format");
    return build_video_format(format, owner);
}

const Signature query_audio_format_signature{
    "Core.query_audio_format", {"sample_type", "bits_per_sample", "channels"}, 3, 0, 3};

PyRef core_query_audio_format(PyObject* self, const Args& args) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    uint64_t layout = args.convert(2, layout_from_positions);
    VSAudioFormat format{};
    if (owner.api()->queryAudioFormat(&format, format_arg(args, 0, 0), format_arg(args, 1, 0), layout,
                                      owner.core()) == 0)
        throw_value_error("invalid audio format");
    return build_audio_format(format, owner);
}

const Signature create_video_frame_signature{"Core.create_video_frame", {"format", "width", "height"}, 3, 0, 3};

VSVideoFormat format_by_id(const OwnerHandle& owner, int32_t id) {
    VSVideoFormat format{};
    // An id whose family is undefined decodes without error but names no format.
    if (owner.api()->getVideoFormatByID(&format, static_cast<uint32_t>(id), owner.core()) == 0 ||
        format.colorFamily == cfUndefined)
        throw_value_error("invalid video format id: " + std::to_string(id));
    return format;
}

// Zeroed, so a frame never shows what its memory held before.
void clear_planes(const VSAPI* api, VSFrame* frame, const VSVideoFormat& format) {
    for (int plane = 0; plane < format.numPlanes; ++plane) {
        size_t row = static_cast<size_t>(api->getFrameWidth(frame, plane)) * static_cast<size_t>(format.bytesPerSample);
        uint8_t* data = api->getWritePtr(frame, plane);
        ptrdiff_t stride = api->getStride(frame, plane);
        for (int y = 0; y < api->getFrameHeight(frame, plane); ++y) std::memset(data + y * stride, 0, row);
    }
}

PyRef core_create_video_frame(PyObject* self, const Args& args) {
    const OwnerHandle& owner = unbox<PyCore>(self).owner;
    VSVideoFormat format = format_by_id(owner, args.convert(0, format_code));
    int32_t width = args.convert(1, to_i32);
    int32_t height = args.convert(2, to_i32);
    // VapourSynth aborts the process on sizes it cannot subsample.
    if (width <= 0 || height <= 0 || width % (1 << format.subSamplingW) != 0 ||
        height % (1 << format.subSamplingH) != 0)
        throw_value_error("invalid frame size " + std::to_string(width) + "x" + std::to_string(height) +
                          " for the format: both must be positive and divisible by its subsampling");
    VSFrame* frame = owner.api()->newVideoFrame(&format, width, height, nullptr, owner.core());
    if (frame == nullptr) throw_runtime_error("VapourSynth could not create the frame");
    clear_planes(owner.api(), frame, format);
    return make_writable_video_frame(frame, owner.clone());
}

// Members first; only their AttributeError leads to a plugin lookup.
PyRef core_getattro(PyObject* self, PyObject* name) {
    if (is_type_attribute(Py_TYPE(self), name)) return require_new(PyObject_GenericGetAttr(self, name));
    std::string text = to_utf8(name);
    const PyCore& core = unbox<PyCore>(self);
    const OwnerHandle& owner = core.owner;
    if (PyRef known = core.plugins.find(owner, text)) return known;
    if (text.find('\0') == std::string::npos) {
        if (VSPlugin* found = owner.api()->getPluginByNamespace(text.c_str(), owner.core()))
            return core.plugins.add(owner, std::move(text), found);
    }
    if (PyRef found = generic_attribute_or_null(self, name)) return found;
    if (text.find('\0') != std::string::npos) throw_attribute_error("invalid namespace " + quoted(text));
    throw_with_note(PyExc_AttributeError, "no plugin with namespace '" + text + "'", namespace_suggestion(text, owner));
}

PyRef core_dir(PyObject* self) { return dir_with(self, plugin_namespaces(unbox<PyCore>(self).owner)); }

PyGetSetDef core_getset[] = {
    {"num_threads", getter<core_get_num_threads>, setter<core_set_num_threads>,
     "The number of concurrent threads used by the core.", nullptr},
    {"max_cache_size", getter<core_get_max_cache_size>, setter<core_set_max_cache_size>,
     "The upper framebuffer cache size, rounded up to whole mebibytes (MiB),\nafter which memory is aggressively freed.",
     nullptr},
    {"node_timing", getter<core_get_node_timing>, setter<core_set_node_timing>,
     "Whether the core measures the time each filter node spends processing\nframes (see `VideoNode.filter_times`).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef core_methods[] = {
    {"plugins", method_noargs<core_plugins>, METH_NOARGS,
     "Yields all loaded plugins as an iterator of `Plugin` objects."},
    {"version", method_noargs<core_version>, METH_NOARGS, "Returns the version text of the VapourSynth core."},
    {"get_video_format",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<get_video_format_signature, core_get_video_format>)),
     METH_FASTCALL | METH_KEYWORDS, "Returns the `VideoFormat` with the given id; an unknown id raises ValueError."},
    {"query_video_format",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<query_video_format_signature, core_query_video_format>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Returns the `VideoFormat` with the given properties; an invalid combination raises ValueError."},
    {"query_audio_format",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<query_audio_format_signature, core_query_audio_format>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Returns the `AudioFormat` with the given sample type, bits per sample and channel positions; an invalid\n"
     "combination raises ValueError."},
    {"create_video_frame",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<create_video_frame_signature, core_create_video_frame>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Returns a new writable `VideoFrame` of the given format and size, all samples zero."},
    {"version_number", method_noargs<core_version_number>, METH_NOARGS,
     "Returns the version number of the VapourSynth core."},
    {"__dir__", method_noargs<core_dir>, METH_NOARGS, "The core's members and its plugin namespaces."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(core_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyCore>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<core_getattro>)},
    {Py_tp_getset, core_getset},
    {Py_tp_methods, core_methods},
    {0, nullptr},
};

PyType_Spec core_spec = {"Core", sizeof(PyBox<PyCore>), 0, Py_TPFLAGS_DEFAULT, core_slots};

// ------------------------------------------------------------ PluginIter

PyRef plugin_iter_iter(PyObject* self) {
    UseFlag::Shared use(unbox<PyPluginIter>(self).use);
    return PyRef::borrow(self);
}

PyRef plugin_iter_next(PyObject* self) {
    PyPluginIter& iter = unbox<PyPluginIter>(self);
    UseFlag::Exclusive use(iter.use);
    if (iter.position >= iter.namespaces.size()) return PyRef();
    std::string ns = iter.namespaces[iter.position++];
    return make_plugin(iter.owner.clone(), std::move(ns));
}

PyObject* plugin_iter_next_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] { return plugin_iter_next(self).release(); });
}

PyType_Slot plugin_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over the plugins loaded in a core.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyPluginIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<plugin_iter_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(plugin_iter_next_slot)},
    {0, nullptr},
};

PyType_Spec plugin_iter_spec = {"PluginIter", sizeof(PyBox<PyPluginIter>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, plugin_iter_slots};

}  // namespace

PyTypeObject* core_type() {
    return lazy_type<core_spec>();
}

PyTypeObject* plugin_iter_type() {
    return lazy_type<plugin_iter_spec>();
}

PyRef core_new(std::optional<int32_t> threads, std::optional<int64_t> max_cache_mb) {
    const VSAPI* api = apis().api;
    watch_forks();
    VSCore* core = api->createCore(0);
    OwnerHandle owner = OwnerHandle::create(core, api);
    add_log_handler(core, api);
    if (max_cache_mb) api->setMaxCacheSize(*max_cache_mb * 1048576, core);
    if (threads) api->setThreadCount(*threads, core);
    return make_instance(core_type(), PyCore{std::move(owner)});
}

const OwnerHandle& core_owner(PyObject* core) { return unbox<PyCore>(core).owner; }

}  // namespace lumeq
