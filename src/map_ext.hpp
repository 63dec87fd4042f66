// Typed access to VapourSynth maps: keys, values, map access errors and
// the small helpers the clip operators use.
#pragma once

#include "api.hpp"
#include "boundary.hpp"

#include <cstdint>

namespace lumeq::map_ext {

// Each helper raises RuntimeError with the map access error text.
void set_int(VSMap* map, const VSAPI* api, const char* key, int64_t value);
void set_node(VSMap* map, const char* key, NodeRef node);   // replace; consumes
void push_node(VSMap* map, const char* key, NodeRef node);  // append; consumes
NodeRef get_node(const VSMap* map, const VSAPI* api, const char* key);

}  // namespace lumeq::map_ext
