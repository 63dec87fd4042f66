// The parsed-signature cache empties itself when it grows too large; an
// entry a conversion still holds must outlive that.
#include "check.hpp"
#include "calls/convert.hpp"

#include <string>

using namespace lumeq;

namespace {

void held_entry_survives_eviction() {
    auto held = cached_signature("clip:vnode;first:int:opt;last:int:opt;");
    const ParsedSignature* address = held.get();
    for (int i = 0; i < 5000; ++i) cached_signature("p" + std::to_string(i) + ":int;");
    CHECK(held.get() == address);
    CHECK(held->parameters.size() == 3 && held->parameters[1] == "first");
    CHECK(held->types.at("clip") == "vnode");
    auto again = cached_signature("clip:vnode;first:int:opt;last:int:opt;");
    CHECK(again->parameters == held->parameters);
}

void parameters_keep_declaration_order() {
    auto parsed = cached_signature("clips:vnode[];mismatch:int:opt;f:float[]:opt;");
    CHECK((parsed->parameters == std::vector<std::string>{"clips", "mismatch", "f"}));
    CHECK(parsed->types.at("clips") == "vnode" && parsed->types.at("f") == "float");
}

}  // namespace

int main() {
    Py_Initialize();
    held_entry_survives_eviction();
    parameters_keep_declaration_order();
    if (failures == 0) std::puts("native signature cache checks passed");
    return failures == 0 ? 0 : 1;
}
