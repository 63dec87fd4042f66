#include "enums.hpp"
#include "stub_types.hpp"
namespace lumeq {
LUMEQ_STUB_TYPE(color_family_type, "lumeq.ColorFamily", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(sample_type_type, "lumeq.SampleType", Py_TPFLAGS_DISALLOW_INSTANTIATION)
LUMEQ_STUB_TYPE(video_format_type, "lumeq.VideoFormat", Py_TPFLAGS_DISALLOW_INSTANTIATION)
PyRef color_family_member(uint8_t) { internal_fault("not built yet"); }
PyRef sample_type_member(uint8_t) { internal_fault("not built yet"); }
PyRef build_format(const VSFrame*, const OwnerHandle&) { internal_fault("not built yet"); }
}  // namespace lumeq
