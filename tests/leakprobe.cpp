// A VapourSynth plugin used by the leak tests to watch a core from inside.
// `leakprobe.Watch(tag)` installs a log handler on the calling core; the
// handler records every message the core logs, and its free callback records
// that the core was destroyed. A core freed while filters or frames are still
// alive logs "Core freed but ..." warnings, so a released-but-leaked node or
// frame shows up here even when every Python object is gone.
// The test process also opens this library with ctypes, which keeps it mapped
// after the cores that loaded it are freed, and reads the records through the
// two C functions below.
#include <VapourSynth4.h>

#include <mutex>
#include <string>

namespace {

std::mutex records_mutex;
std::string records;  // one "tag\tkind\ttext\n" line per event
std::string snapshot;

void append(const std::string& tag, const char* kind, const char* text) {
    std::lock_guard lock(records_mutex);
    records += tag + "\t" + kind + "\t" + text + "\n";
}

void VS_CC on_message(int type, const char* message, void* user) {
    append(*static_cast<std::string*>(user), std::to_string(type).c_str(), message);
}

void VS_CC on_free(void* user) {
    auto* tag = static_cast<std::string*>(user);
    append(*tag, "freed", "");
    delete tag;
}

void VS_CC watch(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
    int error = 0;
    const char* tag = vsapi->mapGetData(in, "tag", 0, &error);
    if (error) tag = "";
    vsapi->addLogHandler(on_message, on_free, new std::string(tag), core);
    VSCoreInfo info;
    vsapi->getCoreInfo(core, &info);
    vsapi->mapSetInt(out, "used", info.usedFramebufferSize, maReplace);
}

void VS_CC used(const VSMap*, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
    VSCoreInfo info;
    vsapi->getCoreInfo(core, &info);
    vsapi->mapSetInt(out, "used", info.usedFramebufferSize, maReplace);
}

// Hands its arguments back, so a result holds exactly what the conversion
// stored (several keys give the caller a dict). Its one declared argument,
// `f`, is a float array, so that key is converted with numbers as floats.
void VS_CC echo(const VSMap* in, VSMap* out, void*, VSCore*, const VSAPI* vsapi) { vsapi->copyMap(in, out); }

void VS_CC nothing(const VSMap*, VSMap*, void*, VSCore*, const VSAPI*) {}

// A result holding a function value, which the caller must refuse and release.
void VS_CC function(const VSMap*, VSMap* out, void*, VSCore* core, const VSAPI* vsapi) {
    VSFunction* f = vsapi->createFunction(nothing, nullptr, nullptr, core);
    vsapi->mapConsumeFunction(out, "func", f, maReplace);
}

}  // namespace

VS_EXTERNAL_API(void) VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi) {
    vspapi->configPlugin("org.lumeq.leakprobe", "leakprobe", "Core watcher for leak tests", VS_MAKE_VERSION(1, 0),
                         VAPOURSYNTH_API_VERSION, 0, plugin);
    vspapi->registerFunction("Watch", "tag:data:opt;", "used:int;", watch, nullptr, plugin);
    vspapi->registerFunction("Used", "", "used:int;", used, nullptr, plugin);
    vspapi->registerFunction("Echo", "f:float[]:opt;any", "any", echo, nullptr, plugin);
    vspapi->registerFunction("Function", "", "func:func;", function, nullptr, plugin);
}

// The returned text stays valid until the next call.
extern "C" __attribute__((visibility("default"))) const char* leakprobe_records() {
    std::lock_guard lock(records_mutex);
    snapshot = records;
    return snapshot.c_str();
}

extern "C" __attribute__((visibility("default"))) void leakprobe_clear() {
    std::lock_guard lock(records_mutex);
    records.clear();
}
