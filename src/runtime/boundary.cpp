#include "runtime/boundary.hpp"

#include "runtime/process.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_map>

namespace lumeq {

// ------------------------------------------------------ allocation failure

namespace {
[[noreturn]] void allocation_failed(std::size_t size) noexcept {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", size);
    std::abort();
}
void* checked_malloc(std::size_t size) noexcept {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) allocation_failed(size);
    return p;
}
void* checked_aligned(std::size_t size, std::align_val_t align) noexcept {
    std::size_t a = static_cast<std::size_t>(align);
    std::size_t rounded = (size + a - 1) / a * a;
    void* p = std::aligned_alloc(a, rounded == 0 ? a : rounded);
    if (p == nullptr) allocation_failed(size);
    return p;
}
}  // namespace

}  // namespace lumeq

// lumeq has no recovery path for a failed allocation; these definitions are
// hidden, so they only serve the module's own code.
void* operator new(std::size_t size) { return lumeq::checked_malloc(size); }
void* operator new[](std::size_t size) { return lumeq::checked_malloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return lumeq::checked_malloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return lumeq::checked_malloc(size); }
void* operator new(std::size_t size, std::align_val_t a) { return lumeq::checked_aligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return lumeq::checked_aligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace lumeq {

ReleaseGil::ReleaseGil() noexcept : saved_depth_(attach_depth_ref()) {
    attach_depth_ref() = 0;
    state_ = PyEval_SaveThread();
}

namespace {

// A finalizing interpreter ends a thread that asks for the GIL with
// pthread_exit. Its unwinding would meet noexcept frames (destructors, the
// boundary) and abort the process, so the thread stays here instead, with
// nothing of ours held, until the process ends. The C call can raise
// nothing else; the catch takes no reference, since a forced unwind has no
// object to bind one to.
void take_back_gil(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) pause();
    }
}

}  // namespace

ReleaseGil::~ReleaseGil() {
    take_back_gil(state_);
    attach_depth_ref() = saved_depth_;
    drain_deferred();
}

AttachGil::AttachGil() : acquired_(attach_depth_ref() == 0) {
    if (acquired_) state_ = PyGILState_Ensure();
    ++attach_depth_ref();
    if (acquired_) drain_deferred();
}

AttachGil::~AttachGil() {
    --attach_depth_ref();
    if (acquired_) PyGILState_Release(state_);
}

// ------------------------------------------------------ errors

PyError PyError::message(PyObject* type, std::string text) {
    PyError e(Kind::Message, type);
    e.text_ = std::move(text);
    return e;
}
PyError PyError::no_args(PyObject* type) { return PyError(Kind::NoArgs, type); }
PyError PyError::with_arg(PyObject* type, PyRef arg) {
    PyError e(Kind::Arg, type);
    e.value_ = std::move(arg);
    return e;
}
PyError PyError::object(PyRef exception) {
    PyError e(Kind::Object, nullptr);
    e.value_ = std::move(exception);
    return e;
}

PyError::PyError(const PyError& other)
    : kind_(other.kind_), type_(other.type_), text_(other.text_), value_(other.value_.clone()) {}

PyRef PyError::into_object() const {
    switch (kind_) {
        case Kind::Object:
            return value_.clone();
        case Kind::NoArgs:
            return require_new(PyObject_CallNoArgs(type_));
        case Kind::Arg:
            return require_new(PyObject_CallFunctionObjArgs(type_, value_.get(), nullptr));
        case Kind::Message:
        default: {
            PyRef text = str_lossy(text_);
            return require_new(PyObject_CallFunctionObjArgs(type_, text.get(), nullptr));
        }
    }
}

void PyError::restore() const {
    PyRef exc = into_object();
    PyErr_SetRaisedException(exc.release());
}

[[noreturn]] void throw_runtime_error(std::string text) { throw PyError::message(PyExc_RuntimeError, std::move(text)); }
[[noreturn]] void throw_type_error(std::string text) { throw PyError::message(PyExc_TypeError, std::move(text)); }
[[noreturn]] void throw_value_error(std::string text) { throw PyError::message(PyExc_ValueError, std::move(text)); }
[[noreturn]] void throw_index_error(std::string text) { throw PyError::message(PyExc_IndexError, std::move(text)); }
[[noreturn]] void throw_attribute_error(std::string text) { throw PyError::message(PyExc_AttributeError, std::move(text)); }
[[noreturn]] void throw_buffer_error(std::string text) { throw PyError::message(PyExc_BufferError, std::move(text)); }
[[noreturn]] void internal_fault(std::string text) { throw InternalFault{std::move(text)}; }
namespace {
// Never destroyed: it may hold an exception when the interpreter ends.
PyRef& kept_interrupt() {
    static PyRef& slot = *new PyRef();
    return slot;
}
}  // namespace

void keep_interrupt(PyRef exception) { kept_interrupt() = std::move(exception); }

