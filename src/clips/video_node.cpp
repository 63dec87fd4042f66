#include "clips/video_node.hpp"

#include "clips/async.hpp"
#include "clips/clip.hpp"
#include "clips/clip_ops.hpp"
#include "clips/frame_iter.hpp"
#include "clips/node_timing.hpp"
#include "frames/enums.hpp"
#include "frames/video_frame.hpp"
#include "runtime/args.hpp"

#include <climits>
#include <cstring>
#include <string>

namespace lumeq {
namespace {

const VSVideoInfo& video_info(PyObject* self) {
    const VideoNodeData& data = video_node_data(self);
    return *data.node.api()->getVideoInfo(data.node.get());
}

Py_ssize_t node_len(PyObject* self) {
    int frames = video_info(self).numFrames;
    return frames > 0 ? frames : 0;
}

PyRef node_num_frames(PyObject* self) { return py_int(video_info(self).numFrames); }
PyRef node_width(PyObject* self) { return py_int(video_info(self).width); }
PyRef node_height(PyObject* self) { return py_int(video_info(self).height); }

PyObject* fraction_class() {
    static GilOnceCell<PyObject*> cls;
    return cls.get([] {
        PyRef module = require_new(PyImport_ImportModule("fractions"));
        return require_new(PyObject_GetAttrString(module.get(), "Fraction")).release();  // kept for the process
    });
}

PyRef node_fps(PyObject* self) {
    const VSVideoInfo& vi = video_info(self);
    // A variable frame rate has denominator 0; it reads as 0/1.
    PyRef num = py_int(vi.fpsDen == 0 ? 0 : vi.fpsNum);
    PyRef den = py_int(vi.fpsDen == 0 ? 1 : vi.fpsDen);
    return require_new(PyObject_CallFunctionObjArgs(fraction_class(), num.get(), den.get(), nullptr));
}

PyRef node_format_name(PyObject* self) {
    const VideoNodeData& data = video_node_data(self);
    char buffer[32] = {};
    if (data.node.api()->getVideoFormatName(&video_info(self).format, buffer) == 0) return PyRef::none();
    return str_lossy(std::string_view(buffer, strnlen(buffer, 31)));
}

PyRef node_format(PyObject* self) {
    const VSVideoInfo& vi = video_info(self);
    if (vi.format.colorFamily == cfUndefined) return PyRef::none();
    return build_video_format(vi.format, video_node_data(self).owner);
}

PyRef node_repr(PyObject* self) {
    const VSVideoInfo& vi = video_info(self);
    std::string text = "<lumeq.VideoNode " + std::to_string(vi.width) + "x" + std::to_string(vi.height) + ", " +
                       std::to_string(vi.numFrames) + " frames, " + std::to_string(vi.fpsNum) + "/" +
                       std::to_string(vi.fpsDen) + " fps>";
    return str_from_utf8(text);
}

const Signature get_frame_signature{"VideoNode.get_frame", {"n"}, 1, 0, 1};

PyRef video_frame_at(PyObject* self, int32_t n) {
    const VideoNodeData& data = video_node_data(self);
    return make_video_frame(render_frame(data.node, n), data.owner.clone());
}

PyRef node_get_frame(PyObject* self, const Args& args) { return video_frame_at(self, args.convert(0, to_i32)); }

// The usual call, get_frame(n) with an int in range, skips the general
// parser; anything else takes it, with its checks and messages.
PyObject* node_get_frame_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 1 && kwnames == nullptr && PyLong_CheckExact(args[0])) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(args[0], &overflow);
        if (overflow == 0 && n >= INT32_MIN && n <= INT32_MAX)
            return guard<PyObject*>(nullptr, [&] { return video_frame_at(self, static_cast<int32_t>(n)).release(); });
    }
    return method<get_frame_signature, node_get_frame>(self, args, nargs, kwnames);
}

// ------------------------------------------------------------ operators

const NodeRef& node_of(PyObject* self) { return video_node_data(self).node; }
const OwnerHandle& owner_of(PyObject* self) { return video_node_data(self).owner; }
int64_t frame_count(PyObject* self) { return video_info(self).numFrames; }

