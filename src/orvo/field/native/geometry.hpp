// The geometry instance layout and the per-class tables.
//
// Every geometry class is one `ClassSpec`: its fields after its base's
// (offsets derived from their order), its __init__, the methods of its
// class dictionary with their defaults, its RGJType and its pickle
// checksums. From that table come the instance slots (allocation
// defaults, GC traversal and clearing chained to the base type,
// deallocation), the attribute descriptors, the pickle member list and
// the pickle protocol: `__reduce_cython__`, `__setstate_cython__` and the
// module's restore function. module.hpp builds and loads the classes.
// Method bodies evaluate each Python-visible step into a named local, in
// the order the steps are stated: C++ leaves the order of a call's
// arguments open.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "native/function.hpp"

namespace orvo::geometry {

using namespace orvo::py;

// Header plus the seven object references every geometry starts with.
struct RGJObject {
    PyObject_HEAD
    PyObject* coordinates;
    PyObject* repulsion;
    PyObject* inv_repulsion;
    PyObject* eye_repulsion;
    PyObject* grad_matrix;
    PyObject* properties;
    PyObject* bbox;
};

// The package's classes, as the registry (layouts.hpp) numbers them. An
// index of a collection reads the members of the classes before
// GeometryCollection; base types have no number (Count).
enum class ClassId { Point, MultiPoint, LineString, MultiLineString, Polygon, MultiPolygon, GeometryCollection, Count };
inline constexpr int kMemberClasses = static_cast<int>(ClassId::GeometryCollection);
enum class ModuleId { Base, Point, LineString, Polygon, Collection, Count };

// Object: any value. List: exactly a list or None. Index: a Py_ssize_t that
// accepts any integer-like value and cannot be deleted.
enum class Kind { Object, List, Index };

struct Field {
    const char* name;
    Kind kind = Kind::Object;
    bool derived = false;  // the package's own array (or list of arrays), frozen when restored
    Py_ssize_t offset = 0;  // of its slot in the instance; set by fields_after()
};

// A class's own fields in layout order, each in one pointer-sized slot,
// the first right after the layout `Base`: the offsets are derived here
// once, and each class checks its struct against them.
template <class Base, size_t N>
consteval std::array<Field, N> fields_after(const Field (&list)[N]) {
    static_assert(sizeof(PyObject*) == sizeof(Py_ssize_t));
    std::array<Field, N> out{};
    for (size_t i = 0; i < N; ++i) {
        out[i] = list[i];
        out[i].offset = static_cast<Py_ssize_t>(sizeof(Base) + i * sizeof(PyObject*));
    }
    return out;
}

// The instance size of a layout whose last fields are `fields`.
template <size_t N>
consteval size_t layout_size(const std::array<Field, N>& fields) {
    return static_cast<size_t>(fields.back().offset) + sizeof(PyObject*);
}

// Turns a restored derived value into the package's frozen form; set by
// the modules whose classes have derived fields.
inline Ref (*freeze_restored)(PyObject* value) = nullptr;

inline constexpr auto base_fields = fields_after<PyObject>({
    {"coordinates"}, {"repulsion"}, {"inv_repulsion"}, {"eye_repulsion"}, {"grad_matrix"}, {"properties"}, {"bbox"},
});
static_assert(layout_size(base_fields) == sizeof(RGJObject));

// Everything that makes a geometry class: its layout, its class
// dictionary, its pickle checksums. `create_class` and `fill_class`
// (module.hpp) build the class from it.
struct ClassSpec {
    const char* name;       // fully qualified: "orvo.field.geometry.point.PointRGJ"
    const char* rgj_type;   // the class attribute RGJType; null for the base types
    ClassId id;             // the class's registry slot; Count for the base types
    const char* base;       // its base type in the base module, or null: the class before it in its module
    std::span<const Field> fields;     // its own, after its base's
    std::span<const Field> inherited;  // its base's beyond the seven, for the pickle state
    const Method* init;                // __init__, or null to inherit it
    std::span<const Method* const> methods;  // the class dictionary's, in this order
    std::array<long, 3> checksums{};         // SHA-256 (written), SHA-1, MD5 of the member list; 0: no pickling
    const char* doc = nullptr;
    void (*on_dealloc)(PyObject*) noexcept = nullptr;  // drops what is kept for an instance

