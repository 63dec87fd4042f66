// The Python boundary: error kinds, the one wrapper every entry from Python
// goes through, GIL scopes, deferred release, standard conversions, use
// flags and one-time initialisation. Argument parsing is in args.hpp.
#pragma once

#include "runtime/py_ref.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace lumeq {

// ---------------------------------------------------------------- errors

// A CPython call failed and left its exception set.
struct PyErrSet {};

// A Python error to raise: a type with a message, with one argument, with
// none, or an exception object. The exception object is made only on raise.
class PyError {
public:
    static PyError message(PyObject* type, std::string text);
    static PyError no_args(PyObject* type);
    static PyError with_arg(PyObject* type, PyRef arg);
    static PyError object(PyRef exception);

    PyError(const PyError& other);
    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // Sets this error as the thread's current exception.
    void restore() const;
    // Builds the exception object (as raise would).
    PyRef into_object() const;

private:
    enum class Kind { Message, NoArgs, Arg, Object };
    PyError(Kind kind, PyObject* type) : kind_(kind), type_(type) {}
    Kind kind_;
    PyObject* type_;  // built-in or process-lifetime type: never released
    std::string text_;
    PyRef value_;
};

// A broken invariant of lumeq itself; becomes PanicException.
struct InternalFault {
    std::string text;
};

[[noreturn]] void throw_runtime_error(std::string text);
[[noreturn]] void throw_type_error(std::string text);
[[noreturn]] void throw_value_error(std::string text);
[[noreturn]] void throw_index_error(std::string text);
[[noreturn]] void throw_attribute_error(std::string text);
[[noreturn]] void throw_buffer_error(std::string text);
[[noreturn]] void internal_fault(std::string text);

// Turns a NULL result of the C API into PyErrSet.
inline PyObject* require(PyObject* obj) {
    if (obj == nullptr) throw PyErrSet{};
    return obj;
}
inline PyRef require_new(PyObject* obj) { return PyRef::steal(require(obj)); }
inline int require_status(int status) {
    if (status < 0) throw PyErrSet{};
    return status;
}

// Takes the pending exception (SystemError when none is set). A fetched
// PanicException is not an ordinary error: it is reported and resumed as an
// internal fault.
PyRef fetch_exception();
// Discards the pending exception, resuming it if it is a PanicException.
void discard_exception();
// Discards a pending ordinary refusal of a conversion; anything else
// (KeyboardInterrupt, MemoryError, ...) stays pending and is thrown as PyErrSet.
void discard_refusal();
// Discards a pending Exception; a BaseException-only error (KeyboardInterrupt,
// SystemExit, GeneratorExit) stays pending and is thrown as PyErrSet.
void discard_ordinary_exception();
// Whether the pending exception is an instance of `type`; false if none.
bool exception_matches(PyObject* type);

PyObject* panic_exception_type();

// Adds `note` to an exception object, as BaseException.add_note does.
void add_note(PyObject* exception, const std::string& note);
// Raises `type` with `text`, and `note` unless it is empty.
[[noreturn]] void throw_with_note(PyObject* type, std::string text, const std::string& note);

// Runs `body`; a Python error it raises passes on with the note that
// `note(exception)` gives, unless that is empty. A failure to make the note
// leaves the error as it was.
template <class Body, class Note>
decltype(auto) annotating_errors(Body&& body, Note&& note) {
    try {
        return body();
    } catch (const PyErrSet&) {
    } catch (const PyError& error) {
        error.restore();
    }
    PyRef exception = fetch_exception();
    try {
        std::string text = note(exception.get());
        if (!text.empty()) add_note(exception.get(), text);
    } catch (const PyErrSet&) {
        discard_ordinary_exception();
    } catch (const PyError&) {
    }
    throw PyError::object(std::move(exception));
}

// ------------------------------------------------------ attach and GIL

// Per-thread count of active boundary entries and explicit GIL acquisitions.
inline int attach_depth() noexcept { return attach_depth_ref(); }

// Drains the deferred-release list; the caller holds the GIL.
void drain_deferred() noexcept;

// Releases the GIL around a blocking wait. Only plain data may be touched
// while it is active.
class ReleaseGil {
public:
    ReleaseGil() noexcept;
    ~ReleaseGil();
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    int saved_depth_;
    PyThreadState* state_;
};

