#include "frames/frame_props.hpp"

#include "runtime/args.hpp"
#include "runtime/map_ext.hpp"

#include <string>

namespace lumeq {
namespace {

using map_ext::KeyStr;
using map_ext::MapReader;

constinit PropsConversion conversion{};  // filled while the library loads

const PropsConversion& installed_conversion() {
    if (conversion.store == nullptr) internal_fault("the property conversion of calls was not installed");
    return conversion;
}

PyRef map_as_dict(const VSMap* map, const OwnerHandle& owner) { return installed_conversion().map_to_dict(map, owner); }

// Members are destroyed in reverse order: the frame cell before the owner.
struct PyFrameProps {
    OwnerHandle owner;
    FrameCellRef cell;
};

PyFrameProps& props_of(PyObject* self) { return unbox<PyFrameProps>(self); }

// Read afresh for every operation: a write may move the map (copy on write).
const VSMap* read_map(const PyFrameProps& p) { return p.cell.api()->getFramePropertiesRO(p.cell.frame()); }

VSMap* write_map(const PyFrameProps& p) {
    if (!p.cell.writable())
        throw_type_error("the frame is read-only: it was handed to VapourSynth, so its properties cannot change");
    return p.cell.api()->getFramePropertiesRW(p.cell.write_frame());
}

// A key that can name a property, or nothing.
std::optional<std::string> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        discard_refusal();
        return std::nullopt;
    }
    std::string name(text, static_cast<size_t>(size));
    if (name.empty() || !map_ext::is_key_text(name)) return std::nullopt;
    return name;
}

[[noreturn]] void raise_key_error(PyObject* key) { throw PyError::with_arg(PyExc_KeyError, PyRef::borrow(key)); }

std::string checked_key(PyObject* key) {
    std::optional<std::string> name = key_text(key);
    if (!name) {
        PyRef text = require_new(PyObject_Repr(key));
        throw_type_error("invalid property name: " + to_utf8(text.get()));
    }
    return *name;
}

PyRef snapshot(const PyFrameProps& p) { return map_as_dict(read_map(p), p.owner); }

Py_ssize_t props_len(PyObject* self) { return MapReader(read_map(props_of(self)), props_of(self).cell.api()).num_keys(); }

// The value under `key`, or null when the frame has no such property.
PyRef lookup(const PyFrameProps& p, PyObject* key) {
    std::optional<std::string> name = key_text(key);
    if (!name) return PyRef();
    const VSMap* map = read_map(p);
    if (p.cell.api()->mapNumElements(map, name->c_str()) < 0) return PyRef();
    return installed_conversion().key_to_py(map, name->c_str(), p.owner);
}

PyRef props_getitem(PyObject* self, PyObject* key) {
    if (PyRef value = lookup(props_of(self), key)) return value;
    raise_key_error(key);
}

// The value is converted into a map of its own first, so a failed
// conversion leaves the property as it was.
void store(const PyFrameProps& p, PyObject* key, PyObject* value) {
    std::string name = checked_key(key);
    const VSAPI* api = p.cell.api();
    write_map(p);  // refuse before converting anything
    MapRef staged = MapRef::create(api);
    HandOverScope hand_over;  // the value's frames stay writable unless the store is made
    {
        CallbackOwnerScope scope(p.owner);
        installed_conversion().store(staged.get(), api, key, value);
    }
    int type = api->mapGetType(staged.get(), name.c_str());
    // VapourSynth aborts the process on a clip or function in a frame's properties.
    if (type == ptVideoNode || type == ptAudioNode || type == ptFunction)
        throw_type_error("frame properties cannot hold clips or functions");
    if (hand_over.holds(p.cell)) throw_type_error("a frame's properties cannot hold the frame itself");
    VSMap* props = write_map(p);  // conversion may have run code that handed the frame over
    hand_over.commit();
    if (type == ptUnset) {
        api->mapDeleteKey(props, name.c_str());  // None or []: no value
        return;
    }
    api->copyMap(staged.get(), props);
}

void remove(const PyFrameProps& p, PyObject* key) {
    std::optional<std::string> name = key_text(key);
    VSMap* props = write_map(p);
    if (!name || p.cell.api()->mapDeleteKey(props, name->c_str()) == 0) raise_key_error(key);
}

int props_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guard<int>(-1, [&] {
        if (value == nullptr)
            remove(props_of(self), key);
        else
            store(props_of(self), key, value);
        return 0;
    });
}