const ClipKind video_kind{false, "VideoNode", is_video_node, node_of, owner_of, frame_count, make_video_node};

PyRef node_subscript(PyObject* self, PyObject* key) { return clip_subscript(video_kind, self, key); }
PyRef node_item(PyObject* self, Py_ssize_t index) { return clip_item(video_kind, self, index); }
PyRef node_add(PyObject* left, PyObject* right) { return clip_add(video_kind, left, right); }
PyRef node_multiply(PyObject* left, PyObject* right) { return clip_multiply(video_kind, left, right); }
PyRef node_repr_png(PyObject* self) { return display_png(self, "clip_png"); }

PyGetSetDef node_getset[] = {
    {"num_frames", getter<node_num_frames>, nullptr, "The number of frames in the clip.", nullptr},
    {"width", getter<node_width>, nullptr,
     "The width of the video. This value will be 0 if the width and height can\nchange between frames.", nullptr},
    {"height", getter<node_height>, nullptr,
     "The height of the video. This value will be 0 if the width and height can\nchange between frames.", nullptr},
    {"fps", getter<node_fps>, nullptr,
     "The framerate represented as a Fraction. It is 0/1 when the clip has a\nvariable framerate.", nullptr},
    {"format_name", getter<node_format_name>, nullptr, "The name of the clip's video format, or None.", nullptr},
    {"format", getter<node_format>, nullptr, "The clip's `VideoFormat`, or None when it varies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef node_methods[] = {
    {"get_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_get_frame_method)),
     METH_FASTCALL | METH_KEYWORDS, "Returns a `VideoFrame` from position n."},
    {"get_frame_async",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(method<get_frame_async_signature, node_get_frame_async>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Renders frame `n` concurrently in the core's thread pool. Returns a\ncoroutine resolving to the `VideoFrame`."},
    {"frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<frames_signature, node_frames>)),
     METH_FASTCALL | METH_KEYWORDS,
     "Returns a generator iterator of all `VideoFrame`s in the clip. It will\nrender multiple frames concurrently.\n\n"
     "`prefetch` is the number of frames to render concurrently, defaulting to\nthe core's thread count. `backlog` is "
     "how many unconsumed frames may be\nbuffered ahead of the consumer, defaulting to `prefetch * 3`."},
    {"set_output",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<video_set_output_signature, video_clip_set_output>)),
     METH_FASTCALL | METH_KEYWORDS, "Registers this clip as an output on the current environment."},
    {"filter_times", method_noargs<node_filter_times>, METH_NOARGS,
     "Returns a list of (filter name, nanoseconds) pairs: the processing time\nof this node and of each node it "
     "depends on, each once, counted while\nthe core's `node_timing` is on."},
    {"__dir__", method_noargs<clip_dir>, METH_NOARGS, "The clip's members and the plugin namespaces of its core."},
    {"_repr_png_", method_noargs<node_repr_png>, METH_NOARGS,
     "The clip's first frame as an 8-bit RGB PNG, converted as lumeq-preview shows it, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents a video clip.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<VideoNodeData>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<node_repr>)},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<clip_getattro>)},
    {Py_mp_length, reinterpret_cast<void*>(len_slot<node_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<node_subscript>)},
    {Py_sq_item, reinterpret_cast<void*>(sq_item_slot<node_item>)},
    {Py_nb_add, reinterpret_cast<void*>(binary_slot<node_add>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary_slot<node_multiply>)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {0, nullptr},
};

PyType_Spec node_spec = {"VideoNode", sizeof(PyBox<VideoNodeData>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, node_slots};

}  // namespace

PyTypeObject* video_node_type() {
    return lazy_type<node_spec>();
}

PyRef make_video_node(NodeRef node, OwnerHandle owner) {
    return make_instance(video_node_type(), VideoNodeData{std::move(owner), std::move(node)});
}

bool is_video_node(PyObject* obj) { return Py_IS_TYPE(obj, video_node_type()); }

const VideoNodeData& video_node_data(PyObject* obj) { return unbox<VideoNodeData>(obj); }

}  // namespace lumeq
