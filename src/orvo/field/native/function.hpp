// Argument binding and the method object used for every function and method
// that the native modules put in a class or module dictionary.
//
// A method body receives a bound `Call`: its `self`, its parameters in
// declaration order (borrowed; NULL for an omitted optional parameter that
// has no stored default) and the extra keywords when it collects `**kwargs`.
// Argument errors use the interpreter's standard wording.
#pragma once

#include <array>

#include "native/py.hpp"

#include <structmember.h>

namespace orvo::py {

inline constexpr int kMaxParams = 6;

struct Call;
using Impl = Ref (*)(Call&);

// A default stored on the function object (its __defaults__).
enum class Default : char { None, True, False };

// What a function accepts: positional-or-keyword parameters, the first
// `required` of them without default, and optionally **kwargs. `defaults`
// are the stored defaults of the last parameters, in order; an optional
// parameter before them, or without one, is NULL in the Call when omitted.
struct Signature {
    const char* name;
    std::array<const char*, kMaxParams> params{};
    int required = 0;
    bool varkw = false;
    std::array<Default, kMaxParams> defaults{};

    constexpr int default_count() const {
        int n = 0;
        while (n < kMaxParams && defaults[n] != Default::None) ++n;
        return n;
    }

    constexpr int count() const {
        int n = 0;
        while (n < kMaxParams && params[n] != nullptr) ++n;
        return n;
    }
};

struct Method {
    Signature sig;
    Impl impl;
    const char* doc = nullptr;
};

struct Call {
    PyObject* module = nullptr;  // globals of the defining module
    PyObject* self = nullptr;
    PyObject* for_class = nullptr;  // the class a restore function rebuilds
    PyObject* args[kMaxParams] = {};
    Ref kwargs;  // a dict of the extra keywords, or empty when there were none

    PyObject* operator[](int i) const { return args[i]; }
    // The parameter, or `fallback` when it was omitted.
    PyObject* get(int i, PyObject* fallback) const { return args[i] ? args[i] : fallback; }

    // A module global, falling back to the builtins, as a name lookup in
    // the module's own code would find it.
    Ref global(PyObject* name) const { return py::global(PyModule_GetDict(module), name); }
    // np.<name>, with `np` looked up afresh.
    Ref np(PyObject* name) const { return global("np"_id).attr(name); }
    // The extra keywords as a dict (a new empty one when there were none).
    Ref kwargs_dict() const { return kwargs ? kwargs.copy() : Ref::own(PyDict_New()); }
};

namespace detail {

[[noreturn]] inline void count_error(const Signature& s, Py_ssize_t given, bool too_many) {
    const Py_ssize_t n = s.count();
    const bool exact = s.required == n;
    const Py_ssize_t expected = too_many ? n : s.required;
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
          exact ? "exactly" : (too_many ? "at most" : "at least"), expected, expected == 1 ? "" : "s",
          given);
}

inline int find_param(const Signature& s, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (int i = 0; i < s.count(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, s.params[i]) == 0) return i;
    return -1;
}

}  // namespace detail

// Binds vectorcall arguments to `s`. Missing optional parameters take their
// value from `defaults` (the trailing parameters' defaults) when given.
inline void bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject* defaults, Call& c) {
    const int n = s.count();
    if (nargs > n) detail::count_error(s, nargs, true);
    for (Py_ssize_t i = 0; i < nargs; ++i) c.args[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool leftover = false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const int i = detail::find_param(s, PyTuple_GET_ITEM(kwnames, k));
        if (i >= nargs) c.args[i] = args[nargs + k];
        else leftover = true;
    }
    // Keywords that named no free parameter: duplicates, unknown names,
    // non-strings. As in the interpreter, these are reported before a
    // missing argument.
    for (Py_ssize_t k = 0; leftover && k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const int i = detail::find_param(s, key);
        if (i >= nargs) continue;
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
        if (i >= 0) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
        if (!s.varkw) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
        if (!c.kwargs) c.kwargs = Ref::own(PyDict_New());
        check(PyDict_SetItem(c.kwargs.get(), key, args[nargs + k]));
    }
    for (int i = 0; i < s.required; ++i)
        if (c.args[i] == nullptr) detail::count_error(s, nargs, false);
    if (defaults != nullptr) {
        const Py_ssize_t first = n - PyTuple_GET_SIZE(defaults);
        for (Py_ssize_t i = std::max<Py_ssize_t>(first, nargs); i < n; ++i)
            if (c.args[i] == nullptr) c.args[i] = PyTuple_GET_ITEM(defaults, i - first);
    }
}

// The same for a tp_init-style (tuple, dict) call.
inline void bind(const Signature& s, PyObject* args, PyObject* kwds, PyObject* defaults, Call& c,
                 Ref (&storage)[2]) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    if (nkw == 0) return bind(s, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, defaults, c);
    // Flatten into vectorcall form; `storage` keeps the pieces alive for the call.
    storage[0] = Ref::own(PyTuple_New(nargs + nkw));
    storage[1] = Ref::own(PyTuple_New(nkw));
    // The allocations may have run a collection, and with it Python code
    // that resized the dict: the walk below must see exactly `nkw` entries,
    // and nothing between this check and the walk runs Python code.
    if (PyDict_GET_SIZE(kwds) != nkw) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(storage[0].get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(storage[1].get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(storage[0].get(), nargs + k, Py_NewRef(value));
        ++k;
    }
    if (k != nkw) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    bind(s, &PyTuple_GET_ITEM(storage[0].get(), 0), nargs, storage[1].get(), defaults, c);
}

