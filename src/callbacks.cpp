#include "callbacks.hpp"

#include "convert.hpp"
#include "process.hpp"
#include "function_value.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

namespace lumeq {

namespace {

thread_local const OwnerHandle* current_owner = nullptr;

// VapourSynth may call or free a function on its own threads at any time,
// also while the interpreter finalizes, when asking for the GIL would end
// the thread. At exit the gate closes and waits for the callbacks inside;
// later ones fail (calls) or leak their callable (frees) without Python.
class CallbackGate {
public:
    bool enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        ++active_;
        return true;
    }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--active_ == 0) idle_.notify_all();
    }
    // GIL held; waits with it released.
    void close() {
        ReleaseGil unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        closed_ = true;
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    size_t active_ = 0;
    bool closed_ = false;
};

CallbackGate& gate() {
    static CallbackGate& g = *new CallbackGate();  // never destroyed: callbacks may come during exit
    return g;
}

PyObject* close_gate(PyObject*, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [] {
        gate().close();
        return PyRef::none().release();
    });
}

PyMethodDef close_gate_def = {"_close_callbacks", close_gate, METH_NOARGS, nullptr};


struct Callback {
    PyRef callable;
    OwnerHandle owner;
    const VSFunction* function = nullptr;  // set once made; a key only, never called
};

// The functions made from Python callables, so that one read back from a map
// is that callable again. An entry lives until VapourSynth frees the function.
class CallbackRegistry {
public:
    void add(const VSFunction* function, const Callback* callback) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.insert_or_assign(function, callback);
    }
    void remove(const VSFunction* function) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(function);
    }
    // Only asked about a function the caller holds, so its callback lives.
    const Callback* find(const VSFunction* function) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(function);
        return found == entries_.end() ? nullptr : found->second;
    }

private:
    std::mutex mutex_;
    std::unordered_map<const VSFunction*, const Callback*> entries_;
};

CallbackRegistry& registry() {
    static CallbackRegistry& r = *new CallbackRegistry();  // frees may come during exit
    return r;
}

const char* const shutdown_error = "Python callback called after the interpreter began to shut down";

// Sends the traceback of `exc` to the "lumeq" logger; the error that reaches
// the frame request is only text. A failing log is dropped.
void log_traceback(PyObject* exc, const std::string& text) {
    try {
        PyRef logging = require_new(PyImport_ImportModule("logging"));
        PyRef name = str_from_utf8("lumeq");
        PyRef logger = call_method(logging.get(), "getLogger", {name.get()});
        PyRef error = require_new(PyObject_GetAttrString(logger.get(), "error"));
        PyRef format = str_from_utf8("Python callback raised %s");
        PyRef message = str_lossy(text);
        PyRef args = require_new(PyTuple_Pack(2, format.get(), message.get()));
        PyRef kwargs = require_new(PyDict_New());
        require_status(PyDict_SetItemString(kwargs.get(), "exc_info", exc));
        require_new(PyObject_Call(error.get(), args.get(), kwargs.get()));
    } catch (const PyErrSet&) {
        PyErr_Clear();
    } catch (const PyError&) {
    }
}

// "Type: message" of the pending exception.
std::string take_callback_error() {
    PyRef exc = fetch_exception();
    PyRef type_name = require_new(PyType_GetName(Py_TYPE(exc.get())));
    std::string text = to_utf8(type_name.get());
    PyRef message = require_new(PyObject_Str(exc.get()));
    std::string detail = to_utf8(message.get());
    if (!detail.empty()) text += ": " + detail;
    log_traceback(exc.get(), text);
    // Not an error of the callback's own: the thread waiting for the render
    // gets the interrupt or exit itself.
    if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) keep_interrupt(std::move(exc));
    return text;
}

void run_callback(const Callback& callback, const VSMap* in, VSMap* out, const VSAPI* api) {
    CallbackOwnerScope scope(callback.owner);
    PyRef kwargs = map_to_py_dict(in, callback.owner);
    PyRef no_args = require_new(PyTuple_New(0));
    PyRef result = require_new(PyObject_Call(callback.callable.get(), no_args.get(), kwargs.get()));
    if (result.get() == Py_None) return;
    // Stored as the keyword "val" would be: a list becomes several elements.
    static const SignatureTypes no_types;
    PyRef names = require_new(Py_BuildValue("(s)", "val"));
    PyObject* values[] = {result.get()};
    kwargs_to_map(out, api, Keywords{names.get(), values}, no_types);
}

void VS_CC call_callback(const VSMap* in, VSMap* out, void* data, VSCore*, const VSAPI* api) {
    InterpreterPass pass;
    if (!pass) {
        api->mapSetError(out, shutdown_error);
        return;
    }
    // A C entry point called by VapourSynth: nothing may escape into it.
    try {
        AttachGil gil;
        try {
            try {
                run_callback(*static_cast<const Callback*>(data), in, out, api);
            } catch (const PyError& error) {
                error.restore();
                throw PyErrSet{};
            }
        } catch (const PyErrSet&) {
            std::string text = take_callback_error();
            api->mapSetError(out, text.c_str());
        }
    } catch (const InternalFault& fault) {
        api->mapSetError(out, ("lumeq internal fault: " + fault.text).c_str());
    } catch (const PyErrSet&) {
        PyErr_Clear();
        api->mapSetError(out, "Python callback failed while reporting its error");
    } catch (const PyError&) {
        api->mapSetError(out, "Python callback failed while reporting its error");
    } catch (const std::exception& error) {
        api->mapSetError(out, error.what());
    }
}

void VS_CC free_callback(void* data) {
    auto* callback = static_cast<Callback*>(data);
    registry().remove(callback->function);
    InterpreterPass pass;
    if (!pass) return;  // the interpreter is going away: the callable is left to it
    AttachGil gil;
    delete callback;
}

}  // namespace

InterpreterPass::InterpreterPass() : entered_(gate().enter()) {}
InterpreterPass::~InterpreterPass() {
    if (entered_) gate().leave();
}

void close_passes_at_exit() {
    static GilOnceCell<bool> done;
    done.get([] {
        run_at_exit(close_gate_def);
        return true;
    });
}

CallbackOwnerScope::CallbackOwnerScope(const OwnerHandle& owner) noexcept : saved_(current_owner) {
    current_owner = &owner;
}
CallbackOwnerScope::~CallbackOwnerScope() { current_owner = saved_; }

PyRef callable_of(const VSFunction* function) {
    const Callback* callback = registry().find(function);
    return callback == nullptr ? PyRef() : callback->callable.clone();
}

std::optional<map_ext::Value> callable_to_value(PyObject* callable) {
    map_ext::Value value;
    value.kind = map_ext::Value::Kind::Function;
    if (std::optional<map_ext::FunctionRef> function = function_value_ref(callable)) {
        value.function = std::move(*function);
        return value;
    }
    if (current_owner == nullptr) return std::nullopt;
    close_passes_at_exit();
    const OwnerHandle& owner = *current_owner;
    auto* callback = new Callback{PyRef::borrow(callable), owner.clone()};
    VSFunction* function = owner.api()->createFunction(call_callback, callback, free_callback, owner.core());
    callback->function = function;
    registry().add(function, callback);
    value.function = map_ext::FunctionRef(function, owner.api());
    return value;
}

}  // namespace lumeq
