#include "cores/environment.hpp"

#include "cores/core.hpp"
#include "cores/outputs.hpp"
#include "runtime/api.hpp"
#include "runtime/args.hpp"

#include <atomic>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace lumeq {
namespace {

constexpr const char* kNoEnvironment =
    "No environment is currently activated. (Hint: get_current_environment().use() selects an environment.)";

// Creates an instance whose state is built in place: the states below hold
// mutexes and cannot be moved into make_instance.
template <class T>
PyRef new_in_place(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef obj = require_new(alloc(type, 0));
    new (&unbox<T>(obj.get())) T();
    return obj;
}

// Takes `mutex`, waiting for it with the GIL released: the holder of a core
// lock may be loading the library, which runs Python code and needs the GIL.
// The GIL is taken back only after the mutex is let go again, so the drain of
// deferred releases never runs under our lock.
std::unique_lock<std::mutex> lock_detached(std::mutex& mutex) {
    std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
    while (!lock.owns_lock()) {
        {
            ReleaseGil unlocked;
            std::lock_guard<std::mutex> wait(mutex);
        }
        lock.try_lock();
    }
    return lock;
}

PyObject* instance_of(PyObject* obj, PyTypeObject* type) {
    require_instance(obj, type);
    return obj;
}

// ------------------------------------------------------------ EnvironmentData

// Members are destroyed in reverse: the core goes before the outputs.
struct EnvironmentState {
    OutputTable outputs;
    std::mutex core_lock;
    PyRef core;
    int32_t flags = 0;
    std::atomic<bool> alive{true};
};

struct PolicyApiState {
    std::mutex lock;
    std::vector<PyRef> environments;  // every environment created, in order
};

struct StandaloneState {
    std::mutex env_lock;
    PyRef env;
    std::mutex api_lock;
    PyRef api;
};

EnvironmentState& env_state(PyObject* environment) { return unbox<EnvironmentState>(environment); }

bool is_environment_data(PyObject* obj) { return PyObject_TypeCheck(obj, environment_data_type()) != 0; }

PyRef get_or_create_core(PyObject* environment) {
    EnvironmentState& env = env_state(environment);
    apis();  // locating the library runs Python code: never under the core lock
    PyRef inherited;  // let go after the lock
    auto lock = lock_detached(env.core_lock);
    if (env.core && core_owner(env.core.get()).in_this_process()) return env.core.clone();
    // A core inherited through fork() is unusable here: the child gets its own.
    inherited = std::move(env.core);
    // Under the lock for the whole creation, so racing first requests get one core.
    PyRef core = core_new(std::nullopt, std::nullopt);
    env.core = core.clone();
    return core;
}

void destroy(PyObject* environment) {
    EnvironmentState& env = env_state(environment);
    env.alive.exchange(false);
    std::map<int32_t, PyRef> outputs;
    {
        std::lock_guard<std::mutex> lock(env.outputs.lock);
        outputs.swap(env.outputs.entries);
    }
    for (auto& entry : outputs) entry.second.reset();
    PyRef core;
    {
        auto lock = lock_detached(env.core_lock);
        core = std::move(env.core);
    }
}

PyRef environment_data_alive(PyObject* self) { return PyRef::boolean(env_state(self).alive.load()); }

PyGetSetDef environment_data_getset[] = {
    {"alive", getter<environment_data_alive>, nullptr, "Whether the environment has not been destroyed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot environment_data_slots[] = {
    {Py_tp_doc, const_cast<char*>("Opaque per-environment state.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<EnvironmentState>)},
    {Py_tp_getset, environment_data_getset},
    {0, nullptr},
};

PyType_Spec environment_data_spec = {"lumeq.EnvironmentData", sizeof(PyBox<EnvironmentState>), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, environment_data_slots};

// ------------------------------------------------------------ POLICY

struct PolicySlot {
    std::mutex lock;
    PyRef policy;
};

// Process-wide and never destroyed: a policy may still be registered when
// the interpreter is gone.
PolicySlot& POLICY = *new PolicySlot;

PyRef registered_policy() {
    std::lock_guard<std::mutex> lock(POLICY.lock);
    return POLICY.policy.clone();
}

PyRef new_policy_api() { return new_in_place<PolicyApiState>(environment_policy_api_type()); }

void register_policy_object(PyObject* policy) {
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(POLICY.lock);
        taken = static_cast<bool>(POLICY.policy);
        if (!taken) POLICY.policy = PyRef::borrow(policy);
    }
    if (taken) throw_runtime_error("There is already a policy registered.");
    // The policy stays registered even if its hook fails.
    PyRef api = new_policy_api();
    call_method(policy, "on_policy_registered", {api.get()});
}

void clear_registered_policy() {
    PyRef policy;
    {
        std::lock_guard<std::mutex> lock(POLICY.lock);
        policy = std::move(POLICY.policy);
    }
    if (policy) call_method(policy.get(), "on_policy_cleared");
}

PyRef get_policy() {
    // Built before the slot is read: building a type releases the GIL, and
    // another thread could otherwise slip in between installing the default
    // and its environment being stored.
    PyTypeObject* standalone = standalone_policy_type();
    environment_policy_api_type();
    environment_data_type();
    if (PyRef policy = registered_policy()) return policy;
    PyRef policy = new_in_place<StandaloneState>(standalone);
    register_policy_object(policy.get());
    return policy;
}

bool policy_is_alive(PyObject* policy, PyObject* environment) {
    PyRef verdict = call_method(policy, "is_alive", {environment});
    return to_bool(verdict.get());
}

// policy.get_current_environment(), or null with the exception set.
PyRef ask_current_environment(PyObject* policy) {
    PyObject* argv[] = {policy};
    return PyRef::steal(PyObject_VectorcallMethod(interned("get_current_environment"), argv, 1, nullptr));
}

// ------------------------------------------------------------ EnvironmentPolicyAPI

PolicyApiState& api_state(PyObject* api) { return unbox<PolicyApiState>(api); }

PyRef create_environment(PyObject* api, int32_t flags) {
    PyRef environment = new_in_place<EnvironmentState>(environment_data_type());
    env_state(environment.get()).flags = flags;
    PolicyApiState& state = api_state(api);
    std::lock_guard<std::mutex> lock(state.lock);
    state.environments.push_back(environment.clone());
    return environment;
}

const Signature create_environment_signature{"EnvironmentPolicyAPI.create_environment", {"flags"}, 1, 0, 0};

PyRef api_create_environment(PyObject* self, const Args& args) {
    int32_t flags = args.has(0) ? args.convert(0, to_i32) : 0;
    return create_environment(self, flags);
}

const Signature destroy_environment_signature{"EnvironmentPolicyAPI.destroy_environment", {"environment"}, 1, 0, 1};

// Takes `environment` out of the API's list, so that a host making one per
// request does not grow without bound. The reference is dropped by the caller,
// outside the lock.
PyRef forget_environment(PyObject* api, PyObject* environment) {
    PolicyApiState& state = api_state(api);
    std::lock_guard<std::mutex> lock(state.lock);
    auto& list = state.environments;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->get() != environment) continue;
        PyRef forgotten = std::move(*it);
        list.erase(std::next(it).base());
        return forgotten;
    }
    return PyRef();
}

PyRef api_destroy_environment(PyObject* self, const Args& args) {
    PyObject* environment = args.convert(0, [](PyObject* obj) { return instance_of(obj, environment_data_type()); });
    destroy(environment);
    PyRef forgotten = forget_environment(self, environment);
    return PyRef::none();
}

PyRef api_unregister_policy(PyObject* self) {
    std::vector<PyRef> environments;
    {
        PolicyApiState& state = api_state(self);
        std::lock_guard<std::mutex> lock(state.lock);
        environments.swap(state.environments);
    }
    for (PyRef& environment : environments) {
        destroy(environment.get());
        environment.reset();
    }
    clear_registered_policy();
    return PyRef::none();
}

PyMethodDef policy_api_methods[] = {
    {"create_environment",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<create_environment_signature, api_create_environment>)),
     METH_FASTCALL | METH_KEYWORDS, "Creates a new environment, kept alive by this object."},
    {"destroy_environment",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<destroy_environment_signature, api_destroy_environment>)),
     METH_FASTCALL | METH_KEYWORDS, "Marks the environment dead and releases its outputs and its core."},
    {"unregister_policy", method_noargs<api_unregister_policy>, METH_NOARGS,
     "Destroys every environment created through this object, then clears the registered policy."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot policy_api_slots[] = {
    {Py_tp_doc, const_cast<char*>("Handed to a policy on registration. Lets it create and destroy environments\n"
                                  "and unregister itself.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PolicyApiState>)},
    {Py_tp_methods, policy_api_methods},
    {0, nullptr},
};

PyType_Spec policy_api_spec = {"lumeq.EnvironmentPolicyAPI", sizeof(PyBox<PolicyApiState>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, policy_api_slots};

// ------------------------------------------------------------ StandaloneEnvironmentPolicy

StandaloneState& standalone_state(PyObject* self) { return unbox<StandaloneState>(self); }

PyRef standalone_env(PyObject* self) {
    StandaloneState& state = standalone_state(self);
    std::lock_guard<std::mutex> lock(state.env_lock);
    return state.env ? state.env.clone() : PyRef::none();
}

const Signature standalone_registered_signature{"StandaloneEnvironmentPolicy.on_policy_registered", {"api"}, 1, 0, 1};

PyRef standalone_on_registered(PyObject* self, const Args& args) {
    PyObject* api = args.convert(0, [](PyObject* obj) { return instance_of(obj, environment_policy_api_type()); });
    PyRef environment = create_environment(api, 0);
    StandaloneState& state = standalone_state(self);
    PyRef old_env;
    PyRef old_api;
    {
        std::lock_guard<std::mutex> lock(state.env_lock);
        old_env = std::exchange(state.env, std::move(environment));
    }
    {
        std::lock_guard<std::mutex> lock(state.api_lock);
        old_api = std::exchange(state.api, PyRef::borrow(api));
    }
    return PyRef::none();
}

PyRef standalone_on_cleared(PyObject* self) {
    StandaloneState& state = standalone_state(self);
    PyRef api;
    PyRef environment;
    {
        std::lock_guard<std::mutex> lock(state.api_lock);
        api = std::move(state.api);
    }
    {
        std::lock_guard<std::mutex> lock(state.env_lock);
        environment = std::move(state.env);
    }
    if (api && environment) destroy(environment.get());
    return PyRef::none();
}

PyRef standalone_get_current(PyObject* self) { return standalone_env(self); }

const Signature standalone_set_signature{"StandaloneEnvironmentPolicy.set_environment", {"_environment"}, 1, 0, 1};

PyRef standalone_set_environment(PyObject* self, const Args&) { return standalone_env(self); }

const Signature standalone_alive_signature{"StandaloneEnvironmentPolicy.is_alive", {"environment"}, 1, 0, 1};

PyRef standalone_is_alive(PyObject* self, const Args& args) {
    StandaloneState& state = standalone_state(self);
    std::lock_guard<std::mutex> lock(state.env_lock);
    return PyRef::boolean(state.env && state.env.get() == args[0]);
}

PyMethodDef standalone_methods[] = {
    {"on_policy_registered",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<standalone_registered_signature, standalone_on_registered>)),
     METH_FASTCALL | METH_KEYWORDS, "Creates the single environment."},
    {"on_policy_cleared", method_noargs<standalone_on_cleared>, METH_NOARGS, "Destroys the single environment."},
    {"get_current_environment", method_noargs<standalone_get_current>, METH_NOARGS, "The single environment."},
    {"set_environment",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<standalone_set_signature, standalone_set_environment>)),
     METH_FASTCALL | METH_KEYWORDS, "Ignores its argument and returns the single environment."},
    {"is_alive",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<standalone_alive_signature, standalone_is_alive>)),
     METH_FASTCALL | METH_KEYWORDS, "Whether `environment` is the single environment."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot standalone_slots[] = {
    {Py_tp_doc, const_cast<char*>("The default policy, which is an always-current single environment.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<StandaloneState>)},
    {Py_tp_methods, standalone_methods},
    {0, nullptr},
};

PyType_Spec standalone_spec = {"lumeq.StandaloneEnvironmentPolicy", sizeof(PyBox<StandaloneState>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, standalone_slots};

// ------------------------------------------------------------ EnvironmentPolicy

struct PolicyState {
    UseFlag use;
};

UseFlag& policy_use(PyObject* self) { return unbox<PolicyState>(self).use; }

const Signature policy_new_signature{"EnvironmentPolicy.__new__", {}, 0, 0, 0};

PyObject* policy_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        parse_tuple_args(policy_new_signature, args, kwargs);
        return make_instance(type, PolicyState{}).release();
    });
}

