#include "cores/log.hpp"

#include "runtime/boundary.hpp"
#include "runtime/guards.hpp"

#include <cstdio>
#include <exception>

namespace lumeq {

namespace {

int python_level(int message_type) noexcept {
    switch (message_type) {
        case mtDebug: return 10;
        case mtInformation: return 20;
        case mtWarning: return 30;
        default: return 50;  // critical, and fatal just before VapourSynth aborts
    }
}

void emit(int level, const char* message) {
    PyRef logging = require_new(PyImport_ImportModule("logging"));
    PyRef name = str_from_utf8("lumeq");
    PyRef logger = call_method(logging.get(), "getLogger", {name.get()});
    PyRef number = py_int(level);
    PyRef format = str_from_utf8("%s");
    PyRef text = str_lossy(message);
    call_method(logger.get(), "log", {number.get(), format.get(), text.get()});
}

// Never destroyed: it may hold an exception when the interpreter ends.
PyRef& kept_handler_interrupt() {
    static PyRef& slot = *new PyRef();
    return slot;
}

// A pending call: the main thread raises the kept exception where it next
// runs Python code, right after the call that logged returns, as it would
// a signal's.
int raise_handler_interrupt(void*) noexcept {
    PyObject* exception = kept_handler_interrupt().release();
    if (exception == nullptr) return 0;
    PyErr_SetRaisedException(exception);
    return -1;
}

// A handler's own errors are logging's to report; a KeyboardInterrupt
// (Ctrl-C while a record is shipped) or SystemExit must not end there.
void handler_failed() {
    if (exception_matches(PyExc_Exception)) {
        PyErr_Clear();
        return;
    }
    PyRef exception = fetch_exception();
    PyRef& kept = kept_handler_interrupt();
    if (kept) return;  // one is on its way already
    kept = std::move(exception);
    if (Py_AddPendingCall(raise_handler_interrupt, nullptr) == 0) return;
    PyErr_SetRaisedException(kept.release());  // no room for the call: at least not silent
    PyErr_WriteUnraisable(nullptr);
}

// May run on any VapourSynth thread.
void VS_CC log_message(int message_type, const char* message, void*) {
    CallFromVapourSynth from_vapoursynth;
    InterpreterPass pass;
    if (!pass) {
        std::fprintf(stderr, "%s\n", message);  // no logging once the interpreter is going away
        return;
    }
    // A C entry point called by VapourSynth: nothing may escape into it.
    try {
        AttachGil gil;
        try {
            try {
                emit(python_level(message_type), message);
            } catch (const PyErrSet&) {
                handler_failed();
            }
        } catch (const PyErrSet&) {
            PyErr_Clear();
        } catch (const PyError&) {
        }
    } catch (const InternalFault&) {
    } catch (const std::exception&) {
    }
}

}  // namespace

void add_log_handler(VSCore* core, const VSAPI* api) {
    close_passes_at_exit();
    api->addLogHandler(log_message, nullptr, nullptr, core);
}

}  // namespace lumeq
