#include "runtime/args.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace lumeq {

namespace {

std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                out += " and ";
            else if (i + 1 == names.size())
                out += ", and ";
            else
                out += ", ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

struct Parser {
    const Signature& sig;
    ArgValues values{};
    const char* const* names;
    size_t count;
    PyRef extra;
    std::vector<std::string> positional_only_passed;

    std::string fname() const { return std::string(sig.function) + "()"; }

    explicit Parser(const Signature& s) : sig(s), names(s.names.begin()), count(s.names.size()) {
        if (count > kMaxParameters) internal_fault("too many parameters for the argument parser");
    }

    void positional(PyObject* const* args, Py_ssize_t nargs) {
        if (nargs > sig.positional) {
            std::string verb = nargs == 1 ? "was" : "were";
            if (sig.required == sig.positional)
                throw_type_error(fname() + " takes " + std::to_string(sig.positional) + " positional arguments but " +
                                 std::to_string(nargs) + " " + verb + " given");
            throw_type_error(fname() + " takes from " + std::to_string(sig.required) + " to " +
                             std::to_string(sig.positional) + " positional arguments but " + std::to_string(nargs) + " " +
                             verb + " given");
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<size_t>(i)] = args[i];
    }

    void keyword(PyObject* key, PyObject* value) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            text = "";
        }
        std::string_view k(text, static_cast<size_t>(size));
        for (size_t i = static_cast<size_t>(sig.positional_only); i < count; ++i) {
            if (k == names[i]) {
                if (values[i] != nullptr) throw_type_error(fname() + " got multiple values for argument '" + std::string(k) + "'");
                values[i] = value;
                return;
            }
        }
        if (sig.extra_keywords) {
            if (!extra) extra = require_new(PyDict_New());
            require_status(PyDict_SetItem(extra.get(), key, value));
            return;
        }
        for (int i = 0; i < sig.positional_only; ++i) {
            if (k == names[static_cast<size_t>(i)]) {
                positional_only_passed.emplace_back(k);
                return;
            }
        }
        PyRef s = require_new(PyObject_Str(key));
        throw_type_error(fname() + " got an unexpected keyword argument '" + to_utf8(s.get()) + "'");
    }

    // Checks what is missing and hands the values over.
    Args finish();
    void check_complete() {
        if (!positional_only_passed.empty())
            throw_type_error(fname() + " got some positional-only arguments passed as keyword arguments: " +
                             name_list(positional_only_passed));
        std::vector<std::string> missing;
        for (int i = 0; i < sig.required; ++i)
            if (values[static_cast<size_t>(i)] == nullptr) missing.emplace_back(names[static_cast<size_t>(i)]);
        if (!missing.empty())
            throw_type_error(fname() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                             (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
        for (int i = sig.positional; i < sig.positional + sig.required_keyword_only; ++i)
            if (values[static_cast<size_t>(i)] == nullptr) missing.emplace_back(names[static_cast<size_t>(i)]);
        if (!missing.empty())
            throw_type_error(fname() + " missing " + std::to_string(missing.size()) + " required keyword argument" +
                             (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
    }
};

}  // namespace

Args Parser::finish() {
    check_complete();
    return Args::from_parts(sig, values, std::move(extra));
}

Args parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The common call: positional arguments only, all required ones given.
    if (kwnames == nullptr && nargs >= sig.required && nargs <= sig.positional && sig.required_keyword_only == 0 &&
        sig.names.size() <= kMaxParameters) {
        ArgValues values{};
        for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<size_t>(i)] = args[i];
        return Args::from_parts(sig, values, PyRef());
    }
    Parser p(sig);
    p.positional(args, nargs);
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) p.keyword(PyTuple_GetItem(kwnames, i), args[nargs + i]);
    }
    return p.finish();
}

Args parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Parser p(sig);
    Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
    std::vector<PyObject*> positional;
    for (Py_ssize_t i = 0; i < nargs; ++i) positional.push_back(PyTuple_GetItem(args, i));
    p.positional(positional.data(), nargs);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) p.keyword(key, value);
    }
    return p.finish();
}

void add_note_to_pending(const char* name) noexcept {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) return;
    std::string note = std::string("while processing '") + name + "'";
    PyRef text = PyRef::steal(PyUnicode_FromString(note.c_str()));
    PyRef result = text ? PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", text.get())) : PyRef();
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

}  // namespace lumeq