void policy_dealloc(PyObject* self) noexcept {
    guard<int>(0, [&] {
        // A Python subclass is collected by CPython; its object must leave the
        // collector's list before its memory goes back.
        if (PyType_IS_GC(Py_TYPE(self))) PyObject_GC_UnTrack(self);
        destroy_box<PolicyState>(self);
        return 0;
    });
}

PyRef policy_get_current(PyObject* self) {
    UseFlag::Shared use(policy_use(self));
    throw PyError::no_args(PyExc_NotImplementedError);
}

const Signature policy_set_signature{"EnvironmentPolicy.set_environment", {"_environment"}, 1, 0, 1};

PyRef policy_set_environment(PyObject* self, const Args&) {
    UseFlag::Shared use(policy_use(self));
    throw PyError::no_args(PyExc_NotImplementedError);
}

const Signature policy_alive_signature{"EnvironmentPolicy.is_alive", {"environment"}, 1, 0, 1};

PyRef policy_is_alive_method(PyObject* self, const Args& args) {
    UseFlag::Shared use(policy_use(self));
    if (args[0] == Py_None) return PyRef::boolean(false);
    PyObject* environment = args.convert(0, [](PyObject* obj) { return instance_of(obj, environment_data_type()); });
    return PyRef::boolean(env_state(environment).alive.load());
}

