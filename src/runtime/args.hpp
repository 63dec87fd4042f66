// Argument parsing: one static description per function, the parser that
// gives CPython's messages for it, and the "while processing" note on a
// value that fails to convert.
#pragma once

#include "runtime/boundary.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

namespace lumeq {

// Static description of a parameter list. Names: positional parameters
// first, then keyword-only ones.
struct Signature {
    const char* function;  // "VideoNode.get_frame"
    std::initializer_list<const char*> names;
    int positional;       // how many of `names` are positional
    int positional_only;  // leading positional-only count
    int required;         // leading required positional count
    int required_keyword_only = 0;
    bool extra_keywords = false;  // catch-all **kwargs
};

// Parsed arguments: one borrowed value (or null) per parameter.
// Parameter lists are short; their values live inline, with no allocation.
inline constexpr size_t kMaxParameters = 8;
using ArgValues = std::array<PyObject*, kMaxParameters>;

class Args {
public:
    PyObject* operator[](size_t i) const { return values_[i]; }
    bool has(size_t i) const { return values_[i] != nullptr; }
    PyObject* extra_keywords() const { return extra_.get(); }  // dict or null

    // Converts parameter i, adding "while processing '{name}'" on failure.
    template <class Conv>
    auto convert(size_t i, Conv&& conv) const -> decltype(conv(std::declval<PyObject*>()));

    const char* name(size_t i) const { return signature_->names.begin()[i]; }

    // Used by the parser.
    static Args from_parts(const Signature& signature, const ArgValues& values, PyRef extra) {
        Args out;
        out.signature_ = &signature;
        out.values_ = values;
        out.extra_ = std::move(extra);
        return out;
    }

private:
    const Signature* signature_ = nullptr;
    ArgValues values_{};
    PyRef extra_;
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
Args parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Tuple-and-dict form (tp_call, tp_new).
Args parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs);

// Adds the note to the pending exception (a failure to add it is dropped).
void add_note_to_pending(const char* name) noexcept;

// Converts one named value, adding "while processing '{name}'" on failure.
template <class Conv>
auto convert_named(const char* name, PyObject* value, Conv&& conv) -> decltype(conv(value)) {
    try {
        return conv(value);
    } catch (const PyErrSet&) {
        add_note_to_pending(name);
        throw;
    } catch (const PyError& error) {
        error.restore();
        add_note_to_pending(name);
        throw PyErrSet{};
    }
}

template <class Conv>
auto Args::convert(size_t i, Conv&& conv) const -> decltype(conv(std::declval<PyObject*>())) {
    return convert_named(name(i), values_[i], std::forward<Conv>(conv));
}

// Method adapter: METH_FASTCALL | METH_KEYWORDS.
template <const Signature& S, PyRef (*F)(PyObject*, const Args&)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return F(self, parse_args(S, args, nargs, kwnames)).release(); });
}

}  // namespace lumeq