namespace {
struct KeptCallbackError {
    std::string text;
    PyRef exception;
};
constexpr size_t kKeptCallbackErrors = 8;

// Never destroyed, as the kept interrupt.
std::vector<KeptCallbackError>& kept_callback_errors() {
    static auto& kept = *new std::vector<KeptCallbackError>();
    return kept;
}

// The kept exception whose text `message` holds, taken out; empty if none.
PyRef take_callback_error_for(const std::string& message) {
    auto& kept = kept_callback_errors();
    for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry) {
        if (message.find(entry->text) == std::string::npos) continue;
        PyRef exception = std::move(entry->exception);
        kept.erase(std::next(entry).base());
        return exception;
    }
    return PyRef();
}
}  // namespace

void keep_callback_error(std::string text, PyRef exception) {
    require_status(PyException_SetTraceback(exception.get(), Py_None));
    auto& kept = kept_callback_errors();
    if (kept.size() == kKeptCallbackErrors) kept.erase(kept.begin());  // its render was never awaited
    kept.push_back({std::move(text), std::move(exception)});
}

[[noreturn]] void throw_vs_error(std::string_view text) {
    std::string message = lossy_utf8(text);
    park_daemon_refused_at_exit(message);
    if (PyRef& kept = kept_interrupt()) {
        PyRef name = require_new(PyType_GetName(Py_TYPE(kept.get())));
        if (message.find(to_utf8(name.get())) != std::string::npos) {
            PyRef exception = std::move(kept);
            PyRef note = str_lossy("while rendering: " + message);
            call_method(exception.get(), "add_note", {note.get()});
            throw PyError::object(std::move(exception));
        }
    }
    if (PyRef cause = take_callback_error_for(message)) {
        PyRef error = PyError::message(PyExc_RuntimeError, std::move(message)).into_object();
        PyException_SetCause(error.get(), cause.release());
        throw PyError::object(std::move(error));
    }
    throw_runtime_error(std::move(message));
}

namespace {
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when lumeq's native code, called from Python, hits an\n"
    "internal fault (a broken invariant of the module itself).\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it\n"
    "will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::string text_of(PyObject* exc) {
    PyRef s = PyRef::steal(PyObject_Str(exc));
    if (!s) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(data, static_cast<size_t>(size));
}

[[noreturn]] void resume_panic(PyRef exc) {
    std::string text = text_of(exc.get());
    std::fputs("lumeq: resuming an internal fault after it was fetched from Python\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_SetRaisedException(exc.release());
    PyErr_Print();
    throw InternalFault{std::move(text)};
}
}  // namespace

PyObject* panic_exception_type() {
    static GilOnceCell<PyObject*> cell;
    return cell.get([] {
        PyObject* type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (type == nullptr) throw PyErrSet{};
        return type;  // kept for the life of the process
    });
}

PyRef fetch_exception() {
    PyObject* raw = PyErr_GetRaisedException();
    if (raw == nullptr) {
        return require_new(PyObject_CallFunctionObjArgs(PyExc_SystemError, str_from_utf8("attempted to fetch exception but none was set").get(), nullptr));
    }
    PyRef exc = PyRef::steal(raw);
    if (Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(panic_exception_type()))) resume_panic(std::move(exc));
    return exc;
}

void discard_exception() { fetch_exception(); }

void discard_refusal() {
    // The errors a conversion raises when it does not apply (UnicodeError
    // covers text encoding); everything else reports a real failure.
    bool refusal = exception_matches(PyExc_TypeError) || exception_matches(PyExc_OverflowError) ||
                   exception_matches(PyExc_ValueError) || exception_matches(PyExc_UnicodeError);
    if (!refusal) throw PyErrSet{};
    discard_exception();
}

void discard_ordinary_exception() {
    if (!exception_matches(PyExc_Exception)) throw PyErrSet{};
    discard_exception();
}

bool exception_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

void add_note(PyObject* exception, const std::string& note) {
    PyRef text = str_from_utf8(note);
    call_method(exception, "add_note", {text.get()});
}

void throw_with_note(PyObject* type, std::string text, const std::string& note) {
    PyError error = PyError::message(type, std::move(text));
    if (note.empty()) throw error;
    PyRef exception = error.into_object();
    add_note(exception.get(), note);
    throw PyError::object(std::move(exception));
}

namespace detail {

AttachScope::AttachScope() noexcept {
    ++attach_depth_ref();
    drain_deferred();
}
AttachScope::~AttachScope() { --attach_depth_ref(); }

void raise_pending_or_system_error() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void raise_error(const PyError& error) noexcept {
    try {
        error.restore();
    } catch (const PyErrSet&) {
        raise_pending_or_system_error();
    } catch (const InternalFault& fault) {
        raise_fault(fault);
    }
}

void raise_fault(const InternalFault& fault) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (const PyErrSet&) {
        return;  // creating the type failed: its error stays set
    } catch (const InternalFault&) {
        abort_at_boundary();
    }
    const std::string& text = fault.text.empty() ? std::string("lumeq panicked in native code") : fault.text;
    PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!msg) return;
    PyErr_SetObject(type, msg.get());
}

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace detail

