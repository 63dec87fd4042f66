#include "api.hpp"

#include "boundary.hpp"

#include <dlfcn.h>

#include <string>
#include <variant>

namespace lumeq {

namespace {

constexpr const char* kLibraryName = "libvapoursynth.so.4";
constexpr int kApiVersion = VS_MAKE_VERSION(4, 1);

using LoadOutcome = std::variant<Apis, std::string>;

// "{type}: {message}" of the pending exception, which is consumed.
std::string render_pending_exception() {
    PyRef exc = fetch_exception();
    std::string type = "?";
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exc.get())));
    if (qualname) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) type.assign(text, static_cast<size_t>(size));
    }
    PyErr_Clear();
    PyRef message = PyRef::steal(PyObject_Str(exc.get()));
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (message) text = PyUnicode_AsUTF8AndSize(message.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return type + ": <exception str() failed>";
    }
    return type + ": " + std::string(text, static_cast<size_t>(size));
}

std::string parent_directory(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";  // a bare file name: the search path decides
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Steps 2 to 6: where the library should be, from vapoursynth.__file__.
std::string library_path() {
    PyRef name = str_from_utf8("vapoursynth");
    PyRef package = require_new(PyImport_Import(name.get()));
    PyRef file = require_new(PyObject_GetAttrString(package.get(), "__file__"));
    std::string path = to_utf8(file.get());
    if (path.empty() || path == "/") throw_runtime_error("vapoursynth.__file__ has no parent directory");
    std::string dir = parent_directory(path);
    if (dir.empty()) return kLibraryName;
    if (dir.back() != '/') dir += '/';
    return dir + kLibraryName;
}

LoadOutcome open_library(const std::string& path) {
    std::string shown = lossy_utf8(path);
    if (path.find('\0') != std::string::npos)
        return "failed to load VapourSynth library at " + shown + ": interior zero element in parameter";
    void* library = dlopen(path.c_str(), RTLD_LAZY);
    if (library == nullptr) {
        if (dlerror() != nullptr) return "failed to load VapourSynth library at " + shown + ": dlopen failed";
        return "failed to load VapourSynth library at " + shown + ": dlopen failed, but system did not report the error";
    }
    dlerror();
    auto entry = reinterpret_cast<VSGetVapourSynthAPI>(dlsym(library, "getVapourSynthAPI"));
    if (entry == nullptr) {
        dlclose(library);
        return std::string("VapourSynth library is missing getVapourSynthAPI: dlsym failed");
    }
    const VSAPI* api = entry(kApiVersion);
    if (api == nullptr) {
        dlclose(library);
        return std::string("the VapourSynth library does not support API 4.1");
    }
    return Apis{api, library};
}

LoadOutcome load() {
    std::string path;
    {
        AttachGil gil;
        try {
            path = library_path();
        } catch (const PyErrSet&) {
            return render_pending_exception();
        } catch (const PyError& error) {
            error.restore();
            return render_pending_exception();
        }
    }
    return open_library(path);
}

GilOnceCell<LoadOutcome> APIS;

}  // namespace

const Apis& apis() {
    const LoadOutcome& outcome = APIS.get(load);
    if (const auto* loaded = std::get_if<Apis>(&outcome)) return *loaded;
    throw_runtime_error(std::get<std::string>(outcome));
}

}  // namespace lumeq
