#include "frames/video_frame.hpp"

#include "frames/enums.hpp"
#include "frames/frame_cell.hpp"
#include "frames/frame_props.hpp"
#include "frames/frame_write.hpp"
#include "runtime/args.hpp"
#include "runtime/buffer.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

namespace lumeq {
namespace {

// ------------------------------------------------------------ VideoFrame

// Members are destroyed in reverse order: the frame cell first, then the
// owner, then the cached format.
struct PyVideoFrame {
    PyRef format;  // write-once; touched only with the GIL held
    OwnerHandle owner;
    FrameCellRef cell;
};

PyVideoFrame& frame_of(PyObject* self) { return unbox<PyVideoFrame>(self); }

const VSVideoFormat& video_format(const PyVideoFrame& f) { return *f.cell.api()->getVideoFrameFormat(f.cell.frame()); }

PyRef frame_format(PyObject* self) {
    PyVideoFrame& f = frame_of(self);
    if (f.format) return f.format.clone();
    // Building may run Python code (allocation), so another thread can fill
    // the slot meanwhile; the first stored object wins.
    PyRef built = build_format(f.cell.frame(), f.owner);
    if (!f.format) f.format = std::move(built);
    return f.format.clone();
}

PyRef frame_width(PyObject* self) {
    const PyVideoFrame& f = frame_of(self);
    return py_int(f.cell.api()->getFrameWidth(f.cell.frame(), 0));
}

PyRef frame_height(PyObject* self) {
    const PyVideoFrame& f = frame_of(self);
    return py_int(f.cell.api()->getFrameHeight(f.cell.frame(), 0));
}

PyRef frame_props(PyObject* self) {
    const PyVideoFrame& f = frame_of(self);
    return frame_props_mapping(f.cell, f.owner);
}

PyRef frame_readonly(PyObject* self) { return PyRef::boolean(!frame_of(self).cell.writable()); }

PyRef frame_copy(PyObject* self) {
    const PyVideoFrame& f = frame_of(self);
    return make_instance(video_frame_type(),
                         PyVideoFrame{PyRef(), f.owner.clone(), copy_to_writable(f.cell, video_format(f).numPlanes)});
}

PyRef frame_repr_png(PyObject* self) { return display_png(self, "frame_png"); }

Py_ssize_t frame_len(PyObject* self) {
    int planes = video_format(frame_of(self)).numPlanes;
    if (planes < 0) throw PyError::no_args(PyExc_OverflowError);
    return planes;
}

struct PyPlane {
    char format[2];
    int ndim;  // 2 for a video plane, 1 for an audio channel
    const uint8_t* buf;
    Py_ssize_t shape[2];    // height, width (samples)
    Py_ssize_t strides[2];  // row stride, bytes per sample
    Py_ssize_t itemsize;
    FrameCellRef cell;  // declared last: released first
};

PyTypeObject* plane_type_object();

char sample_code(const VSVideoFormat& vf) {
    if (vf.sampleType == stFloat) {
        if (vf.bytesPerSample == 2) return 'e';
        if (vf.bytesPerSample == 4) return 'f';
    } else {
        if (vf.bytesPerSample == 1) return 'B';
        if (vf.bytesPerSample == 2) return 'H';
        if (vf.bytesPerSample == 4) return 'I';
    }
    throw_runtime_error(std::string("unsupported sample layout: ") + (vf.sampleType == stFloat ? "Float" : "Integer") +
                        "/" + std::to_string(vf.bytesPerSample) + " bytes");
}

PyRef frame_subscript(PyObject* self, PyObject* key) {
    int32_t index = convert_named("index", key, to_i32);
    const PyVideoFrame& f = frame_of(self);
    const VSVideoFormat& vf = video_format(f);
    if (index < 0 || index >= vf.numPlanes) throw_index_error("index out of range");
    char code = sample_code(vf);
    FrameCellRef cell = f.cell.clone();
    const VSAPI* api = cell.api();
    // A writable frame is read and written through its write pointers only:
    // taking one invalidates the read pointers handed out before.
    const uint8_t* ptr = cell.writable() ? api->getWritePtr(cell.write_frame(), index) : api->getReadPtr(cell.frame(), index);
    Py_ssize_t height = api->getFrameHeight(cell.frame(), index);
    Py_ssize_t width = api->getFrameWidth(cell.frame(), index);
    Py_ssize_t stride = api->getStride(cell.frame(), index);
    Py_ssize_t itemsize = vf.bytesPerSample;
    PyRef plane = make_instance(
        plane_type_object(), PyPlane{{code, '\0'}, 2, ptr, {height, width}, {stride, itemsize}, itemsize, std::move(cell)});
    return require_new(PyMemoryView_FromObject(plane.get()));
}

PyRef frame_item(PyObject* self, Py_ssize_t index) {
    PyRef key = py_int(index);
    return frame_subscript(self, key.get());
}

PyRef frame_repr(PyObject* self) {
    std::string name;
    try {
        PyRef fmt = frame_format(self);
        PyRef text = require_new(PyObject_GetAttrString(fmt.get(), "name"));
        name = to_utf8(text.get());
    } catch (const PyErrSet&) {
        discard_exception();
        name = "dynamic";
    } catch (const PyError&) {
        name = "dynamic";
    }
    const PyVideoFrame& f = frame_of(self);
    int width = f.cell.api()->getFrameWidth(f.cell.frame(), 0);
    int height = f.cell.api()->getFrameHeight(f.cell.frame(), 0);
    std::string w = "dynamic", h = "dynamic";
    if (width != 0 && height != 0) {
        w = std::to_string(width);
        h = std::to_string(height);
    }
    char address[32];
    std::snprintf(address, sizeof address, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(self));
    return str_from_utf8("<lumeq.VideoFrame object at 0x" + std::string(address) + " format=" + name +
                         ", width=" + w + ", height=" + h +
                         (f.cell.writable() ? ", readonly=False>" : ", readonly=True>"));
}

// `head`, then every plane's rows without their padding.
std::vector<ByteSpan> frame_spans(const PyVideoFrame& f, ByteSpan head) {
    const VSAPI* api = f.cell.api();
    const VSVideoFormat& vf = video_format(f);
    std::vector<ByteSpan> spans{head};
    for (int p = 0; p < vf.numPlanes; ++p) {
        // A writable frame is read through its write pointers, as planes are.
        const uint8_t* src = f.cell.writable() ? api->getWritePtr(f.cell.write_frame(), p) : api->getReadPtr(f.cell.frame(), p);
        size_t row = static_cast<size_t>(api->getFrameWidth(f.cell.frame(), p)) * static_cast<size_t>(vf.bytesPerSample);
        ptrdiff_t stride = api->getStride(f.cell.frame(), p);
        int height = api->getFrameHeight(f.cell.frame(), p);
        if (stride == static_cast<ptrdiff_t>(row)) {
            spans.push_back({src, row * static_cast<size_t>(height)});
            continue;
        }
        for (int y = 0; y < height; ++y) spans.push_back({src + y * stride, row});
    }
    return spans;
}

const Signature write_planes_signature{"VideoFrame._write_planes", {"fd", "head", "piece"}, 3, 0, 3};

// lumeq-pipe's writer: the frame to a descriptor with the interpreter lock
// let go once, not once per write. Signals are handled between writes and
// the writing resumes, as os.write does; an error raises its OSError.
PyRef frame_write_planes(PyObject* self, const Args& args) {
    int32_t fd = args.convert(0, to_i32);
    BufferHold head(args[1], PyBUF_SIMPLE);
    int64_t piece = args.convert(2, to_i64);
    if (piece < 0) throw_value_error("piece must be 0 or more");
    std::vector<ByteSpan> spans = frame_spans(frame_of(self), {head.data(), static_cast<size_t>(head.size())});
    size_t total = 0;
    for (const ByteSpan& span : spans) total += span.size;
    for (size_t written = 0;;) {
        WriteProgress progress{};
        {
            ReleaseGil unlocked;
            progress = write_spans(fd, spans, written, static_cast<size_t>(piece));
        }
        written = progress.written;
        if (progress.error == 0) break;
        if (progress.error == EINTR) {
            if (PyErr_CheckSignals() < 0) throw PyErrSet{};
            continue;
        }
        errno = progress.error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw PyErrSet{};
    }
    return py_int(static_cast<long long>(total));
}

// Named methods carry the docstrings; the C slots stay in charge of
// len() and subscripting.
PyObject* frame_len_method(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return py_int(frame_len(self)).release(); });
}