// ------------------------------------------------------ conversions

int32_t to_i32(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (v < INT32_MIN || v > INT32_MAX)
        throw PyError::message(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<int32_t>(v);
}

uint8_t to_u8(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (v < 0 || v > 255) throw PyError::message(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<uint8_t>(v);
}

int64_t to_i64(PyObject* obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return static_cast<int64_t>(v);
}

namespace {
std::string type_name(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    return to_utf8(name.get());
}
}  // namespace

void require_instance(PyObject* obj, PyTypeObject* type) {
    if (PyObject_TypeCheck(obj, type)) return;
    PyRef cls = PyRef::steal(PyType_GetName(type));
    std::string cls_name = cls ? to_utf8(cls.get()) : "?";
    std::string text;
    if (obj == Py_None) {
        text.append("'None' is not an instance of '");
    } else {
        text.append("'").append(type_name(obj)).append("' object is not an instance of '");
    }
    text.append(cls_name).append("'");
    throw_type_error(std::move(text));
}

bool to_bool(PyObject* obj) {
    require_instance(obj, &PyBool_Type);
    return obj == Py_True;
}

std::string to_utf8(PyObject* obj) {
    require_instance(obj, &PyUnicode_Type);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) throw PyErrSet{};
    return std::string(text, static_cast<size_t>(size));
}

PyRef str_from_utf8(std::string_view text) {
    return require_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string escaped_utf8(PyObject* text) {
    PyRef bytes = require_new(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    require_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<size_t>(size));
}

PyRef str_lossy(std::string_view bytes) {
    return require_new(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

// Replaces each maximal invalid subpart with U+FFFD, as Python's "replace"
// error handler does.
std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        size_t need = 0;                        // continuation bytes after the lead
        unsigned char low = 0x80, high = 0xBF;  // range of the first continuation
        bool lead = true;
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            lead = false;
        }
        size_t taken = 1;
        while (need > 0 && i + taken < n) {
            unsigned char next = s[i + taken];
            bool ok = taken == 1 ? (next >= low && next <= high) : (next & 0xC0) == 0x80;
            if (!ok) break;
            ++taken;
            --need;
        }
        if (lead && need == 0) {
            out.append(bytes.substr(i, taken));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += taken;
    }
    return out;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\0': out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

PyRef py_int(long long value) { return require_new(PyLong_FromLongLong(value)); }
PyRef py_uint(unsigned long long value) { return require_new(PyLong_FromUnsignedLongLong(value)); }

// ------------------------------------------------------ use flags

UseFlag::Shared::Shared(UseFlag& flag) : flag_(flag) {
    if (flag_.writer_) throw_runtime_error("Already mutably borrowed");
    ++flag_.readers_;
}

UseFlag::Exclusive::Exclusive(UseFlag& flag) : flag_(flag) {
    if (flag_.writer_ || flag_.readers_ > 0) throw_runtime_error("Already borrowed");
    flag_.writer_ = true;
}

// ------------------------------------------------------ types and names

PyTypeObject* build_type(PyType_Spec& spec, PyObject* base) {
    // Every class is lumeq's, whether or not the module publishes it: help(),
    // error texts and pickling name it so.
    std::string full_name = spec.name;
    if (full_name.find('.') == std::string::npos) full_name = "lumeq." + full_name;
    PyType_Spec named = spec;
    named.name = full_name.c_str();
    PyObject* type = base != nullptr ? PyType_FromSpecWithBases(&named, base) : PyType_FromSpec(&named);
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        internal_fault(std::string("failed to create type object for ") + spec.name);
    }
    return reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
}

PyObject* interned(const char* name) {
    // Guarded by the GIL; the strings live for the process.
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    PyObject* s = require(PyUnicode_InternFromString(name));
    cache.emplace(name, s);
    return s;
}

bool is_type_attribute(PyTypeObject* type, PyObject* name) {
    // Guarded by the GIL; our types live for the process, and so do their sets.
    static std::unordered_map<PyTypeObject*, PyObject*> names;
    auto it = names.find(type);
    if (it == names.end()) {
        PyRef listed = require_new(PyObject_Dir(reinterpret_cast<PyObject*>(type)));
        it = names.emplace(type, require(PyFrozenSet_New(listed.get()))).first;
    }
    return require_status(PySet_Contains(it->second, name)) == 1;
}

PyRef generic_attribute_or_null(PyObject* obj, PyObject* name) {
    PyRef found = PyRef::steal(PyObject_GenericGetAttr(obj, name));
    if (found) return found;
    if (!exception_matches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return PyRef();
}

PyRef call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) {
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(obj);
    argv.insert(argv.end(), args.begin(), args.end());
    return require_new(PyObject_VectorcallMethod(interned(name), argv.data(), argv.size(), nullptr));
}

}  // namespace lumeq
