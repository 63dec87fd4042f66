// A VapourSynth plugin for the tests: functions that hand back what they
// were given, and one that makes a function of its own.
#include <VapourSynth4.h>

namespace {

// Returns its arguments as its result.
void VS_CC echo(const VSMap* in, VSMap* out, void*, VSCore*, const VSAPI* api) { api->copyMap(in, out); }

// The made function: x + the amount fixed when it was made.
void VS_CC add(const VSMap* in, VSMap* out, void* data, VSCore*, const VSAPI* api) {
    int error = 0;
    int64_t x = api->mapGetInt(in, "x", 0, &error);
    if (error) {
        api->mapSetError(out, "Adder: x is required");
        return;
    }
    api->mapSetInt(out, "val", x + *static_cast<int64_t*>(data), maReplace);
}

void VS_CC free_amount(void* data) { delete static_cast<int64_t*>(data); }

void VS_CC make_adder(const VSMap* in, VSMap* out, void*, VSCore* core, const VSAPI* api) {
    auto* amount = new int64_t(api->mapGetInt(in, "amount", 0, nullptr));
    VSFunction* function = api->createFunction(add, amount, free_amount, core);
    api->mapConsumeFunction(out, "function", function, maReplace);
}

// Calls `function` with x=`x` and returns its result map.
void VS_CC call(const VSMap* in, VSMap* out, void*, VSCore*, const VSAPI* api) {
    VSFunction* function = api->mapGetFunction(in, "function", 0, nullptr);
    VSMap* args = api->createMap();
    api->mapSetInt(args, "x", api->mapGetInt(in, "x", 0, nullptr), maReplace);
    api->callFunction(function, args, out);
    api->freeMap(args);
    api->freeFunction(function);
}

// Renders frame `n` of `clip` while it is created, as some filters do.
void VS_CC render(const VSMap* in, VSMap* out, void*, VSCore*, const VSAPI* api) {
    VSNode* node = api->mapGetNode(in, "clip", 0, nullptr);
    char error[256] = {};
    const VSFrame* frame = api->getFrame(static_cast<int>(api->mapGetInt(in, "n", 0, nullptr)), node, error, sizeof error);
    api->freeNode(node);
    if (frame == nullptr) {
        api->mapSetError(out, error);
        return;
    }
    api->mapConsumeFrame(out, "frame", frame, maReplace);
}

}  // namespace

VS_EXTERNAL_API(void) VapourSynthPluginInit2(VSPlugin* plugin, const VSPLUGINAPI* vspapi) {
    vspapi->configPlugin("org.lumeq.test", "lumeqtest", "lumeq test functions", VS_MAKE_VERSION(1, 0),
                         VAPOURSYNTH_API_VERSION, 0, plugin);
    vspapi->registerFunction("Echo", "any", "any", echo, nullptr, plugin);
    // Parameters named like Python keywords, as some plugins have.
    vspapi->registerFunction("EchoKeywords", "clip:vnode:opt;lambda:int:opt;global:float[]:opt;", "any", echo, nullptr,
                             plugin);
    vspapi->registerFunction("MakeAdder", "amount:int;", "function:func;", make_adder, nullptr, plugin);
    vspapi->registerFunction("Render", "clip:vnode;n:int;", "frame:vframe;", render, nullptr, plugin);
    vspapi->registerFunction("Call", "function:func;x:int;", "any", call, nullptr, plugin);
}