    Py_ssize_t basicsize() const {
        return fields.empty() ? 0 : fields.back().offset + static_cast<Py_ssize_t>(sizeof(PyObject*));
    }
    const char* short_name() const { return std::strrchr(name, '.') + 1; }
};

inline PyObject*& object_slot(PyObject* self, const Field& f) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + f.offset);
}
inline Py_ssize_t& index_slot(PyObject* self, const Field& f) {
    return *reinterpret_cast<Py_ssize_t*>(reinterpret_cast<char*>(self) + f.offset);
}

// Stores into geometries' fields, counted across all modules (the count
// lives in the base module's registry once it is joined). An index that
// saw the count unchanged since its last check knows that no field of any
// geometry has been replaced meanwhile. Counted before the old value is
// released, which can run Python code.
inline std::uint64_t local_stores = 0;
inline std::uint64_t* field_stores = &local_stores;
inline void count_store() noexcept { ++*field_stores; }

// Field access for method bodies: get(self, &RGJObject::bbox).
template <class T>
Ref get(PyObject* self, PyObject* T::*member) {
    return Ref::borrow(reinterpret_cast<T*>(self)->*member);
}
template <class T>
void set(PyObject* self, PyObject* T::*member, const Ref& value) {
    count_store();
    replace(reinterpret_cast<T*>(self)->*member, value.get());
}

// Converts a value for an integer field: anything with __index__.
inline Py_ssize_t to_index(PyObject* value) {
    Py_ssize_t v = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) raise();
    return v;
}

inline void check_list(PyObject* value) {
    if (value != Py_None && !PyList_CheckExact(value))
        raise(PyExc_TypeError, "Expected %.42s, got %.200s", "list", Py_TYPE(value)->tp_name);
}

// Stores `value` into field `f` of `self` with the field's rules.
inline void store(PyObject* self, const Field& f, PyObject* value) {
    count_store();
    switch (f.kind) {
        case Kind::Index: index_slot(self, f) = to_index(value); return;
        case Kind::List: check_list(value); [[fallthrough]];
        case Kind::Object: replace(object_slot(self, f), value); return;
    }
}

inline Ref load(PyObject* self, const Field& f) {
    if (f.kind == Kind::Index) return integer(index_slot(self, f));
    return Ref::borrow(object_slot(self, f));
}

namespace detail {

inline PyObject* field_get(PyObject* self, void* closure) noexcept {
    return guard([&] { return load(self, *static_cast<const Field*>(closure)); });
}

inline int field_set(PyObject* self, PyObject* value, void* closure) noexcept {
    const Field& f = *static_cast<const Field*>(closure);
    return guard_status([&] {
        if (value != nullptr) return store(self, f, value);
        if (f.kind == Kind::Index) raise(PyExc_NotImplementedError, "__del__");
        count_store();
        replace(object_slot(self, f), Py_None);
    });
}

}  // namespace detail

