// orvo.field.geometry.base: the base types every geometry derives from.
//
// RGJGeometry holds the seven fields that all geometries share and the
// methods that only need those fields: construction from coordinates and a
// repulsion matrix, the distance matrices, squared distance and field value
// (through the subclass's repulsion_vector), bounding-box tests, the centre
// point and the RGeoJSON export.
#include "native/fastpath.hpp"
#include "native/layouts.hpp"
#include "native/module.hpp"

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;

// np.array(coordinates, dtype=np.float64) as a single point (2,) or a point
// array (m, 2); an empty input becomes (0, 2).
Ref point_array(const Call& c, PyObject* coordinates) {
    Ref a = float64_array(c, coordinates);
    const std::vector<Py_ssize_t> shape = shape_of(a);
    const Py_ssize_t size = PyLong_AsSsize_t(a.attr("size"_id).get());
    if (size == -1 && PyErr_Occurred()) raise();
    if (size == 0) return a.attr("reshape"_id)(integer(0), integer(2));
    if ((shape.size() == 1 || shape.size() == 2) && shape.back() == 2) return a;
    raise(PyExc_ValueError, "coordinates must be an (x, y) pair or a sequence of (x, y) pairs, got shape %R",
          a.attr("shape"_id).get());
}

// [[min x, min y], [max x, max y]] of the points, zeros when there are none.
Ref bounding_box(const Call& c, const Ref& coordinates) {
    Ref points = coordinates.attr("reshape"_id)(integer(-1), integer(2));
    if (length(points.get()) == 0) return c.np("zeros"_id)(tuple(integer(2), integer(2)));
    Ref stack = c.np("stack"_id);
    Ref low = points.attr("min"_id)(integer(0));
    Ref high = points.attr("max"_id)(integer(0));
    return stack(tuple(low, high));
}

// Stores the repulsion matrix and the matrices derived from it; nothing
// changes when the matrix is not square or cannot be inverted.
void assign_repulsion(const Call& c, PyObject* self, const Ref& matrix) {
    Ref repulsion = float64_array(c, matrix.get());
    const std::vector<Py_ssize_t> shape = shape_of(repulsion);
    if (shape.size() != 2 || shape[0] != shape[1])
        raise(PyExc_ValueError, "repulsion must be a square 2-D matrix, got shape %R", repulsion.attr("shape"_id).get());
    Ref inverse = c.np("linalg"_id).attr("inv"_id)(repulsion);
    set(self, &RGJObject::repulsion, repulsion);
    set(self, &RGJObject::inv_repulsion, inverse);
    set(self, &RGJObject::eye_repulsion, c.np("eye"_id)(integer(length(repulsion.get()))));
    set(self, &RGJObject::grad_matrix, inverse + inverse.attr("T"_id));
}

Ref identity_of(const Call& c, PyObject* dim) { return c.np("eye"_id)(Ref::borrow(dim)); }

// __init__(coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs)
const Method init_method{{"__init__", {"coordinates", "repulsion", "properties", "optional_dim"}, 1, true}, [](Call& c) {
    Ref two = integer(2);
    Ref coordinates = point_array(c, c[0]);
    set(c.self, &RGJObject::coordinates, coordinates);
    PyObject* repulsion = c.get(1, Py_None);
    assign_repulsion(c, c.self, repulsion == Py_None ? identity_of(c, c.get(3, two.get())) : Ref::borrow(repulsion));
    PyObject* properties = c.get(2, Py_None);
    set(c.self, &RGJObject::properties, properties == Py_None ? Ref::own(PyDict_New()) : Ref::borrow(properties));
    set(c.self, &RGJObject::bbox, bounding_box(c, coordinates));
    return none();
}};

const Method set_coordinates_method{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref coordinates = point_array(c, c[0]);
    set(c.self, &RGJObject::coordinates, coordinates);
    set(c.self, &RGJObject::bbox, bounding_box(c, coordinates));
    return none();
}, "Replace the coordinates and recompute the bounding box."};

const Method set_repulsion_method{{"set_repulsion", {"new_repulsion"}, 1}, [](Call& c) {
    if (c[0] != Py_None) {
        assign_repulsion(c, c.self, Ref::borrow(c[0]));
        return none();
    }
    // None keeps the size of the current matrix, as the identity.
    Ref current = get(c.self, &RGJObject::repulsion);
    Ref size = integer(current.get() == Py_None ? 2 : length(current.get()));
    assign_repulsion(c, c.self, identity_of(c, size.get()));
    return none();
}, "Replace the repulsion matrix and the matrices derived from it."};

