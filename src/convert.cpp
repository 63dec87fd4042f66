#include "convert.hpp"
namespace lumeq {
SignatureTypes signature_types(std::string_view) { return {}; }
void kwargs_to_map(VSMap*, const VSAPI*, PyObject*, const SignatureTypes&) { internal_fault("not built yet"); }
PyRef map_to_py_dict(const VSMap*, const OwnerHandle&) { internal_fault("not built yet"); }
PyRef key_to_py(const VSMap*, const char*, const OwnerHandle&) { internal_fault("not built yet"); }
}  // namespace lumeq