// Instance slots, descriptors and pickle member list of the class `S`,
// chained to its base type.
template <const ClassSpec& S>
struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline PyObject* module = nullptr;  // the defining module, whose globals the methods see
    static inline std::array<PyGetSetDef, 16> getset{};
    // All fields (the base's seven, the inherited and the own) in ascending
    // name order: the order of the pickle state and of the checksum text.
    static inline std::vector<Field> members;
    static inline std::string restore_name;  // "__pyx_unpickle_<Class>"
    static inline PyObject* restore_key = nullptr;  // the same, interned

    static PyTypeObject* base() { return type->tp_base; }

    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwds) noexcept {
        PyObject* self = base() == &PyBaseObject_Type ? t->tp_alloc(t, 0) : base()->tp_new(t, args, kwds);
        if (self == nullptr) return nullptr;
        for (const Field& f : S.fields)
            if (f.kind != Kind::Index) object_slot(self, f) = Py_NewRef(Py_None);
        return self;
    }

    // Binds (args, kwds) to the class's __init__ and runs it.
    static int tp_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
        return guard_status([&] {
            RecursionGuard depth(" in a native __init__");
            Call c;
            c.module = module;
            c.self = self;
            Ref storage[2];
            bind(S.init->sig, args, kwds, nullptr, c, storage);
            S.init->impl(c);
        });
    }

    // The base type's traversal and clearing run first, then this class's fields.
    static int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        if (base()->tp_traverse != nullptr) {
            if (int r = base()->tp_traverse(self, visit, arg)) return r;
        } else {
            Py_VISIT(Py_TYPE(self));
        }
        for (const Field& f : S.fields)
            if (f.kind != Kind::Index) Py_VISIT(object_slot(self, f));
        return 0;
    }

    // Cleared fields hold None, so methods never meet a NULL field.
    static int tp_clear(PyObject* self) noexcept {
        if (base()->tp_clear != nullptr) base()->tp_clear(self);
        count_store();
        for (const Field& f : S.fields)
            if (f.kind != Kind::Index) replace(object_slot(self, f), Py_None);
        return 0;
    }

    // The trashcan defers deallocations nested too deeply (a geometry whose
    // field holds a geometry whose field holds ...), so that freeing a long
    // chain does not exhaust the C stack. It acts only in the most derived
    // class's deallocation.
    static void tp_dealloc(PyObject* self) noexcept {
        PyObject_GC_UnTrack(self);
        Py_TRASHCAN_BEGIN(self, tp_dealloc)
        if (S.on_dealloc != nullptr) S.on_dealloc(self);
        for (const Field& f : S.fields)
            if (f.kind != Kind::Index) Py_CLEAR(object_slot(self, f));
        if (base() != &PyBaseObject_Type) {
            base()->tp_dealloc(self);
        } else {
            PyTypeObject* t = Py_TYPE(self);
            t->tp_free(self);
            Py_DECREF(t);
        }
        Py_TRASHCAN_END
    }

    // Creates the type in `module` with `base_type` as its base class.
    static Ref create(PyObject* defining_module, PyObject* base_type) {
        module = defining_module;
        members.assign(base_fields.begin(), base_fields.end());
        members.insert(members.end(), S.inherited.begin(), S.inherited.end());
        members.insert(members.end(), S.fields.begin(), S.fields.end());
        std::sort(members.begin(), members.end(),
                  [](const Field& a, const Field& b) { return std::string_view(a.name) < std::string_view(b.name); });
        restore_name = std::string("__pyx_unpickle_") + S.short_name();
        Py_XSETREF(restore_key, check(PyUnicode_InternFromString(restore_name.c_str())));
        std::array<PyType_Slot, 16> slots{};
        size_t n = 0;
        if (!S.fields.empty()) {
            if (S.fields.size() >= getset.size()) raise(PyExc_SystemError, "too many fields");
            for (size_t i = 0; i < S.fields.size(); ++i)
                getset[i] = {S.fields[i].name, detail::field_get, detail::field_set, nullptr,
                             const_cast<Field*>(&S.fields[i])};
            slots[n++] = {Py_tp_new, reinterpret_cast<void*>(tp_new)};
            slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse)};
            slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(tp_clear)};
            slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)};
            slots[n++] = {Py_tp_getset, getset.data()};
        } else {
            // Keep the base's deallocation: a heap type given none would get
            // the interpreter's subtype_dealloc, which re-enters the
            // deallocation of the instance's most derived native class.
            slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(
                                             reinterpret_cast<PyTypeObject*>(base_type)->tp_dealloc)};
        }
        if (S.init != nullptr) slots[n++] = {Py_tp_init, reinterpret_cast<void*>(tp_init)};
        if (S.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(S.doc)};
        static PyType_Spec spec{};
        // Without fields of its own the class inherits the GC slots, and with
        // them the GC flag, from its base.
        const unsigned gc = S.fields.empty() ? 0 : Py_TPFLAGS_HAVE_GC;
        spec = {S.name, static_cast<int>(S.basicsize()), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | gc,
                slots.data()};
        Ref bases = tuple(base_type);
        Ref t = Ref::own(PyType_FromModuleAndSpec(module, &spec, bases.get()));
        type = reinterpret_cast<PyTypeObject*>(t.get());
        return t;
    }
};

// np.<name>(value, dtype=np.float64): np.array or np.asarray.
inline Ref float64_array(const Call& c, PyObject* value, PyObject* name = "array"_id) {
    Ref convert = c.np(name);
    Ref f64 = c.np("float64"_id);
    return call(convert.get(), {value}, {{"dtype"_id, f64.get()}});
}

// np.atleast_2d(x).astype(np.float64): a new float64 array of (x, y) rows.
inline Ref query_points(const Call& c, PyObject* x) {
    return c.np("atleast_2d"_id)(x).attr("astype"_id)(c.np("float64"_id));
}

// self.get_dist_matrix(scaled=True, inverted=True): the distance metric.
inline Ref dist_metric(PyObject* self) {
    Ref method = Ref::borrow(self).attr("get_dist_matrix"_id);
    return call(method.get(), {}, {{"scaled"_id, Py_True}, {"inverted"_id, Py_True}});
}