int props_contains(PyObject* self, PyObject* key) noexcept {
    return guard<int>(-1, [&] {
        const PyFrameProps& p = props_of(self);
        std::optional<std::string> name = key_text(key);
        return name && p.cell.api()->mapNumElements(read_map(p), name->c_str()) >= 0 ? 1 : 0;
    });
}

PyRef key_list(const PyFrameProps& p) {
    MapReader reader(read_map(p), p.cell.api());
    int count = reader.num_keys();
    PyRef keys = require_new(PyList_New(0));
    for (int i = 0; i < count; ++i) {
        PyRef name = str_from_utf8(reader.key(i).c_str());
        require_status(PyList_Append(keys.get(), name.get()));
    }
    return keys;
}

PyRef props_iter(PyObject* self) {
    PyRef keys = key_list(props_of(self));
    return require_new(PyObject_GetIter(keys.get()));
}

PyRef props_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return PyRef::borrow(Py_NotImplemented);
    PyRef mine = snapshot(props_of(self));
    return require_new(PyObject_RichCompare(mine.get(), other, op));
}

PyRef props_repr(PyObject* self) {
    PyRef mine = snapshot(props_of(self));
    PyRef text = require_new(PyObject_Repr(mine.get()));
    return str_from_utf8("<lumeq.FrameProps " + to_utf8(text.get()) + ">");
}

PyRef dict_view(PyObject* self, const char* which) {
    PyRef mine = snapshot(props_of(self));
    return call_method(mine.get(), which);
}
PyRef props_keys(PyObject* self) { return dict_view(self, "keys"); }
PyRef props_values(PyObject* self) { return dict_view(self, "values"); }
PyRef props_items(PyObject* self) { return dict_view(self, "items"); }
PyRef props_copy(PyObject* self) { return snapshot(props_of(self)); }

const Signature get_signature{"FrameProps.get", {"key", "default"}, 2, 2, 1};

PyRef props_get(PyObject* self, const Args& args) {
    if (PyRef value = lookup(props_of(self), args[0])) return value;
    return args.has(1) ? PyRef::borrow(args[1]) : PyRef::none();
}

const Signature pop_signature{"FrameProps.pop", {"key", "default"}, 2, 2, 1};

PyRef props_pop(PyObject* self, const Args& args) {
    const PyFrameProps& p = props_of(self);
    write_map(p);
    PyRef value = lookup(p, args[0]);
    if (!value) {
        if (args.has(1)) return PyRef::borrow(args[1]);
        raise_key_error(args[0]);
    }
    remove(p, args[0]);
    return value;
}

const Signature update_signature{"FrameProps.update", {"other"}, 1, 1, 0, 0, true};

PyRef props_update(PyObject* self, const Args& args) {
    // Whatever dict() accepts: a mapping, pairs, keywords.
    PyRef positional = args.has(0) ? require_new(PyTuple_Pack(1, args[0])) : require_new(PyTuple_New(0));
    PyRef merged = require_new(
        PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), positional.get(), args.extra_keywords()));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(merged.get(), &position, &key, &value)) {
        PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
        store(props_of(self), held_key.get(), held_value.get());
    }
    return PyRef::none();
}

PyRef props_clear(PyObject* self) {
    const PyFrameProps& p = props_of(self);
    PyRef keys = key_list(p);
    VSMap* props = write_map(p);
    for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i)
        p.cell.api()->mapDeleteKey(props, to_utf8(PyList_GetItem(keys.get(), i)).c_str());
    return PyRef::none();
}

template <const Signature& S, PyRef (*F)(PyObject*, const Args&)>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<S, F>));
}

