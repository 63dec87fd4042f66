#include "runtime/api.hpp"

#include "runtime/boundary.hpp"

#include <dlfcn.h>

#include <string>
#include <variant>

namespace lumeq {

namespace {

constexpr const char* kLibraryName = "libvapoursynth.so.4";
constexpr int kApiVersion = VS_MAKE_VERSION(4, 1);
constexpr const char* kNotInstalled = "the VapourSynth library was not found: install it with `pip install vapoursynth`";

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

// The package's file, found without running the package: an imported module is
// asked for its __file__; otherwise only the import finders run. Empty when
// the package is not installed.
PyRef package_file() {
    PyRef name = str_from_utf8("vapoursynth");
    PyRef package = PyRef::steal(PyImport_GetModule(name.get()));
    if (package) return require_new(PyObject_GetAttrString(package.get(), "__file__"));
    if (PyErr_Occurred() != nullptr) throw PyErrSet{};
    PyRef util = require_new(PyImport_ImportModule("importlib.util"));
    PyRef spec = call_method(util.get(), "find_spec", {name.get()});
    if (spec.get() == Py_None) return PyRef();
    PyRef origin = require_new(PyObject_GetAttrString(spec.get(), "origin"));
    if (origin.get() == Py_None)  // a namespace package: no file to stand next to
        throw PyError::message(PyExc_AttributeError, "module 'vapoursynth' has no attribute '__file__'");
    return origin;
}

// Where the library should be: next to the package's file; empty when the
// package is not installed.
std::string library_path() {
    PyRef file = package_file();
    if (!file) return "";
    std::string path = to_utf8(file.get());
    if (path.empty() || path == "/") throw_runtime_error("vapoursynth.__file__ has no parent directory");
    std::string dir = parent_directory(path);
    if (dir.empty()) return kLibraryName;
    if (dir.back() != '/') dir += '/';
    return dir + kLibraryName;
}

// KeyboardInterrupt, SystemExit and the like leave the pending error in place
// (so the load is not cached and is tried again); ordinary errors are rendered.
std::string render_unless_fatal() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
    return render_pending_exception();
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
            return render_unless_fatal();
        } catch (const PyError& error) {
            error.restore();
            return render_unless_fatal();
        }
    }
    if (path.empty()) return std::string(kNotInstalled);
    return open_library(path);
}

GilOnceCell<LoadOutcome> APIS;
thread_local bool loading_here = false;

}  // namespace

const Apis& apis() {
    if (loading_here && !APIS.ready())
        throw_runtime_error("the VapourSynth library is still being located by this thread");
    const LoadOutcome& outcome = APIS.get([] {
        loading_here = true;
        struct Done {
            ~Done() { loading_here = false; }
        } done;
        return load();
    });
    if (const auto* loaded = std::get_if<Apis>(&outcome)) return *loaded;
    throw_runtime_error(std::get<std::string>(outcome));
}

namespace detail {
void free_handle(const VSAPI* api, VSNode* node) noexcept {
    without_gil([&] { api->freeNode(node); });
}
}  // namespace detail

}  // namespace lumeq
