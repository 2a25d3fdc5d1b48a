// Instance layouts of the geometry classes with fields of their own, and the
// registry through which the modules learn about each other's classes.
//
// The modules never link or import each other; the collection still reads
// its members' fields directly for its scene index (collection.cpp says
// when that is safe). For that the layouts live here, and every module
// records at load, in one registry owned by the base module, its classes,
// the methods it gave them and its module dictionary.
#pragma once

#include "native/geometry.hpp"

namespace orvo::geometry {

// The segment cache of lines and polygons: the (S, 2, 2) segment end
// points, and derived from them the start points `_p1`, the vectors `_v`
// and the guarded squared lengths `_v_dot_v`.
struct SegmentFields {
    PyObject* points_in_line_pair;
    PyObject* _p1;
    PyObject* _v;
    PyObject* _v_dot_v;
};

struct LineStringObject {
    RGJObject base;
    SegmentFields segments;
    Py_ssize_t lines_n;
};

struct PolygonObject {
    RGJObject base;
    PyObject* rings;
    SegmentFields segments;
    PyObject* metric;
    Py_ssize_t _S;
};

struct MultiPolygonObject {
    RGJObject base;
    PyObject* polygons;
    SegmentFields segments;
    Py_ssize_t _S;
};

// The tables of their fields, in layout order.
inline constexpr Field kPointsInLinePair{"points_in_line_pair"}, kP1{"_p1", Kind::Object, true},
    kV{"_v", Kind::Object, true}, kVdotV{"_v_dot_v", Kind::Object, true};

inline constexpr auto line_fields =
    fields_after<RGJObject>({kPointsInLinePair, kP1, kV, kVdotV, {"lines_n", Kind::Index}});
inline constexpr auto polygon_fields = fields_after<RGJObject>(
    {{"rings", Kind::List, true}, kPointsInLinePair, kP1, kV, kVdotV, {"metric"}, {"_S", Kind::Index}});
inline constexpr auto multipolygon_fields =
    fields_after<RGJObject>({{"polygons", Kind::List}, kPointsInLinePair, kP1, kV, kVdotV, {"_S", Kind::Index}});
static_assert(layout_size(line_fields) == sizeof(LineStringObject));
static_assert(layout_size(polygon_fields) == sizeof(PolygonObject));
static_assert(layout_size(multipolygon_fields) == sizeof(MultiPolygonObject));

struct Registry {
    PyTypeObject* types[static_cast<int>(ClassId::Count)] = {};
    PyObject* repulsion_vector[static_cast<int>(ClassId::Count)] = {};  // as each class was built
    PyObject* squared_dist = nullptr;                                   // the base type's methods
    PyObject* get_dist_matrix = nullptr;
    PyObject* eval = nullptr;
    PyObject* modules[static_cast<int>(ModuleId::Count)] = {};  // their dictionaries
    PyObject* np = nullptr;
    PyObject* kernels = nullptr;
    PyObject* segment_kernel = nullptr;
    PyObject* rings_kernel = nullptr;
    std::uint64_t field_stores = 0;  // see count_store()
};

inline Registry* registry = nullptr;

// Finds the base module's registry; called by every module but the base
// while it loads.
inline Registry& join_registry(ModuleId self, PyObject* module) {
    Ref base = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref capsule = base.attr("_registry"_id);
    registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule.get(), "orvo.field.geometry.base._registry"));
    if (registry == nullptr) raise();
    registry->modules[static_cast<int>(self)] = PyModule_GetDict(module);
    field_stores = &registry->field_stores;
    return *registry;
}

// The package class registered as `id`.
inline PyTypeObject* type_of(ClassId id) { return registry->types[static_cast<int>(id)]; }
inline bool exactly(PyObject* o, ClassId id) { return Py_TYPE(o) == type_of(id); }

// Records a class and the repulsion_vector it resolves to now; the base
// types are not recorded.
inline void register_class(ClassId id, PyObject* type) {
    if (id == ClassId::Count) return;
    registry->types[static_cast<int>(id)] = reinterpret_cast<PyTypeObject*>(type);
    registry->repulsion_vector[static_cast<int>(id)] =
        _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type), "repulsion_vector"_id);
}

}  // namespace orvo::geometry