const Method get_dist_matrix_method{{"get_dist_matrix", {"scaled", "inverted"}, 0, false,
                                    {Default::True, Default::True}}, [](Call& c) {
    Ref m = !truth(c[0])  ? get(c.self, &RGJObject::eye_repulsion)
            : truth(c[1]) ? get(c.self, &RGJObject::inv_repulsion)
                          : get(c.self, &RGJObject::repulsion);
    return float64_array(c, m.get());
}, "The distance matrix: the inverse repulsion (scaled, inverted), the repulsion (scaled) or the identity."};

// v_i . (M v_i) for the rows of v, written out element by element so that
// the arithmetic is exactly defined: vx (m00 vx + m01 vy) + vy (m10 vx + m11 vy).
// Each step is its own statement, in the order the expression reads.
Ref quadratic_form(const Ref& v, const Ref& m) {
    Ref all = Ref::own(PySlice_New(nullptr, nullptr, nullptr));
    Ref vx = v[tuple(all, integer(0))];
    Ref vy = v[tuple(all, integer(1))];
    auto at = [&](int i, int j) { return m[tuple(integer(i), integer(j))]; };
    auto row = [&](int i) {
        Ref first = at(i, 0) * vx;
        Ref second = at(i, 1) * vy;
        return first + second;
    };
    Ref x_part = vx * row(0);
    Ref y_part = vy * row(1);
    return x_part + y_part;
}

// The same, computed here when v and the distance matrix are plain float64
// arrays and get_dist_matrix is this type's own (so reading the field it
// would copy gives the same matrix). Steps aside with an empty Ref.
Ref fast_quadratic_form(const Call& c, const Ref& v) {
    PyObject *scaled = c[1], *inverted = c[2];
    View rows;
    if (!fast::ready(c) || (scaled != Py_True && scaled != Py_False) || (inverted != Py_True && inverted != Py_False) ||
        !rows.take(v.get(), 2, 2))
        return {};
    const Py_ssize_t n = rows.rows();
    Output out = fast::output({n});
    // The allocation can run Python code: everything is checked after it.
    auto* o = reinterpret_cast<RGJObject*>(c.self);
    double m[4];
    if (!fast::ready(c) || !fast::base_dist_matrix(c.self) || !rows.take(v.get(), 2, 2) || rows.rows() != n ||
        !fast::matrix(scaled == Py_False ? o->eye_repulsion : inverted == Py_True ? o->inv_repulsion : o->repulsion, m))
        return {};
    const fast::FpWatch watch;
    const double* d = rows.data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double vx = d[2 * i], vy = d[2 * i + 1];
        out.data()[i] = vx * (m[0] * vx + m[1] * vy) + vy * (m[2] * vx + m[3] * vy);
    }
    return watch.clean() ? std::move(out.array) : Ref();
}

const Method squared_dist_method{{"squared_dist", {"x", "scaled", "inverted"}, 1, true,
                                 {Default::True, Default::True}}, [](Call& c) {
    Ref self = Ref::borrow(c.self);
    Ref repulsion_vector = self.attr("repulsion_vector"_id);
    Ref v = call(repulsion_vector.get(), {c[0]}, {{"min_dist_select"_id, Py_True}});
    if (Ref fast = fast_quadratic_form(c, v)) return fast;
    Ref get_dist_matrix = self.attr("get_dist_matrix"_id);
    Ref m = call(get_dist_matrix.get(), {}, {{"scaled"_id, c[1]}, {"inverted"_id, c[2]}});
    return quadratic_form(v, m);
}, "Squared distance v.(M v) of each query point to the geometry under the distance matrix."};

const Method eval_method{{"eval", {"x"}, 1, true}, [](Call& c) {
    Ref d = Ref::borrow(c.self).attr("squared_dist"_id)(c[0]);
    return c.np("exp"_id)(-d);
}, "Field value exp(-squared distance) at each query point."};

const Method in_bbox_method{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref x = float64_array(c, c[0], "asarray"_id);
    Ref boxes = get(c.self, &RGJObject::bbox).attr("reshape"_id)(integer(-1), integer(2), integer(2));
    const Py_ssize_t n = length(boxes.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref box = boxes[k];
        Ref inside = c.np("all"_id)(Ref::own(PyObject_RichCompare(x.get(), box[0].get(), Py_GE)));
        if (truth(inside.get()) &&
            truth(c.np("all"_id)(Ref::own(PyObject_RichCompare(x.get(), box[1].get(), Py_LE))).get()))
            return boolean(true);
    }
    return boolean(false);
}, "True when every value of x lies inside one of the bounding boxes (inclusive)."};

