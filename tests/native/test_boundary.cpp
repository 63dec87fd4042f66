// Native checks of the boundary for what Python cannot reach on purpose:
// internal faults becoming PanicException, a failure without an exception,
// resumed faults, and references dropped on a thread without the GIL.
#include "runtime/boundary.hpp"
#include "check.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace lumeq;

namespace {

// Takes the pending exception as an owned reference (plain CPython calls:
// this code plays the interpreter's part).
PyRef take_pending() { return PyRef::steal(PyErr_GetRaisedException()); }

std::string str_of(PyObject* obj) {
    PyRef s = PyRef::steal(PyObject_Str(obj));
    return s ? std::string(PyUnicode_AsUTF8AndSize(s.get(), nullptr)) : std::string("<str failed>");
}

std::string attr_str(PyObject* obj, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
    return value ? str_of(value.get()) : std::string("<missing>");
}

void internal_fault_becomes_panic_exception() {
    PyObject* result = guard<PyObject*>(nullptr, []() -> PyObject* { internal_fault("invariant broken"); });
    CHECK(result == nullptr);
    PyRef exc = take_pending();
    CHECK(exc);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    CHECK(attr_str(type, "__name__") == "PanicException");
    CHECK(attr_str(type, "__module__") == "pyo3_runtime");
    CHECK(PyObject_IsSubclass(type, PyExc_BaseException) == 1);
    CHECK(PyObject_IsSubclass(type, PyExc_Exception) == 0);
    CHECK(str_of(exc.get()) == "invariant broken");
    CHECK(type == panic_exception_type());  // created once
    PyRef doc = PyRef::steal(PyObject_GetAttrString(type, "__doc__"));
    std::string text = doc ? str_of(doc.get()) : "";
    CHECK(!text.empty() && text.front() == '\n' && text.back() == '\n');
}

void fault_without_text_gets_generic_message() {
    guard<int>(-1, []() -> int { internal_fault(""); });
    PyRef exc = take_pending();
    CHECK(exc && !str_of(exc.get()).empty());
}

void failure_without_exception_is_system_error() {
    int status = guard<int>(-1, []() -> int { throw PyErrSet{}; });
    CHECK(status == -1);
    PyRef exc = take_pending();
    CHECK(exc && Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_SystemError)));
    CHECK(str_of(exc.get()) == "attempted to fetch exception but none was set");
}

void python_errors_keep_type_and_arguments() {
    guard<int>(-1, []() -> int { throw PyError::with_arg(PyExc_KeyError, py_int(5)); });
    PyRef exc = take_pending();
    CHECK(exc && Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_KeyError)));
    CHECK(attr_str(exc.get(), "args") == "(5,)");
}

void fetched_panic_is_resumed_as_fault() {
    // A PanicException coming back from Python code is not an ordinary error.
    PyObject* result = guard<PyObject*>(nullptr, []() -> PyObject* {
        PyErr_SetString(panic_exception_type(), "from below");
        discard_exception();
        return PyRef::none().release();
    });
    CHECK(result == nullptr);
    PyRef exc = take_pending();
    CHECK(exc && Py_TYPE(exc.get()) == reinterpret_cast<PyTypeObject*>(panic_exception_type()));
    CHECK(exc && str_of(exc.get()) == "from below");
}

void reference_dropped_off_thread_waits_for_next_entry() {
    PyRef obj = require_new(PyList_New(0));
    PyObject* raw = obj.get();
    PyRef extra = obj.clone();
    Py_ssize_t before = Py_REFCNT(raw);
    {
        ReleaseGil unlocked;
        std::thread([moved = std::move(extra)]() mutable { moved.reset(); }).join();
    }
    // ReleaseGil drains on the way back, so the deferred drop happened now.
    CHECK(Py_REFCNT(raw) == before - 1);
    PyRef later = obj.clone();
    std::thread worker([moved = std::move(later)]() mutable { moved.reset(); });
    {
        ReleaseGil unlocked;
        worker.join();
    }
    CHECK(Py_REFCNT(raw) == before - 1);
}

void use_flags_refuse_reentry() {
    UseFlag flag;
    int status = guard<int>(-1, [&] {
        UseFlag::Exclusive first(flag);
        UseFlag::Shared second(flag);
        return 0;
    });
    CHECK(status == -1);
    PyRef exc = take_pending();
    CHECK(exc && str_of(exc.get()) == "Already mutably borrowed");
    status = guard<int>(-1, [&] {
        UseFlag::Shared first(flag);
        UseFlag::Exclusive second(flag);
        return 0;
    });
    exc = take_pending();
    CHECK(status == -1 && exc && str_of(exc.get()) == "Already borrowed");
}

// The decoder for VapourSynth texts must agree with Python's "replace".
void lossy_decoding_matches_python() {
    std::vector<std::string> samples = {"plain", "caf\xc3\xa9", "\xff\xfe", "\xe2\x82", "\xe2\x82x",
                                        "\xf0\x90\x80", "\xf0\x90\x80\x80", "\xed\xa0\x80", "\xc0\xaf",
                                        "\xf4\x90\x80\x80", "\xe0\x80\x80", std::string("a\0b", 3)};
    unsigned seed = 12345;
    for (int k = 0; k < 2000; ++k) {
        std::string random;
        for (int j = 0; j < 6; ++j) {
            seed = seed * 1103515245u + 12345u;
            random += static_cast<char>((seed >> 16) & 0xFF);
        }
        samples.push_back(random);
    }
    for (const std::string& bytes : samples) {
        PyRef expected = PyRef::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
        std::string ours = lossy_utf8(bytes);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(expected.get(), &size);
        CHECK(text != nullptr && ours == std::string(text, static_cast<size_t>(size)));
    }
}

}  // namespace

int main() {
    Py_Initialize();
    ++attach_depth_ref();  // the main thread plays an entry from Python
    internal_fault_becomes_panic_exception();
    fault_without_text_gets_generic_message();
    failure_without_exception_is_system_error();
    python_errors_keep_type_and_arguments();
    fetched_panic_is_resumed_as_fault();
    reference_dropped_off_thread_waits_for_next_entry();
    use_flags_refuse_reentry();
    lossy_decoding_matches_python();
    --attach_depth_ref();
    if (failures == 0) std::puts("native boundary checks passed");
    return failures == 0 ? 0 : 1;
}