// super(cls, self).__init__(coordinates=..., repulsion=..., **kwargs) for an
// __init__(coordinates, repulsion=None, **kwargs) that extends its base's.
inline void super_init(const Call& c, PyObject* super_builtin, PyTypeObject* cls) {
    Ref init = Ref::borrow(super_builtin)(cls, c.self).attr("__init__"_id);
    Ref kwargs = Ref::own(PyDict_New());
    check(PyDict_SetItem(kwargs.get(), "coordinates"_id, c[0]));
    check(PyDict_SetItem(kwargs.get(), "repulsion"_id, c.get(1, Py_None)));
    if (c.kwargs) check(PyDict_Update(kwargs.get(), c.kwargs.get()));
    Ref empty = Ref::own(PyTuple_New(0));
    Ref::own(PyObject_Call(init.get(), empty.get(), kwargs.get()));
}

// Assigns the repulsion fields directly, for classes that fill the base
// fields themselves: `repulsion` (np.eye(optional_dim) when None, else a
// float64 copy), its inverse, the identity of its size, `properties` (a new
// dict when None) and `grad_matrix`. Each field is stored as it is computed.
inline void init_repulsion_fields(const Call& c, PyObject* self, PyObject* repulsion, PyObject* optional_dim,
                                  PyObject* properties) {
    set(self, &RGJObject::repulsion, repulsion == Py_None ? c.np("eye"_id)(optional_dim) : float64_array(c, repulsion));
    Ref matrix = get(self, &RGJObject::repulsion);
    set(self, &RGJObject::inv_repulsion, c.np("linalg"_id).attr("inv"_id)(matrix));
    set(self, &RGJObject::eye_repulsion, c.np("eye"_id)(integer(length(matrix.get()))));
    set(self, &RGJObject::properties, properties == Py_None ? Ref::own(PyDict_New()) : Ref::borrow(properties));
    Ref inverse = get(self, &RGJObject::inv_repulsion);
    set(self, &RGJObject::grad_matrix, inverse + inverse.attr("T"_id));
}

// The RGeoJSON Feature dictionary: {"type": "Feature", "properties": ...,
// "geometry": {"type": ..., <key>: <value>, "repulsion": ...}}; without a
// repulsion value the geometry has no "repulsion" key. The callers compute
// the values first, in the order the keys stand.
inline Ref feature(const Ref& properties, const Ref& type, PyObject* key, const Ref& value,
                   const Ref& repulsion = Ref()) {
    Ref geometry = Ref::own(PyDict_New());
    check(PyDict_SetItem(geometry.get(), "type"_id, type.get()));
    check(PyDict_SetItem(geometry.get(), key, value.get()));
    if (repulsion) check(PyDict_SetItem(geometry.get(), "repulsion"_id, repulsion.get()));
    Ref out = Ref::own(PyDict_New());
    check(PyDict_SetItem(out.get(), "type"_id, "Feature"_id));
    check(PyDict_SetItem(out.get(), "properties"_id, properties.get()));
    check(PyDict_SetItem(out.get(), "geometry"_id, geometry.get()));
    return out;
}

// ---------------------------------------------------------------------------
// Pickling: the state is the tuple of the member values in member order,
// followed by the instance __dict__ when there is a non-empty one.