// The method object: a native function with __name__, __qualname__,
// __module__, __defaults__ and __doc__ that binds to instances like a Python
// function and pickles by reference.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Method* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;  // tuple or NULL
    PyObject* module;
    PyObject* owner;  // the class of a method: `self` must be an instance of it
    PyObject* for_class;
};

namespace detail {

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    return guard([&] {
        RecursionGuard depth(" in a native method");
        Call c;
        c.module = f->module;
        c.for_class = f->for_class;
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (f->owner != nullptr) {
            auto* owner = reinterpret_cast<PyTypeObject*>(f->owner);
            if (nargs < 1)
                raise(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
            if (!PyObject_TypeCheck(args[0], owner))
                raise(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                      f->name, owner->tp_name, Py_TYPE(args[0])->tp_name);
            c.self = args[0];
            ++args;
            --nargs;
        }
        bind(f->def->sig, args, nargs, kwnames, f->defaults, c);
        return f->def->impl(c);
    });
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->module);
    Py_VISIT(f->owner);
    Py_VISIT(f->for_class);
    return 0;
}

inline int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->module);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->for_class);
    return 0;
}

inline void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname,
                                self);
}

// Module functions pickle as a reference to the module attribute; methods as
// getattr(class, name).
inline PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->owner == nullptr) return Py_NewRef(f->qualname);
    return guard([&] {
        Ref getattr = global(nullptr, "getattr"_id);
        Ref args = tuple(f->owner, f->name);
        return tuple(getattr, args);
    });
}

// __signature__: an inspect.Signature built from the parameter table, so
// that help() and inspect.signature() show the real parameters.
inline PyObject* function_signature(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return guard([&] {
        Ref inspect = Ref::own(PyImport_ImportModule("inspect"));
        Ref parameter = inspect.attr("Parameter"_id);
        Ref kind = parameter.attr("POSITIONAL_OR_KEYWORD"_id);
        Ref params = Ref::own(PyList_New(0));
        auto add = [&](const char* name, const Ref& how, PyObject* fallback) {
            Ref n = Ref::own(PyUnicode_FromString(name));
            Ref p = fallback ? call(parameter.get(), {n.get(), how.get()}, {{"default"_id, fallback}})
                             : parameter(n, how);
            check(PyList_Append(params.get(), p.get()));
        };
        if (f->owner) add("self", kind, nullptr);
        const Signature& s = f->def->sig;
        const Py_ssize_t n = s.count(), first = f->defaults ? n - PyTuple_GET_SIZE(f->defaults) : n;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* fallback = i >= first ? PyTuple_GET_ITEM(f->defaults, i - first) : i >= s.required ? Py_None : nullptr;
            add(s.params[static_cast<size_t>(i)], kind, fallback);
        }
        if (s.varkw) add("kwargs", parameter.attr("VAR_KEYWORD"_id), nullptr);
        return inspect.attr("Signature"_id)(params);
    });
}

inline PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

inline PyType_Spec function_spec = {
    .name = "orvo_method",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// One method type per extension module (each module compiles this header).
inline PyTypeObject* function_type = nullptr;

}  // namespace detail

// The stored defaults of `s` as a tuple, or NULL when it has none.
inline Ref defaults_of(const Signature& s) {
    const int n = s.default_count();
    if (n == 0) return Ref();
    if (n > s.count() - s.required) raise(PyExc_SystemError, "%s(): too many defaults", s.name);
    Ref out = Ref::own(PyTuple_New(n));
    for (int i = 0; i < n; ++i)
        PyTuple_SET_ITEM(out.get(), i, Py_NewRef(s.defaults[static_cast<size_t>(i)] == Default::True ? Py_True : Py_False));
    return out;
}

// Creates a method object for `def`. `owner` is the class for a method (its
// qualified name then is "Class.name") or NULL for a module function;
// `for_class` is the class a restore function rebuilds.
inline Ref make_function(PyObject* module, const Method& def, PyObject* owner, PyObject* for_class = nullptr) {
    if (detail::function_type == nullptr)
        detail::function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&detail::function_spec)));
    Ref defaults = defaults_of(def.sig);
    Ref name = Ref::own(PyUnicode_InternFromString(def.sig.name));
    Ref qualname = name.copy();
    if (owner != nullptr) {
        Ref owner_qualname = Ref::own(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(owner)));
        qualname = Ref::own(PyUnicode_FromFormat("%U.%U", owner_qualname.get(), name.get()));
    }
    Ref module_name = Ref::own(PyModule_GetNameObject(module));
    Ref doc = def.doc ? Ref::own(PyUnicode_FromString(def.doc)) : none();
    auto* f = PyObject_GC_New(FunctionObject, detail::function_type);
    if (f == nullptr) raise();
    f->vectorcall = detail::function_vectorcall;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->module = Py_NewRef(module);
    f->owner = Py_XNewRef(owner);
    f->for_class = Py_XNewRef(for_class);
    Ref result = Ref::own(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    return result;
}

}  // namespace orvo::py