PyMethodDef props_methods[] = {
    {"keys", method_noargs<props_keys>, METH_NOARGS, "The property names, as read now."},
    {"values", method_noargs<props_values>, METH_NOARGS, "The property values, as read now."},
    {"items", method_noargs<props_items>, METH_NOARGS, "The (name, value) pairs, as read now."},
    {"copy", method_noargs<props_copy>, METH_NOARGS, "A dict of the properties as they are now."},
    {"get", fastcall<get_signature, props_get>(), METH_FASTCALL | METH_KEYWORDS,
     "The property's value, or `default` when the frame has none of that name."},
    {"pop", fastcall<pop_signature, props_pop>(), METH_FASTCALL | METH_KEYWORDS,
     "Removes the property and returns its value (or `default`)."},
    {"update", fastcall<update_signature, props_update>(), METH_FASTCALL | METH_KEYWORDS,
     "Sets the properties from a mapping, (name, value) pairs or keywords."},
    {"clear", method_noargs<props_clear>, METH_NOARGS, "Removes every property."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot props_slots[] = {
    {Py_tp_doc, const_cast<char*>("The properties of a writable frame: reads and writes go to the frame itself.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot<PyFrameProps>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<props_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<props_iter>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot<props_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_mp_length, reinterpret_cast<void*>(len_slot<props_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(binary_slot<props_getitem>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(props_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(props_contains)},
    {Py_tp_methods, props_methods},
    {0, nullptr},
};
PyType_Spec props_spec = {"lumeq.FrameProps", sizeof(PyBox<PyFrameProps>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, props_slots};

// ------------------------------------------------------------ read-only props

// The properties of a frame VapourSynth made: a dict snapshot that refuses
// writes with the texts a mapping proxy gave, plus what to do instead.
constexpr const char* kReadOnlyNote =
    "frame properties are read-only on a frame VapourSynth made; call frame.copy() to get a writable frame";

int read_only_ass_subscript(PyObject*, PyObject*, PyObject* value) noexcept {
    return guard<int>(-1, [&]() -> int {
        throw_with_note(PyExc_TypeError,
                        value != nullptr ? "'mappingproxy' object does not support item assignment"
                                         : "'mappingproxy' object does not support item deletion",
                        kReadOnlyNote);
    });
}

// The dict methods that would change it are not there, as on a mapping proxy.
PyRef read_only_getattro(PyObject* self, PyObject* name) {
    static constexpr const char* mutators[] = {"update", "pop", "popitem", "clear", "setdefault"};
    if (PyUnicode_Check(name)) {
        for (const char* mutator : mutators)
            if (PyUnicode_CompareWithASCIIString(name, mutator) == 0)
                throw_with_note(PyExc_AttributeError,
                                std::string("'mappingproxy' object has no attribute '") + mutator + "'", kReadOnlyNote);
    }
    return require_new(PyObject_GenericGetAttr(self, name));
}

// props |= other gives a new dict, as it did for a mapping proxy.
PyRef read_only_inplace_or(PyObject* self, PyObject* other) { return require_new(PyNumber_Or(self, other)); }

PyType_Slot read_only_slots[] = {
    {Py_tp_doc, const_cast<char*>("The properties of a frame VapourSynth made, as read when asked for: read-only.")},
    {Py_tp_getattro, reinterpret_cast<void*>(binary_slot<read_only_getattro>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(read_only_ass_subscript)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(binary_slot<read_only_inplace_or>)},
    {0, nullptr},
};
PyType_Spec read_only_spec = {"lumeq.ReadOnlyFrameProps", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              read_only_slots};

PyTypeObject* read_only_props_type() {
    static GilOnceCell<PyTypeObject*> type;
    return type.get([] { return build_type(read_only_spec, reinterpret_cast<PyObject*>(&PyDict_Type)); });
}

PyRef read_only_props(PyRef snapshot) {
    static auto dict_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyDict_Type, Py_tp_new));
    PyRef no_args = require_new(PyTuple_New(0));
    PyRef props = require_new(dict_new(read_only_props_type(), no_args.get(), nullptr));
    require_status(PyDict_Update(props.get(), snapshot.get()));
    return props;
}

}  // namespace

void install_props_conversion(const PropsConversion& installed) { conversion = installed; }

PyTypeObject* frame_props_type() {
    static GilOnceCell<PyTypeObject*> type;
    return type.get([] {
        PyTypeObject* built = build_type(props_spec);
        // isinstance(props, MutableMapping) holds, as for a dict.
        PyRef abc = require_new(PyImport_ImportModule("collections.abc"));
        PyRef mutable_mapping = require_new(PyObject_GetAttrString(abc.get(), "MutableMapping"));
        call_method(mutable_mapping.get(), "register", {reinterpret_cast<PyObject*>(built)});
        return built;
    });
}

PyRef frame_props_mapping(const FrameCellRef& cell, const OwnerHandle& owner) {
    if (cell.writable()) return make_instance(frame_props_type(), PyFrameProps{owner.clone(), cell.clone()});
    // The map belongs to the frame: it is read, never freed here.
    const VSMap* props = cell.api()->getFramePropertiesRO(cell.frame());
    PyRef dict = props == nullptr ? require_new(PyDict_New()) : map_as_dict(props, owner);
    // The frame is read-only: a write must fail, not land in a copy nobody reads.
    return read_only_props(std::move(dict));
}

}  // namespace lumeq
