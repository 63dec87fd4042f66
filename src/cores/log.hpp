// VapourSynth's log messages in Python's logging.
#pragma once

#include "runtime/api.hpp"

namespace lumeq {

// Sends the core's messages to the "lumeq" logger. GIL held.
void add_log_handler(VSCore* core, const VSAPI* api);

}  // namespace lumeq