namespace detail {

// Writes the members from `state` into `obj`, one at a time.
template <const ClassSpec& S>
void restore_fields(PyObject* obj, PyObject* state) {
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    const std::vector<Field>& members = Class<S>::members;
    const Py_ssize_t k = static_cast<Py_ssize_t>(members.size());
    for (Py_ssize_t i = 0; i < k; ++i) {
        if (i >= size) raise(PyExc_IndexError, "tuple index out of range");
        const Field& f = members[static_cast<size_t>(i)];
        PyObject* value = PyTuple_GET_ITEM(state, i);
        if (f.derived && freeze_restored != nullptr) store(obj, f, freeze_restored(value).get());
        else store(obj, f, value);
    }
    if (size <= k || !truth(PyTuple_GET_ITEM(state, k))) return;
    PyObject* extra = PyTuple_GET_ITEM(state, k);
    Ref dict = Ref::own(PyObject_GetAttr(obj, "__dict__"_id));
    if (PyDict_CheckExact(dict.get()) && PyDict_Check(extra)) check(PyDict_Update(dict.get(), extra));
    else dict.attr("update"_id)(extra);
}

// getattr(obj, "__dict__", None), swallowing only AttributeError.
inline Ref instance_dict(PyObject* obj) {
    PyObject* d = PyObject_GetAttr(obj, "__dict__"_id);
    if (d != nullptr) return Ref::own(d);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return none();
}

inline std::string member_list(std::span<const Field> members) {
    std::string text;
    for (const Field& f : members) text += (text.empty() ? "" : ", ") + std::string(f.name);
    return text;
}

// __reduce_cython__(): (restore, (type, checksum, None), state) when the
// state must go through __setstate__, else (restore, (type, checksum, state)).
template <const ClassSpec& S>
Ref reduce(Call& c) {
    const std::vector<Field>& members = Class<S>::members;
    const Py_ssize_t k = static_cast<Py_ssize_t>(members.size());
    Ref state = Ref::own(PyTuple_New(k));
    bool any_object = false;
    for (Py_ssize_t i = 0; i < k; ++i) {
        const Field& f = members[static_cast<size_t>(i)];
        any_object |= f.kind != Kind::Index && object_slot(c.self, f) != Py_None;
        PyTuple_SET_ITEM(state.get(), i, load(c.self, f).release());
    }
    Ref dict = instance_dict(c.self);
    const bool with_dict = dict.get() != Py_None && truth(dict.get());
    if (with_dict) state = Ref::own(PySequence_Concat(state.get(), tuple(dict).get()));
    Ref restore = c.global(Class<S>::restore_key);
    Ref checksum = Ref::own(PyLong_FromLong(S.checksums[0]));
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(c.self)));
    if (with_dict || any_object) {
        Ref args = tuple(cls, checksum, Py_None);
        return tuple(restore, args, state);
    }
    Ref args = tuple(cls, checksum, state);
    return tuple(restore, args);
}

// __setstate_cython__(state): overwrites the fields from the state tuple.
template <const ClassSpec& S>
Ref setstate(Call& c) {
    PyObject* state = c[0];
    if (state != Py_None && !PyTuple_CheckExact(state))
        raise(PyExc_TypeError, "Expected %.42s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
    if (state == Py_None)
        raise(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    restore_fields<S>(c.self, state);
    return none();
}

// __pyx_unpickle_<Class>(type, checksum, state): checks the layout checksum,
// allocates without __init__ and restores the fields when a state is given.
template <const ClassSpec& S>
Ref unpickle(Call& c) {
    Ref index = Ref::own(PyNumber_Index(c[1]));
    const long checksum = PyLong_AsLong(index.get());
    if (checksum == -1 && PyErr_Occurred()) raise();
    PyObject* state = c[2];
    if (state != Py_None && !PyTuple_CheckExact(state))
        raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "__pyx_state",
              "tuple", Py_TYPE(state)->tp_name);
    if (std::find(S.checksums.begin(), S.checksums.end(), checksum) == S.checksums.end()) {
        Ref error = Ref::own(PyImport_ImportModule("pickle")).attr("PickleError"_id);
        const std::string members = member_list(Class<S>::members);
        PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                     static_cast<unsigned>(checksum & 0xffffffffUL), static_cast<unsigned>(S.checksums[0]),
                     static_cast<unsigned>(S.checksums[1]), static_cast<unsigned>(S.checksums[2]), members.c_str());
        raise();
    }
    Ref result = Ref::borrow(c.for_class).attr("__new__"_id)(c[0]);
    // The class attribute __new__ can be replaced from Python: never write
    // fields into an object of some other layout.
    if (!PyObject_TypeCheck(result.get(), Class<S>::type))
        raise(PyExc_TypeError, "%.200s.__new__() returned a '%.200s' object", Class<S>::type->tp_name,
              Py_TYPE(result.get())->tp_name);
    if (state != Py_None) restore_fields<S>(result.get(), state);
    return result;
}

}  // namespace detail

// The method table entries of the pickle protocol for class `S`.
template <const ClassSpec& S>
struct Pickle {
    static inline const Method reduce{{"__reduce_cython__"}, detail::reduce<S>};
    static inline const Method setstate{{"__setstate_cython__", {"__pyx_state"}, 1}, detail::setstate<S>};
    // Named when the class is created.
    static inline Method unpickle{{nullptr, {"__pyx_type", "__pyx_checksum", "__pyx_state"}, 3}, detail::unpickle<S>};
};

}  // namespace orvo::geometry
