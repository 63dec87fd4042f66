#include "calls/callbacks.hpp"

#include "calls/convert.hpp"
#include "calls/function_value.hpp"
#include "runtime/guards.hpp"
#include "runtime/process.hpp"

#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumeq {

namespace {

struct Callback {
    PyRef callable;
    OwnerHandle owner;
    const VSFunction* function = nullptr;  // set once made; a key only, never called
    // The keyword names of the last call's argument map, as a vectorcall
    // tuple: a filter passes the same keys every time. GIL held.
    std::vector<std::string> key_texts;
    PyRef key_names;
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

// "Type: message" of `exc`, escaped where it cannot be UTF-8 (a file name
// with a byte that is not), and the type's name alone when str() fails.
std::string error_text(PyObject* exc) {
    PyRef type_name = require_new(PyType_GetName(Py_TYPE(exc)));
    std::string text = escaped_utf8(type_name.get());
    PyRef message = PyRef::steal(PyObject_Str(exc));
    if (!message) {
        discard_exception();
        return text;
    }
    std::string detail = escaped_utf8(message.get());
    if (!detail.empty()) text += ": " + detail;
    return text;
}

// The error text for the pending exception, which stays reachable from
// the thread that waits for the render.
std::string take_callback_error() {
    PyRef exc = fetch_exception();
    std::string text = error_text(exc.get());
    log_traceback(exc.get(), text);
    // Not an error of the callback's own: the thread waiting for the render
    // gets the interrupt or exit itself.
    if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
        keep_interrupt(std::move(exc));
    else
        keep_callback_error(text, std::move(exc));
    return text;
}

// The keyword names for `in`'s keys, the callback's cached tuple when they
// are the same as last time.
PyRef keyword_names(Callback& callback, const map_ext::MapReader& in, int count) {
    bool same = callback.key_names && callback.key_texts.size() == static_cast<size_t>(count);
    for (int i = 0; same && i < count; ++i) same = callback.key_texts[static_cast<size_t>(i)] == in.key(i).c_str();
    if (same) return callback.key_names.clone();
    PyRef names = require_new(PyTuple_New(count));
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        texts.emplace_back(in.key(i).c_str());
        require_status(PyTuple_SetItem(names.get(), i, require(PyUnicode_InternFromString(texts.back().c_str()))));
    }
    callback.key_texts = std::move(texts);
    callback.key_names = names.clone();
    return names;
}

// The map's entries as keyword arguments, with no dict built for them.
PyRef call_with_map(Callback& callback, const VSMap* in) {
    map_ext::MapReader reader(in, callback.owner.api());
    int count = reader.num_keys();
    PyRef names = keyword_names(callback, reader, count);
    std::vector<PyRef> values;  // released on any error below
    values.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) values.push_back(key_to_py(in, reader.key(i).c_str(), callback.owner));
    std::vector<PyObject*> args(values.size());
    for (size_t i = 0; i < values.size(); ++i) args[i] = values[i].get();
    return require_new(PyObject_Vectorcall(callback.callable.get(), args.data(), 0, names.get()));
}

void run_callback(Callback& callback, const VSMap* in, VSMap* out, const VSAPI* api) {
    CallbackOwnerScope scope(callback.owner);
    PyRef result = call_with_map(callback, in);
    if (result.get() == Py_None) return;
    // Stored as the keyword "val" would be: a list becomes several elements.
    static const SignatureTypes no_types;
    static GilOnceCell<PyObject*> result_name;
    PyObject* names = result_name.get([] { return require(Py_BuildValue("(s)", "val")); });  // kept for the process
    PyObject* values[] = {result.get()};
    kwargs_to_map(out, api, Keywords{names, values}, no_types);
}

// Runs the callback; a failure becomes the error text for VapourSynth.
// Every Python error is dealt with here, while the GIL is held.
std::string run_callback_for_error(Callback& callback, const VSMap* in, VSMap* out, const VSAPI* api) {
    try {
        try {
            try {
                run_callback(callback, in, out, api);
                return {};
            } catch (const PyError& error) {
                error.restore();
                throw PyErrSet{};
            }
        } catch (const PyErrSet&) {
            return take_callback_error();
        }
    } catch (const PyErrSet&) {
        PyErr_Clear();
    } catch (const PyError&) {
    }
    return "Python callback failed while reporting its error";
}

// A VapourSynth thread keeps the Python thread state its first callback
// made: making and freeing one per call costs more than a small callback
// itself. The state goes when the thread ends, unless the interpreter is
// going away by then (it frees the states itself).
class KeptThreadState {
public:
    KeptThreadState() = default;
    KeptThreadState(const KeptThreadState&) = delete;
    KeptThreadState& operator=(const KeptThreadState&) = delete;
    // GIL held, with the state the current attach just made.
    void keep() {
        if (kept_) return;
        PyGILState_Ensure();  // the count that outlives the attach
        kept_ = true;
    }
    ~KeptThreadState() {
        if (!kept_) return;
        InterpreterPass pass;
        if (!pass) return;
        PyGILState_STATE state = PyGILState_Ensure();
        PyGILState_Release(PyGILState_LOCKED);  // keep()'s count, the GIL still held
        PyGILState_Release(state);  // the last count: frees the state and lets the GIL go
    }

private:
    bool kept_ = false;
};

thread_local KeptThreadState kept_state;

// The GIL for a call from VapourSynth; a thread without a Python thread
// state (one of VapourSynth's) keeps the one made for it.
class VapourSynthThreadGil {
public:
    VapourSynthThreadGil() : fresh_(attach_depth() == 0 && PyGILState_GetThisThreadState() == nullptr) {
        if (fresh_) kept_state.keep();
    }
    VapourSynthThreadGil(const VapourSynthThreadGil&) = delete;
    VapourSynthThreadGil& operator=(const VapourSynthThreadGil&) = delete;

private:
    bool fresh_;
    AttachGil gil_;
};

void VS_CC call_callback(const VSMap* in, VSMap* out, void* data, VSCore*, const VSAPI* api) {
    CallFromVapourSynth from_vapoursynth;
    InterpreterPass pass;
    if (!pass) {
        api->mapSetError(out, callback_shutdown_error);
        return;
    }
    // A C entry point called by VapourSynth: nothing may escape into it.
    try {
        VapourSynthThreadGil gil;
        std::string error = run_callback_for_error(*static_cast<Callback*>(data), in, out, api);
        if (!error.empty()) api->mapSetError(out, error.c_str());
    } catch (const InternalFault& fault) {
        api->mapSetError(out, ("lumeq internal fault: " + fault.text).c_str());
    } catch (const std::exception& error) {
        api->mapSetError(out, error.what());
    }
}

void VS_CC free_callback(void* data) {
    CallFromVapourSynth from_vapoursynth;
    auto* callback = static_cast<Callback*>(data);
    registry().remove(callback->function);
    InterpreterPass pass;
    if (!pass) return;  // the interpreter is going away: the callable is left to it
    VapourSynthThreadGil gil;
    delete callback;
}

}  // namespace

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
    const OwnerHandle* current_owner = current_callback_owner();
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