const Signature policy_registered_signature{"EnvironmentPolicy.on_policy_registered", {"_special_api"}, 1, 0, 1};

PyRef policy_on_registered(PyObject* self, const Args&) {
    UseFlag::Shared use(policy_use(self));
    return PyRef::none();
}

PyRef policy_on_cleared(PyObject* self) {
    UseFlag::Shared use(policy_use(self));
    return PyRef::none();
}

PyMethodDef policy_methods[] = {
    {"get_current_environment", method_noargs<policy_get_current>, METH_NOARGS,
     "The current `EnvironmentData`, or None. Must be overridden."},
    {"set_environment",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<policy_set_signature, policy_set_environment>)),
     METH_FASTCALL | METH_KEYWORDS, "Makes the given `EnvironmentData` (or None) current. Must be overridden."},
    {"is_alive",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<policy_alive_signature, policy_is_alive_method>)),
     METH_FASTCALL | METH_KEYWORDS, "Whether the environment has not been destroyed."},
    {"on_policy_registered",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<policy_registered_signature, policy_on_registered>)),
     METH_FASTCALL | METH_KEYWORDS, "Called with an `EnvironmentPolicyAPI` once the policy is registered."},
    {"on_policy_cleared", method_noargs<policy_on_cleared>, METH_NOARGS, "Called once the policy has been cleared."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot policy_slots[] = {
    {Py_tp_doc, const_cast<char*>("Base class for pluggable environment policies. Subclass in Python and pass\n"
                                  "an instance to [`register_policy`] to control how the current environment is\n"
                                  "selected (e.g. per-thread for a script host).")},
    {Py_tp_new, reinterpret_cast<void*>(policy_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(policy_dealloc)},
    {Py_tp_methods, policy_methods},
    {0, nullptr},
};

PyType_Spec policy_spec = {"lumeq.EnvironmentPolicy", sizeof(PyBox<PolicyState>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, policy_slots};

// ------------------------------------------------------------ Environment

struct EnvironmentHandle {
    PyRef data;
};

PyObject* handle_data(PyObject* self) { return unbox<EnvironmentHandle>(self).data.get(); }

// No policy, or the default one: the handle describes "the" environment.
bool single_mode() {
    PyTypeObject* standalone = standalone_policy_type();
    std::lock_guard<std::mutex> lock(POLICY.lock);
    return !POLICY.policy || PyObject_TypeCheck(POLICY.policy.get(), standalone);
}

bool is_current(PyObject* environment) {
    PyRef current = env_current();
    return current.get() == environment;
}

PyRef environment_env_id(PyObject* self) {
    if (single_mode()) return py_int(-1);
    return py_int(static_cast<long long>(reinterpret_cast<intptr_t>(handle_data(self))));
}

PyRef environment_single(PyObject*) { return PyRef::boolean(single_mode()); }

PyRef environment_alive(PyObject* self) {
    PyRef policy = get_policy();
    return PyRef::boolean(policy_is_alive(policy.get(), handle_data(self)));
}

PyRef environment_active(PyObject* self) { return PyRef::boolean(is_current(handle_data(self))); }

PyRef environment_repr(PyObject* self) {
    if (single_mode()) return str_from_utf8("<Environment (default)>");
    PyObject* data = handle_data(self);
    const char* state = !env_state(data).alive.load() ? "dead" : is_current(data) ? "active" : "alive";
    std::string text = "<Environment " + std::to_string(reinterpret_cast<intptr_t>(data)) + " (" + state + ")>";
    return str_from_utf8(text);
}

PyRef environment_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_EQ) {
        bool same = PyObject_TypeCheck(other, environment_type()) && handle_data(other) == handle_data(self);
        return PyRef::boolean(same);
    }
    if (op == Py_NE) {
        PyRef equal = require_new(PyObject_RichCompare(self, other, Py_EQ));
        return PyRef::boolean(require_status(PyObject_IsTrue(equal.get())) == 0);
    }
    return PyRef::borrow(Py_NotImplemented);
}

PyRef environment_use(PyObject* self);

PyGetSetDef environment_getset[] = {
    {"env_id", getter<environment_env_id>, nullptr,
     "The environment's numeric id, or -1 under the default policy.", nullptr},
    {"single", getter<environment_single>, nullptr,
     "Whether no policy or the default single-environment policy is registered.", nullptr},
    {"alive", getter<environment_alive>, nullptr, "Whether the registered policy considers the environment alive.",
     nullptr},
    {"active", getter<environment_active>, nullptr, "Whether the environment is the current one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef environment_methods[] = {
    {"use", method_noargs<environment_use>, METH_NOARGS,
     "Returns a context-manager that enables the given environment in the block\n"
     "enclosed in the with-statement and restores the environment to the one\n"
     "defined before the with-block has been encountered."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot environment_slots[] = {
    {Py_tp_doc, const_cast<char*>("A live handle to an environment. Use [`Environment::use_`] to activate it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<EnvironmentHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<environment_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot<environment_richcompare>)},
    {Py_tp_getset, environment_getset},
    {Py_tp_methods, environment_methods},
    {0, nullptr},
};

PyType_Spec environment_spec = {"lumeq.Environment", sizeof(PyBox<EnvironmentHandle>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, environment_slots};

// ------------------------------------------------------------ _FastManager

struct FastManagerState {
    PyRef target;    // consumed by the first __enter__
    PyRef previous;  // recorded by __enter__, consumed by __exit__
    UseFlag use;
};

PyRef environment_use(PyObject* self) {
    PyObject* data = handle_data(self);
    if (!env_state(data).alive.load()) throw_runtime_error("The environment is dead.");
    return make_instance(fast_manager_type(), FastManagerState{PyRef::borrow(data), PyRef(), UseFlag{}});
}

PyRef manager_enter(PyObject* self) {
    FastManagerState& manager = unbox<FastManagerState>(self);
    UseFlag::Exclusive use(manager.use);
    PyRef policy = get_policy();
    PyRef current = call_method(policy.get(), "get_current_environment");
    if (current.get() == Py_None)
        current.reset();
    else
        require_instance(current.get(), environment_data_type());
    manager.previous = std::move(current);
    PyRef target = std::move(manager.target);
    if (target) call_method(policy.get(), "set_environment", {target.get()});
    return PyRef::none();
}

const Signature manager_exit_signature{"_FastManager.__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3, 0, 3};

PyRef manager_exit(PyObject* self, const Args&) {
    FastManagerState& manager = unbox<FastManagerState>(self);
    UseFlag::Exclusive use(manager.use);
    PyRef policy = get_policy();
    PyRef previous = std::move(manager.previous);
    if (previous && policy_is_alive(policy.get(), previous.get()))
        call_method(policy.get(), "set_environment", {previous.get()});
    else
        call_method(policy.get(), "set_environment", {Py_None});
    return PyRef::boolean(false);
}

PyMethodDef manager_methods[] = {
    {"__enter__", method_noargs<manager_enter>, METH_NOARGS, "Activates the target environment."},
    {"__exit__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<manager_exit_signature, manager_exit>)),
     METH_FASTCALL | METH_KEYWORDS, "Restores the environment that was current on entry."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot manager_slots[] = {
    {Py_tp_doc, const_cast<char*>("A context manager that activates a target environment for the duration of a\n"
                                  "`with` block, restoring the previous one on exit.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<FastManagerState>)},
    {Py_tp_methods, manager_methods},
    {0, nullptr},
};

PyType_Spec manager_spec = {"lumeq._FastManager", sizeof(PyBox<FastManagerState>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, manager_slots};

// ------------------------------------------------------------ module functions

const Signature register_policy_signature{"register_policy", {"policy"}, 1, 0, 1};

PyRef module_register_policy(PyObject*, const Args& args) {
    register_policy_object(args[0]);
    return PyRef::none();
}

PyRef module_clear_policy(PyObject*) {
    clear_registered_policy();
    return PyRef::none();
}

PyRef module_has_policy(PyObject*) { return PyRef::boolean(static_cast<bool>(registered_policy())); }

PyRef module_get_current_environment(PyObject*) {
    PyRef environment = env_current();
    if (!environment) throw_no_environment();
    get_or_create_core(environment.get());
    EnvironmentHandle handle{environment.clone()};
    return make_instance(environment_type(), std::move(handle));
}

template <const Signature& S, PyRef (*F)(PyObject*, const Args&)>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<S, F>));
}

}  // namespace

// ------------------------------------------------------------ shared entry points

PyTypeObject* environment_data_type() {
    return lazy_type<environment_data_spec>();
}

PyTypeObject* environment_type() {
    return lazy_type<environment_spec>();
}

PyTypeObject* fast_manager_type() {
    return lazy_type<manager_spec>();
}

PyTypeObject* environment_policy_type() {
    return lazy_type<policy_spec>();
}

PyTypeObject* environment_policy_api_type() {
    return lazy_type<policy_api_spec>();
}

PyTypeObject* standalone_policy_type() {
    return lazy_type<standalone_spec>();
}

[[noreturn]] void throw_no_environment() { throw_runtime_error(kNoEnvironment); }

OutputTable& environment_outputs(PyObject* environment) { return env_state(environment).outputs; }

PyRef env_current() {
    PyRef policy;
    try {
        policy = get_policy();
    } catch (const PyErrSet&) {
        discard_ordinary_exception();
        return PyRef();
    } catch (const PyError&) {
        return PyRef();
    }
    PyRef environment = ask_current_environment(policy.get());
    if (!environment) {
        discard_ordinary_exception();
        return PyRef();
    }
    if (!is_environment_data(environment.get())) return PyRef();
    return environment;
}

PyRef current_core() {
    PyRef environment = env_current();
    if (!environment) throw_no_environment();
    return get_or_create_core(environment.get());
}

bool core_resolved() {
    PyRef policy = registered_policy();
    if (!policy) return false;
    PyRef environment = ask_current_environment(policy.get());
    if (!environment) {
        discard_ordinary_exception();
        return false;
    }
    if (!is_environment_data(environment.get())) return false;
    EnvironmentState& env = env_state(environment.get());
    auto lock = lock_detached(env.core_lock);
    return env.core && core_owner(env.core.get()).in_this_process();
}

PyMethodDef* environment_functions() {
    static PyMethodDef functions[] = {
        {"clear_output", fastcall<clear_output_signature, module_clear_output>(), METH_FASTCALL | METH_KEYWORDS,
         "Remove the output registered at `index`, if any."},
        {"clear_outputs", method_noargs<module_clear_outputs>, METH_NOARGS, "Remove every registered output."},
        {"clear_policy", method_noargs<module_clear_policy>, METH_NOARGS,
         "Clear the current policy, running its teardown. Mainly for hosts and tests."},
        {"get_current_environment", method_noargs<module_get_current_environment>, METH_NOARGS,
         "The current environment as an [`Environment`] handle, ensuring its core\nexists."},
        {"get_output", fastcall<get_output_signature, module_get_output>(), METH_FASTCALL | METH_KEYWORDS,
         "The [`VideoOutputTuple`] registered at `index`. Raises `KeyError` if none."},
        {"get_outputs", method_noargs<module_get_outputs>, METH_NOARGS,
         "A read-only mapping of every registered output."},
        {"has_policy", method_noargs<module_has_policy>, METH_NOARGS,
         "Whether an environment policy is currently registered."},
        {"register_policy", fastcall<register_policy_signature, module_register_policy>(),
         METH_FASTCALL | METH_KEYWORDS, "Register an [`EnvironmentPolicy`]. Raises if one is already registered."},
        {nullptr, nullptr, 0, nullptr},
    };
    return functions;
}

}  // namespace lumeq
