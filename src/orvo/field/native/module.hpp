// Module execution helpers: multi-phase init with a one-initialisation
// guard, importing the base types with a layout check, switching on the
// pickle protocol for a class, and the load steps every geometry module
// runs over its class tables.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "native/fastpath.hpp"
#include "native/layouts.hpp"

namespace orvo::module {

using namespace orvo::py;

// The module object this library was initialised with; a library can be
// initialised once per process because its types live in static storage.
inline PyObject* initialized = nullptr;

// Runs a module's load steps. `short_name` is the module's last name
// component, `full_name` its dotted name.
template <class Body>
int exec(PyObject* module, const char* short_name, const char* full_name, Body&& body) noexcept {
    if (initialized != nullptr) {
        if (initialized == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
        return -1;
    }
    initialized = module;
    if (guard_status([&] { body(module); }) == 0) return 0;
    // A failed load leaves nothing behind, so a later import may try again.
    initialized = nullptr;
    const std::string where = std::string("init ") + full_name;
    if (PyErr_Occurred()) _PyTraceback_Add(where.c_str(), __FILE__, 0);
    else PyErr_SetString(PyExc_ImportError, where.c_str());
    return -1;
}

// `module_name.class_name`, which must be a type whose instances have
// `size` bytes: smaller is refused, larger only warned about.
inline Ref import_type(const Ref& module, const char* module_name, const char* class_name, Py_ssize_t size) {
    Ref type = Ref::own(PyObject_GetAttrString(module.get(), class_name));
    if (!PyType_Check(type.get()))
        raise(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    if (actual != size) {
        char text[400];
        PyOS_snprintf(text, sizeof text,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, class_name, size, actual);
        if (actual < size) raise(PyExc_ValueError, "%s", text);
        check(PyErr_WarnEx(nullptr, text, 0));
    }
    return type;
}

inline void add(PyObject* module, const char* name, const Ref& value) {
    check(PyModule_AddObjectRef(module, name, value.get()));
}

inline void set_attr(const Ref& owner, PyObject* name, const Ref& value) {
    check(PyObject_SetAttr(owner.get(), name, value.get()));
}

namespace detail {

inline bool named(PyObject* f, const char* name) {
    PyObject* n = PyObject_GetAttr(f, "__name__"_id);
    if (n == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::own(n);
    return PyUnicode_Check(n) && PyUnicode_CompareWithASCIIString(n, name) == 0;
}

// Looks `name` up on the type, NULL when absent.
inline Ref lookup(PyObject* type, PyObject* name) {
    PyObject* v = PyObject_GetAttr(type, name);
    if (v != nullptr) return Ref::own(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

inline void move_attr(PyObject* type, PyObject* from, PyObject* to) {
    Ref value = Ref::own(PyObject_GetAttr(type, from));
    check(PyObject_SetAttr(type, to, value.get()));
    check(PyObject_DelAttr(type, from));
}

inline void setup_reduce(PyObject* type) {
    PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    Ref getstate = lookup(type, "__getstate__"_id);
    Ref object_getstate = lookup(object, "__getstate__"_id);
    if (getstate && getstate.get() != object_getstate.get()) return;
    Ref reduce_ex = lookup(type, "__reduce_ex__"_id);
    Ref object_reduce_ex = lookup(object, "__reduce_ex__"_id);
    if (reduce_ex.get() != object_reduce_ex.get()) return;
    Ref reduce = lookup(type, "__reduce__"_id);
    Ref object_reduce = lookup(object, "__reduce__"_id);
    if (reduce.get() != object_reduce.get() && !(reduce && named(reduce.get(), "__reduce_cython__"))) return;
    move_attr(type, "__reduce_cython__"_id, "__reduce__"_id);
    Ref setstate = lookup(type, "__setstate__"_id);
    if (!setstate || named(setstate.get(), "__setstate_cython__"))
        move_attr(type, "__setstate_cython__"_id, "__setstate__"_id);
}

}  // namespace detail

// Switches on pickling for `type` at load: its own __reduce_cython__ and
// __setstate_cython__ become __reduce__ and __setstate__, unless the class
// (or a base outside this scheme) pickles some other way.
inline void enable_pickling(const Ref& type) {
    if (guard_status([&] { detail::setup_reduce(type.get()); }) == 0) return;
    _PyErr_FormatFromCause(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                           reinterpret_cast<PyTypeObject*>(type.get())->tp_name);
    raise();
}

// A base type from orvo.field.geometry.base, checked against the layout of
// the seven base fields.
inline Ref import_base(const Ref& base_module, const char* class_name) {
    return import_type(base_module, "orvo.field.geometry.base", class_name, sizeof(geometry::RGJObject));
}

// `from package import name`: the package attribute, else the submodule
// already in sys.modules.
inline Ref import_from(const char* package, PyObject* name) {
    Ref fromlist = tuple(name);
    Ref pkg = Ref::own(PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(pkg.get(), name);
    if (value != nullptr) return Ref::own(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref full = Ref::own(PyUnicode_FromFormat("%s.%U", package, name));
    value = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_ImportError, "cannot import name %S", name);
        raise();
    }
    return Ref::borrow(value);
}

// Stores the class's __reduce_cython__ and __setstate_cython__ methods.
template <const geometry::ClassSpec& S>
void add_pickle_methods(PyObject* module, const Ref& type) {
    set_attr(type, "__reduce_cython__"_id, make_function(module, geometry::Pickle<S>::reduce, type.get()));
    set_attr(type, "__setstate_cython__"_id, make_function(module, geometry::Pickle<S>::setstate, type.get()));
}

// Creates class `S` on `base` and binds it in the module. A class that
// pickles gets its pickle methods now, and pickling is switched on, which
// moves them to __reduce__ and __setstate__; fill_class stores them again
// under their own names after the other methods, so the class dictionary
// ends up holding both names of each pair.
template <const geometry::ClassSpec& S>
Ref create_class(PyObject* module, const Ref& base) {
    Ref type = geometry::Class<S>::create(module, base.get());
    if (S.checksums[0] != 0) add_pickle_methods<S>(module, type);
    add(module, S.short_name(), type);
    if (S.checksums[0] != 0) enable_pickling(type);
    return type;
}

// Stores a method object for `def` in the class dictionary.
inline void add_method(PyObject* module, const Ref& type, const Method& def) {
    Ref f = make_function(module, def, type.get());
    Ref name = f.attr("__name__"_id);
    set_attr(type, name.get(), f);
}

// Fills the class dictionary of `S`: RGJType, the methods in table order,
// then the pickle methods.
template <const geometry::ClassSpec& S>
void fill_class(PyObject* module, const Ref& type) {
    if (S.rgj_type != nullptr) set_attr(type, "RGJType"_id, Ref::own(PyUnicode_FromString(S.rgj_type)));
    for (const Method* m : S.methods) add_method(module, type, *m);
    if (S.checksums[0] != 0) add_pickle_methods<S>(module, type);
}

// Binds the restore function of class `S`.
template <const geometry::ClassSpec& S>
void add_restore_function(PyObject* module, const Ref& type) {
    geometry::Pickle<S>::unpickle.sig.name = geometry::Class<S>::restore_name.c_str();
    add(module, geometry::Class<S>::restore_name.c_str(),
        make_function(module, geometry::Pickle<S>::unpickle, nullptr, type.get()));
}

// The builtins that method bodies call, looked up once at load.
struct Builtins {
    PyObject* super = nullptr;
    PyObject* object = nullptr;
};
inline Builtins builtins;

// How a geometry module loads besides its classes.
struct Loading {
    geometry::ModuleId id;
    std::array<const char*, 2> builtins{};  // looked up first; a missing one fails the load
    bool kernels = false;                   // binds `kernels` from orvo.field after `np`
    void (*extra)(PyObject* module) = nullptr;  // the module's own additions, run last
};

// Looks up the named builtins, keeping the ones method bodies call.
inline void look_up_builtins(const std::array<const char*, 2>& names) {
    for (const char* name : names) {
        if (name == nullptr) continue;
        Ref key = Ref::own(PyUnicode_InternFromString(name));
        Ref value = global(nullptr, key.get());
        const std::string_view n(name);
        if (n == "super") builtins.super = value.release();
        else if (n == "object") builtins.object = value.release();
    }
}

// The load steps of a geometry module, in this order: look up its
// builtins; import the base module and create its classes `S`, each on its
// base type (taken from the base module with the layout check) or on the
// class before it, binding each and switching on pickling; take whichever
// base type no class needed, with the same check; import numpy as `np` and,
// if it needs them, the kernels as `kernels`; fill each class dictionary;
// bind the restore functions and `__test__`.
template <const geometry::ClassSpec&... S>
void load_geometry_module(PyObject* module, const Loading& how) {
    look_up_builtins(how.builtins);
    Ref base_module = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref rgj, multi, previous;
    auto base_type = [&](const char* name) -> Ref {
        if (name == nullptr) return previous.copy();
        Ref& slot = std::string_view(name) == "RGJGeometry" ? rgj : multi;
        if (!slot) slot = import_base(base_module, name);
        return slot.copy();
    };
    std::array<Ref, sizeof...(S)> types;
    size_t i = 0;
    ((types[i] = create_class<S>(module, base_type(S.base)), previous = types[i].copy(), ++i), ...);
    fast::capture_base(base_type("RGJGeometry").get());
    base_type("MultiRGJGeometry");
    geometry::join_registry(how.id, module);
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    add(module, "np", np);
    fast::capture_numpy(np.get());
    if (how.kernels) {
        Ref kernels = import_from("orvo.field", "kernels"_id);
        add(module, "kernels", kernels);
        fast::capture_kernels(kernels.get());
    }
    i = 0;
    ((fill_class<S>(module, types[i]), geometry::register_class(S.id, types[i].get()), ++i), ...);
    i = 0;
    ((add_restore_function<S>(module, types[i]), ++i), ...);
    add(module, "__test__", Ref::own(PyDict_New()));
    if (how.extra != nullptr) how.extra(module);
}

}  // namespace orvo::module

// Defines the extension module `name` (its full dotted name `full_name`):
// multi-phase initialisation whose execution step runs `body(module)` under
// the one-initialisation guard, and the PyInit_<name> entry point.
#define ORVO_FIELD_MODULE(name, full_name, doc, body)                                                  \
    namespace {                                                                                        \
    int name##_module_exec(PyObject* module) noexcept {                                                \
        return ::orvo::module::exec(module, #name, full_name, body);                                   \
    }                                                                                                  \
    PyModuleDef_Slot name##_slots[] = {                                                                \
        {Py_mod_exec, reinterpret_cast<void*>(name##_module_exec)},                                    \
        {0, nullptr},                                                                                  \
    };                                                                                                 \
    PyModuleDef name##_def = {                                                                         \
        .m_base = PyModuleDef_HEAD_INIT,                                                               \
        .m_name = full_name,                                                                           \
        .m_doc = doc,                                                                                  \
        .m_size = 0,                                                                                   \
        .m_methods = nullptr,                                                                          \
        .m_slots = name##_slots,                                                                       \
        .m_traverse = nullptr,                                                                         \
        .m_clear = nullptr,                                                                            \
        .m_free = nullptr,                                                                             \
    };                                                                                                 \
    }                                                                                                  \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
