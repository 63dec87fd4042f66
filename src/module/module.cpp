// The module definition and its exec step.
#include "calls/convert.hpp"
#include "calls/plugin.hpp"
#include "clips/audio_node.hpp"
#include "clips/clip.hpp"
#include "clips/frame_iter.hpp"
#include "clips/video_node.hpp"
#include "cores/core.hpp"
#include "cores/core_proxy.hpp"
#include "cores/environment.hpp"
#include "cores/outputs.hpp"
#include "frames/audio_format.hpp"
#include "frames/audio_frame.hpp"
#include "frames/enums.hpp"
#include "frames/frame_props.hpp"
#include "frames/video_frame.hpp"
#include "runtime/boundary.hpp"

#include <utility>

namespace lumeq {
namespace {

// Appends the name to __all__ (created on first use), then sets it.
void add_attribute(PyObject* module, const char* name, PyRef value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!exception_matches(PyExc_AttributeError)) throw PyErrSet{};
        PyErr_Clear();
        all = require_new(PyList_New(0));
        require_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    PyRef text = str_from_utf8(name);
    require_status(PyList_Append(all.get(), text.get()));
    require_status(PyObject_SetAttrString(module, name, value.get()));
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    add_attribute(module, name, PyRef::borrow(reinterpret_cast<PyObject*>(type)));
}

// A type that cannot be built fails the import with its creation error.
template <PyTypeObject* (*Type)()>
void publish(PyObject* module, const char* name) {
    PyTypeObject* type = nullptr;
    try {
        type = Type();
    } catch (const InternalFault& fault) {
        if (!PyErr_Occurred()) throw_runtime_error(fault.text);
        throw PyErrSet{};
    }
    add_class(module, name, type);
}

// The enumerations added after the first names.
void add_enumerations(PyObject* module) {
    static constexpr std::pair<EnumKind, const char*> classes[] = {
        {EnumKind::PresetVideoFormat, "PresetVideoFormat"},
        {EnumKind::ChromaLocation, "ChromaLocation"},
        {EnumKind::FieldBased, "FieldBased"},
        {EnumKind::MatrixCoefficients, "MatrixCoefficients"},
        {EnumKind::TransferCharacteristics, "TransferCharacteristics"},
        {EnumKind::ColorPrimaries, "ColorPrimaries"},
        {EnumKind::ColorRange, "ColorRange"},
        {EnumKind::Range, "Range"},
        {EnumKind::AudioChannels, "AudioChannels"},
    };
    for (const auto& [kind, name] : classes) add_class(module, name, enum_type(kind));
}

// Each preset format as a module attribute of its own.
void add_preset_formats(PyObject* module) {
    for_each_member(EnumKind::PresetVideoFormat,
                    [&](const char* name, PyRef member) { add_attribute(module, name, std::move(member)); });
}

void add_functions(PyObject* module) {
    PyRef module_name = require_new(PyModule_GetNameObject(module));
    for (PyMethodDef* def = environment_functions(); def->ml_name != nullptr; ++def)
        add_attribute(module, def->ml_name, require_new(PyCFunction_NewEx(def, module, module_name.get())));
}

// What the lower floors call up into, lent when the library loads: before
// any code, the module's exec step or a native test, can make a clip or a
// frame.
bool install_upward_calls() {
    install_props_conversion({map_to_py_dict, key_to_py, store_untyped});
    install_clip_members_above(
        {clip_attribute_or_plugin, clip_dir_with_plugins, video_node_set_output, audio_node_set_output});
    return true;
}
[[maybe_unused]] const bool upward_calls_installed = install_upward_calls();

int exec_module(PyObject* module) {
    return guard<int>(-1, [&] {
        if (!PyModule_Check(module)) require_instance(module, &PyModule_Type);
        publish<core_type>(module, "Core");
        publish<core_proxy_type>(module, "CoreProxy");
        publish<plugin_iter_type>(module, "PluginIter");
        publish<color_family_type>(module, "ColorFamily");
        publish<sample_type_type>(module, "SampleType");
        publish<environment_type>(module, "Environment");
        publish<environment_policy_type>(module, "EnvironmentPolicy");
        publish<environment_policy_api_type>(module, "EnvironmentPolicyAPI");
        publish<standalone_policy_type>(module, "StandaloneEnvironmentPolicy");
        publish<video_output_tuple_type>(module, "VideoOutputTuple");
        add_functions(module);
        publish<video_format_type>(module, "VideoFormat");
        publish<video_frame_type>(module, "VideoFrame");
        publish<frame_iter_type>(module, "FrameIter");
        publish<video_node_type>(module, "VideoNode");
        publish<audio_node_type>(module, "AudioNode");
        publish<audio_frame_type>(module, "AudioFrame");
        publish<function_type>(module, "Function");
        publish<function_iter_type>(module, "PluginFunctionIter");
        publish<plugin_type>(module, "Plugin");
        add_enumerations(module);
        publish<audio_format_type>(module, "AudioFormat");
        add_preset_formats(module);
        add_attribute(module, "core", make_core_proxy());
        require_status(PyModule_AddStringConstant(module, "__version__", LUMEQ_VERSION));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumeq",
    "Python bindings for VapourSynth.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lumeq

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_lumeq() {
    return PyModuleDef_Init(&lumeq::module_def);
}