PyObject* frame_getitem_method(PyObject* self, PyObject* key) noexcept {
    return guard<PyObject*>(nullptr, [&] { return frame_subscript(self, key).release(); });
}

PyGetSetDef frame_getset[] = {
    {"width", getter<frame_width>, nullptr, "The width of the frame.", nullptr},
    {"height", getter<frame_height>, nullptr, "The height of the frame.", nullptr},
    {"format", getter<frame_format>, nullptr,
     "The frame's video format. Built once from the core and shared thereafter.", nullptr},
    {"props", getter<frame_props>, nullptr,
     "The frame's properties: a live, mutable mapping on a writable frame, a\nread-only mapping otherwise.", nullptr},
    {"readonly", getter<frame_readonly>, nullptr,
     "False for a frame made by `copy()` or `Core.create_video_frame` until it is\nhanded to VapourSynth.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef frame_methods[] = {
    {"__len__", frame_len_method, METH_NOARGS | METH_COEXIST,
     "The number of planes, so the frame acts as a sequence of planes."},
    {"__getitem__", frame_getitem_method, METH_O | METH_COEXIST,
     "Zero-copy plane accessor. `frame[plane_idx]` returns a read-only\n`memoryview` over the whole plane."},
    {"copy", method_noargs<frame_copy>, METH_NOARGS,
     "Returns a new, writable copy of the frame (pixels and properties)."},
    {"_write_planes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<write_planes_signature, frame_write_planes>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_write_planes(fd, head, piece): writes `head` and the planes, rows without\ntheir padding, to the descriptor; in "
     "pieces of `piece` bytes, or in as\nfew writes as it takes when 0. Returns the bytes written. For lumeq-pipe."},
    {"_repr_png_", method_noargs<frame_repr_png>, METH_NOARGS,
     "The frame as an 8-bit RGB PNG, converted as lumeq-preview shows it, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents a video frame and all metadata attached to it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyVideoFrame>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<frame_repr>)},
    {Py_mp_length, reinterpret_cast<void*>(len_slot<frame_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<frame_subscript>)},
    {Py_sq_item, reinterpret_cast<void*>(sq_item_slot<frame_item>)},
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, frame_methods},
    {0, nullptr},
};
PyType_Spec frame_spec = {"lumeq.VideoFrame", sizeof(PyBox<PyVideoFrame>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, frame_slots};

// ------------------------------------------------------------ Plane

char write_export_tag;

// Why the filled view cannot meet the contiguity the request names, or null
// when it can.
const char* contiguity_refusal(const Py_buffer* view, int flags) {
    bool c = (flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS;
    bool f = (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS;
    bool any = (flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS;
    if ((c || any) && !PyBuffer_IsContiguous(view, c ? 'C' : 'A'))
        return "contiguous buffer requested, but the plane's rows are padded";
    if (f && !PyBuffer_IsContiguous(view, 'F'))
        return "Fortran-contiguous buffer requested, but planes are stored row by row";
    return nullptr;
}

int plane_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    return guard<int>(-1, [&] {
        if (view == nullptr) throw_buffer_error("null view");
        view->obj = nullptr;
        PyPlane& p = unbox<PyPlane>(self);
        bool writable = p.cell.writable();
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && !writable) throw_buffer_error("frame planes are read-only");
        if (p.ndim == 2 && (flags & PyBUF_STRIDES) != PyBUF_STRIDES)
            throw_buffer_error("strided buffer required (planes are not C-contiguous)");
        view->buf = const_cast<uint8_t*>(p.buf);
        view->len = (p.ndim == 2 ? p.shape[0] * p.shape[1] : p.shape[0]) * p.itemsize;
        view->itemsize = p.itemsize;
        view->readonly = writable ? 0 : 1;
        view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? p.format : nullptr;
        view->ndim = p.ndim;
        // A channel is contiguous: it may go out without shape or strides.
        view->shape = (flags & PyBUF_ND) == PyBUF_ND ? p.shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? p.strides : nullptr;
        view->suboffsets = nullptr;
        // Marks a writable export, so that its release is counted.
        view->internal = writable ? &write_export_tag : nullptr;
        // A consumer that asked for a contiguous buffer trusts the layout
        // without reading the strides, so padded rows would read as pixels.
        if (const char* refusal = contiguity_refusal(view, flags)) throw_buffer_error(refusal);
        if (writable) p.cell.add_write_export();
        view->obj = PyRef::borrow(self).release();
        return 0;
    });
}

void plane_releasebuffer(PyObject* self, Py_buffer* view) noexcept {
    // The view's reference to the Plane keeps the frame; only a writable
    // export is counted.
    guard<int>(0, [&] {
        if (view->internal == &write_export_tag) unbox<PyPlane>(self).cell.remove_write_export();
        return 0;
    });
}

PyType_Slot plane_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyPlane>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(plane_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(plane_releasebuffer)},
    {0, nullptr},
};
PyType_Spec plane_spec = {"Plane", sizeof(PyBox<PyPlane>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          plane_slots};

PyTypeObject* plane_type_object() {
    return lazy_type<plane_spec>();
}

}  // namespace

PyTypeObject* video_frame_type() {
    return lazy_type<frame_spec>();
}

PyTypeObject* plane_type() { return plane_type_object(); }

PyRef make_channel_view(FrameCellRef cell, const uint8_t* samples, char code, Py_ssize_t count, Py_ssize_t itemsize) {
    PyRef channel = make_instance(
        plane_type_object(), PyPlane{{code, '\0'}, 1, samples, {count, 0}, {itemsize, 0}, itemsize, std::move(cell)});
    return require_new(PyMemoryView_FromObject(channel.get()));
}

std::optional<FrameRef> video_frame_for_map(PyObject* obj) {
    if (!Py_IS_TYPE(obj, video_frame_type())) return std::nullopt;
    const FrameCellRef& cell = frame_of(obj).cell;
    cell.hand_over();
    return FrameRef(cell.api()->addFrameRef(cell.frame()), cell.api());
}

PyRef make_writable_video_frame(VSFrame* frame, OwnerHandle owner) {
    FrameCellRef cell = FrameCellRef::writable(frame, owner.clone());
    return make_instance(video_frame_type(), PyVideoFrame{PyRef(), std::move(owner), std::move(cell)});
}

PyRef display_png(PyObject* shown, const char* converter) {
    PyRef display = require_new(PyImport_ImportModule("lumeq_preview.display"));
    return call_method(display.get(), converter, {shown});
}

PyRef make_video_frame(FrameRef frame, OwnerHandle owner) {
    if (!frame) internal_fault("frame construction without a frame");
    return make_instance(video_frame_type(), PyVideoFrame{PyRef(), owner.clone(), FrameCellRef(std::move(frame), std::move(owner))});
}

}  // namespace lumeq