// Runs `release` with the GIL released when this thread holds it. Freeing a
// node, function or core may run filters' free functions or wait for
// VapourSynth's threads, and those may be waiting for the GIL in a callback.
template <class Release>
void without_gil(Release&& release) noexcept {
    if (attach_depth() == 0) {
        release();
        return;
    }
    ReleaseGil unlocked;
    release();
}

// For code that may run on a thread without the GIL (executor thread,
// worker threads): acquires it unless this thread is attached already.
class AttachGil {
public:
    // Not noexcept: during interpreter shutdown CPython ends a thread that
    // asks for the GIL with pthread_exit, whose unwinding must pass through.
    AttachGil();
    ~AttachGil();
    AttachGil(const AttachGil&) = delete;
    AttachGil& operator=(const AttachGil&) = delete;

private:
    bool acquired_;
    PyGILState_STATE state_{};
};

// ------------------------------------------------------ boundary wrapper

namespace detail {
class AttachScope {
public:
    AttachScope() noexcept;
    ~AttachScope();
};
void raise_pending_or_system_error() noexcept;
void raise_error(const PyError& error) noexcept;
void raise_fault(const InternalFault& fault) noexcept;
[[noreturn]] void abort_at_boundary() noexcept;
}  // namespace detail

// Runs `body` as an entry from Python: all three error kinds end here.
template <class R, class Body>
R guard(R failure, Body&& body) noexcept {
    detail::AttachScope attach;
    try {
        try {
            return body();
        } catch (const PyErrSet&) {
            detail::raise_pending_or_system_error();
        } catch (const PyError& error) {
            detail::raise_error(error);
        } catch (const InternalFault& fault) {
            detail::raise_fault(fault);
        }
    } catch (...) {
        detail::abort_at_boundary();
    }
    return failure;
}

// Slot adapters. Each implementation returns PyRef (or a plain value) and
// throws on error; the adapter is the C slot.
template <PyRef (*F)(PyObject*)>
PyObject* unary_slot(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}
template <PyRef (*F)(PyObject*, PyObject*)>
PyObject* binary_slot(PyObject* self, PyObject* other) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self, other).release(); });
}
template <PyRef (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* ternary_slot(PyObject* self, PyObject* a, PyObject* b) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self, a, b).release(); });
}
template <PyRef (*F)(PyObject*, PyObject*, int)>
PyObject* richcompare_slot(PyObject* self, PyObject* other, int op) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self, other, op).release(); });
}
template <PyRef (*F)(PyObject*, Py_ssize_t)>
PyObject* sq_item_slot(PyObject* self, Py_ssize_t index) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self, index).release(); });
}
template <Py_ssize_t (*F)(PyObject*)>
Py_ssize_t len_slot(PyObject* self) noexcept {
    return guard<Py_ssize_t>(-1, [&] { return F(self); });
}
template <Py_hash_t (*F)(PyObject*)>
Py_hash_t hash_slot(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] { return F(self); });
}
template <PyRef (*F)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}
template <void (*F)(PyObject*, PyObject*)>
int setter(PyObject* self, PyObject* value, void*) noexcept {
    return guard<int>(-1, [&] {
        if (value == nullptr) throw_attribute_error("property has no deleter");
        F(self, value);
        return 0;
    });
}
template <void (*F)(PyObject*, PyObject*, PyObject*)>
int setattro_slot(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
        F(self, name, value);  // a null value deletes
        return 0;
    });
}
template <class T>
void dealloc_slot(PyObject* self) noexcept {
    guard<int>(0, [&] {
        destroy_box<T>(self);
        return 0;
    });
}

// Method without parameters (METH_NOARGS).
template <PyRef (*F)(PyObject*)>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self).release(); });
}

// ------------------------------------------------------ standard conversions

int32_t to_i32(PyObject* obj);
uint8_t to_u8(PyObject* obj);
int64_t to_i64(PyObject* obj);
bool to_bool(PyObject* obj);  // must be a bool
std::string to_utf8(PyObject* obj);  // must be a str
// Instance check with the standard message.
void require_instance(PyObject* obj, PyTypeObject* type);

// Texts.
PyRef str_from_utf8(std::string_view text);  // strict (our own texts)
PyRef str_lossy(std::string_view bytes);     // VapourSynth texts: U+FFFD
std::string lossy_utf8(std::string_view bytes);
// UTF-8 of a str with what cannot be encoded (lone surrogates) escaped as
// backslashreplace does: an error text that must not fail to be made.
std::string escaped_utf8(PyObject* text);
std::string quoted(std::string_view text);   // "..." with escapes
PyRef py_int(long long value);
PyRef py_uint(unsigned long long value);

