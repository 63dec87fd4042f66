// What the process goes through that lumeq must notice: interpreter exit,
// after which no foreign thread may take the GIL, and fork(), after which
// the parent's cores are unusable (their threads did not come along).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>

namespace lumeq {

// GIL held. Runs `hook` (METH_NOARGS, no self) from an atexit hook, or at
// once when the interpreter is exiting already: a hook registered while
// atexit runs its hooks would never run.
void run_at_exit(PyMethodDef& hook);

namespace detail {
inline std::atomic<uint32_t> fork_generation{0};
}

// The error of a Python callback VapourSynth calls once exit has begun.
inline constexpr const char* callback_shutdown_error = "Python callback called after the interpreter began to shut down";

// GIL held, before a render's `error` is raised. A daemon thread whose
// render failed only because exit refused its callbacks stays here, GIL
// released, until the process ends, as one that exit stops where it takes
// the GIL back: raising would print its traceback in the moments left.
void park_daemon_refused_at_exit(std::string_view error);

// Changes in the child of every fork() once watch_forks() has run: a
// handle stamped with another generation belongs to a parent's core.
inline uint32_t process_generation() noexcept { return detail::fork_generation.load(std::memory_order_relaxed); }

// Starts counting forks (idempotent); called before the first core exists.
void watch_forks();

// The RuntimeError for using a core made in another process.
[[noreturn]] void throw_foreign_core();

}  // namespace lumeq
