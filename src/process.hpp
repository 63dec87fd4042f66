// What the process goes through that lumeq must notice: interpreter exit,
// after which no foreign thread may take the GIL.
#pragma once

#include "boundary.hpp"

namespace lumeq {

// GIL held. Runs `hook` (METH_NOARGS, no self) from an atexit hook, or at
// once when the interpreter is exiting already: a hook registered while
// atexit runs its hooks would never run.
void run_at_exit(PyMethodDef& hook);

}  // namespace lumeq