// RuntimeError from a VapourSynth error text.
[[noreturn]] void throw_vs_error(std::string_view text);
// A KeyboardInterrupt or SystemExit that ended a Python callback, kept (GIL
// held) until the error of the render it failed reaches a waiting thread:
// throw_vs_error raises it there instead of a RuntimeError.
void keep_interrupt(PyRef exception);
// An ordinary exception that failed a Python callback with error `text`,
// kept (GIL held) for throw_vs_error to make the cause of the RuntimeError
// whose text holds it. Kept without its traceback (already logged), so it
// holds no frame alive; a few at most, the oldest dropped.
void keep_callback_error(std::string text, PyRef exception);

// ---------------------------------------------------------- use flags

// Shared/exclusive use of an object whose methods change its own state.
class UseFlag {
public:
    class Shared {
    public:
        explicit Shared(UseFlag& flag);
        ~Shared() { --flag_.readers_; }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        UseFlag& flag_;
    };
    class Exclusive {
    public:
        explicit Exclusive(UseFlag& flag);
        ~Exclusive() { flag_.writer_ = false; }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        UseFlag& flag_;
    };

private:
    int readers_ = 0;  // guarded by the GIL
    bool writer_ = false;
};

// ---------------------------------------------------- one-time set-up

// A lazily initialised process-wide value. A thread that finds another one
// running the set-up releases the GIL while it waits. A set-up that throws
// leaves the cell empty. The set-up is claimed only with the GIL held, so a
// thread that exit parks where it takes the GIL back never holds the claim.
template <class T>
class GilOnceCell {
public:
    template <class Init>
    T& get(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) return *value_;
        if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
            internal_fault("one-time initialisation re-entered");
        if (!claim()) return *value_;
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        struct Unclaim {
            GilOnceCell& cell;
            ~Unclaim() { cell.unclaim(); }
        } unclaim{*this};
        value_.emplace(init());
        ready_.store(true, std::memory_order_release);
        return *value_;
    }
    bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }

private:
    // GIL held: true once this thread runs the set-up, false once it is done.
    bool claim() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (busy_) {
            lock.unlock();
            {
                ReleaseGil unlocked;
                std::unique_lock<std::mutex> wait(mutex_);
                idle_.wait(wait, [this] { return !busy_; });
            }
            lock.lock();
        }
        if (ready_.load(std::memory_order_relaxed)) return false;
        busy_ = true;
        return true;
    }
    void unclaim() noexcept {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
        idle_.notify_all();
    }

    std::atomic<bool> ready_{false};
    std::atomic<std::thread::id> owner_{};
    std::mutex mutex_;
    std::condition_variable idle_;
    bool busy_ = false;  // guarded by mutex_
    std::optional<T> value_;
};

// ------------------------------------------------------------ types

// Builds a heap type from its spec; a failure is reported as unraisable and
// becomes an internal fault naming the class.
PyTypeObject* build_type(PyType_Spec& spec, PyObject* base = nullptr);

// The process-wide type object built from `Spec` on first use.
template <PyType_Spec& Spec>
PyTypeObject* lazy_type() {
    static GilOnceCell<PyTypeObject*> type;
    return type.get([] { return build_type(Spec); });
}

// Creates an instance of one of our classes holding `value`.
template <class T>
PyRef make_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef obj = require_new(alloc(type, 0));
    new (&unbox<std::decay_t<T>>(obj.get())) std::decay_t<T>(std::forward<T>(value));
    return obj;
}

template <class T>
T& box_of(PyObject* obj, PyTypeObject* type) {
    require_instance(obj, type);
    return unbox<T>(obj);
}

// Cached interned attribute name.
PyObject* interned(const char* name);
// Whether `name` is an attribute instances of `type` find on the type, as
// dir() listed them when first asked. Lets a getattro that falls back to
// names of its own skip raising and clearing AttributeError on every one.
bool is_type_attribute(PyTypeObject* type, PyObject* name);
// obj's attribute through the generic lookup, or empty when it has none
// (AttributeError cleared; any other error is thrown).
PyRef generic_attribute_or_null(PyObject* obj, PyObject* name);
// Calls obj.name(*args).
PyRef call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {});

}  // namespace lumeq