const Method get_center_point_method{{"get_center_point"}, [](Call& c) {
    Ref b = get(c.self, &RGJObject::bbox).attr("reshape"_id)(integer(-1), integer(2));
    Ref low = b.attr("min"_id)(integer(0));
    Ref high = b.attr("max"_id)(integer(0));
    return (low + high) / number(2.0);
}, "Centre of the bounding box."};

// Arrays become nested lists; lists of arrays become lists of nested lists.
// A list that contains itself meets the recursion limit.
Ref nested_lists(const Ref& value) {
    RecursionGuard depth(" while converting coordinates to lists");
    if (PyList_Check(value.get()) || PyTuple_Check(value.get())) {
        const Py_ssize_t n = length(value.get());
        Ref out = Ref::own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(out.get(), i, nested_lists(Ref::own(PySequence_GetItem(value.get(), i))).release());
        return out;
    }
    if (PyObject_HasAttr(value.get(), "tolist"_id)) return value.attr("tolist"_id)();
    return value.copy();
}

const Method to_rgeojson_method{{"toRGeoJSON"}, [](Call& c) {
    Ref properties = get(c.self, &RGJObject::properties);
    Ref type = Ref::borrow(c.self).attr("RGJType"_id);
    Ref coordinates = nested_lists(get(c.self, &RGJObject::coordinates));
    Ref repulsion = get(c.self, &RGJObject::repulsion).attr("tolist"_id)();
    return feature(properties, type, "coordinates"_id, coordinates, repulsion);
}, "The RGeoJSON Feature dictionary of this geometry."};

PyObject* geo_interface(PyObject* self, void*) noexcept {
    return guard([&] { return Ref::borrow(self).attr("toRGeoJSON"_id)()["geometry"_id]; });
}

PyGetSetDef geo_getset[] = {
    {"__geo_interface__", geo_interface, nullptr, "The GeoJSON geometry dictionary of this geometry.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The registry every geometry module joins at load (layouts.hpp).
Registry shared_registry;

void share_registry(PyObject* module, const Ref& np, const Ref& base) {
    registry = &shared_registry;
    field_stores = &shared_registry.field_stores;
    auto* type = reinterpret_cast<PyTypeObject*>(base.get());
    shared_registry.np = np.get();
    shared_registry.squared_dist = _PyType_Lookup(type, "squared_dist"_id);
    shared_registry.get_dist_matrix = _PyType_Lookup(type, "get_dist_matrix"_id);
    shared_registry.eval = _PyType_Lookup(type, "eval"_id);
    shared_registry.modules[static_cast<int>(ModuleId::Base)] = PyModule_GetDict(module);
    mod::add(module, "_registry", Ref::own(PyCapsule_New(&shared_registry, "orvo.field.geometry.base._registry", nullptr)));
}

constexpr const Method* base_methods[] = {
    &set_coordinates_method, &set_repulsion_method, &get_dist_matrix_method, &squared_dist_method,
    &eval_method, &in_bbox_method, &get_center_point_method, &to_rgeojson_method,
};

constexpr ClassSpec RGJGeometry_spec{
    .name = "orvo.field.geometry.base.RGJGeometry", .rgj_type = nullptr, .id = ClassId::Count, .base = nullptr,
    .fields = base_fields, .inherited = {}, .init = &init_method, .methods = base_methods, .checksums = {},
    .doc = "Base of all repulsion-field geometries: coordinates, repulsion matrix, properties and bounding box."};
constexpr ClassSpec MultiRGJGeometry_spec{
    .name = "orvo.field.geometry.base.MultiRGJGeometry", .rgj_type = nullptr, .id = ClassId::Count, .base = nullptr,
    .fields = {}, .inherited = {}, .init = nullptr, .methods = {}, .checksums = {},
    .doc = "Base of the multi-part geometries."};

void base_exec(PyObject* module) {
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    mod::add(module, "np", np);
    orvo::fast::capture_numpy(np.get());
    Ref object = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Ref base = mod::create_class<RGJGeometry_spec>(module, object);
    Ref multi = mod::create_class<MultiRGJGeometry_spec>(module, base);
    mod::fill_class<RGJGeometry_spec>(module, base);
    // The REPL and notebook displays and a collection's sequence methods are
    // plain Python, on these two base types only: the classes' own
    // dictionaries stay as they are. Installed before the fast paths take
    // note of the base type.
    Ref display = Ref::own(PyImport_ImportModule("orvo.field._display"));
    display.attr("install"_id)(base, multi);
    orvo::fast::capture_base(base.get());
    share_registry(module, np, base);
    Ref property = Ref::own(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(base.get()), geo_getset));
    mod::set_attr(base, "__geo_interface__"_id, property);
}

}  // namespace

ORVO_FIELD_MODULE(base, "orvo.field.geometry.base", "Base types of the repulsion-field geometries.", base_exec)
