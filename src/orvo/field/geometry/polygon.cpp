// orvo.field.geometry.polygon: PolygonRGJ and MultiPolygonRGJ.
//
// A polygon normalises its rings (outer first, then holes) into closed
// float64 arrays and flattens all ring edges into one segment cache. Its
// field is one-sided: points inside feel nothing, points outside get the
// vector from the nearest boundary point under the cached metric. A
// multi-polygon owns one polygon per member, flattens their segments into a
// cache of its own and makes no inside test.
#include "../native/layouts.hpp"
#include "../native/module.hpp"
#include "../native/segments.hpp"
#include "../kernels/engine.hpp"

#include <deque>

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;



constexpr std::array<Field, 7> polygon_fields = {{
    {"rings", Kind::List, offsetof(PolygonObject, rings), true},
    {"points_in_line_pair", Kind::Object, offsetof(PolygonObject, points_in_line_pair)},
    {"_p1", Kind::Object, offsetof(PolygonObject, _p1), true},
    {"_v", Kind::Object, offsetof(PolygonObject, _v), true},
    {"_v_dot_v", Kind::Object, offsetof(PolygonObject, _v_dot_v), true},
    {"metric", Kind::Object, offsetof(PolygonObject, metric)},
    {"_S", Kind::Index, offsetof(PolygonObject, _S)},
}};
constexpr std::array<Field, 6> multipolygon_fields = {{
    {"polygons", Kind::List, offsetof(MultiPolygonObject, polygons)},
    {"points_in_line_pair", Kind::Object, offsetof(MultiPolygonObject, points_in_line_pair)},
    {"_p1", Kind::Object, offsetof(MultiPolygonObject, _p1), true},
    {"_v", Kind::Object, offsetof(MultiPolygonObject, _v), true},
    {"_v_dot_v", Kind::Object, offsetof(MultiPolygonObject, _v_dot_v), true},
    {"_S", Kind::Index, offsetof(MultiPolygonObject, _S)},
}};
constexpr auto polygon_members = members_of<polygon_fields>();
constexpr auto multipolygon_members = members_of<multipolygon_fields>();

constexpr ClassSpec PolygonRGJ_spec{"orvo.field.geometry.polygon.PolygonRGJ", "__pyx_unpickle_PolygonRGJ",
                                    polygon_fields, polygon_members, {0x5381b98, 0x1976dbf, 0xbdeaa06},
                                    sizeof(PolygonObject)};
constexpr ClassSpec MultiPolygonRGJ_spec{"orvo.field.geometry.polygon.MultiPolygonRGJ",
                                         "__pyx_unpickle_MultiPolygonRGJ", multipolygon_fields,
                                         multipolygon_members, {0xe734440, 0xc1cbf44, 0xd9d07e6},
                                         sizeof(MultiPolygonObject)};

// Kept from load time: this module and the builtins `object` and `super`.
PyObject* polygon_module = nullptr;
struct {
    PyObject* object_ = nullptr;
    PyObject* super_ = nullptr;
} builtins;

Ref method(PyObject* self, PyObject* name) { return Ref::borrow(self).attr(name); }
Ref get_dist_matrix(PyObject* self) {
    return call(method(self, "get_dist_matrix"_id).get(), {}, {{"scaled"_id, Py_True}, {"inverted"_id, Py_True}});
}
Ref zeros(const Call& c, Py_ssize_t rows, Py_ssize_t cols) {
    return c.np("zeros"_id)(tuple(integer(rows), integer(cols)));
}
Ref float_type() { return Ref::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)); }

// Segment cache from `points_in_line_pair`: _p1, _v, _v_dot_v and _S, or
// empty arrays and 0 when there is no segment.
template <class T>
void build_cache(const Call& c, PyObject* self) {
    const Py_ssize_t size = PyLong_AsSsize_t(get(self, &T::points_in_line_pair).attr("size"_id).get());
    if (size == -1 && PyErr_Occurred()) raise();
    if (size != 0) {
        build_segment_cache<T>(c, self);
        const Py_ssize_t count = to_index(get(self, &T::_p1).attr("shape"_id)[0].get());
        count_store();
        reinterpret_cast<T*>(self)->_S = count;
        return;
    }
    set(self, &T::_p1, zeros(c, 0, 2));
    set(self, &T::_v, zeros(c, 0, 2));
    set(self, &T::_v_dot_v, c.np("zeros"_id)(tuple(integer(0))));
    count_store();
    reinterpret_cast<T*>(self)->_S = 0;
}

// np.concatenate(parts, axis=0), or an empty (0, 2, 2) array for no parts.
Ref join_segments(const Call& c, const Ref& parts) {
    if (PyList_GET_SIZE(parts.get()) == 0) return c.np("zeros"_id)(tuple(integer(0), integer(2), integer(2)));
    return call(c.np("concatenate"_id).get(), {parts.get()}, {{"axis"_id, integer(0).get()}});
}

// ---------------------------------------------------------------------------
// PolygonRGJ construction

// [r.tolist() for r in rings]
Ref ring_lists(PyObject* rings) {
    return map_list(rings, [](const Ref& r) { return r.attr("tolist"_id)(); });
}


// The candidate rings of `coordinates`: a (k, 2) array is one ring, other
// arrays one ring per element; for lists and tuples the first element
// decides between one ring (a number or a point) and a list of rings.
Ref candidate_rings(const Call& c, PyObject* coordinates) {
    Ref out = Ref::own(PyList_New(0));
    Ref asarray = c.np("asarray"_id);
    auto append = [&](const Ref& ring) { check(PyList_Append(out.get(), ring.get())); };
    auto one_ring = [&] { append(asarray(coordinates, float_type()).attr("reshape"_id)(integer(-1), integer(2))); };
    if (check(PyObject_IsInstance(coordinates, c.np("ndarray"_id).get()))) {
        Ref array = Ref::borrow(coordinates);
        const long ndim = PyLong_AsLong(array.attr("ndim"_id).get());
        if (ndim == -1 && PyErr_Occurred()) raise();
        if (ndim == 2) append(array.attr("astype"_id)(float_type()));
        else for_each(coordinates, [&](const Ref& r) { append(asarray(r, float_type())); });
        return out;
    }
    if (!PyList_Check(coordinates) && !PyTuple_Check(coordinates))
        raise(PyExc_TypeError, "Coordinates must be ndarray or list/tuple.");
    if (length(coordinates) == 0) return out;
    Ref first = Ref::own(PySequence_GetItem(coordinates, 0));
    PyObject* f = first.get();
    if (PyLong_Check(f) || PyFloat_Check(f) || check(PyObject_IsInstance(f, c.np("floating"_id).get()))) {
        one_ring();
        return out;
    }
    const bool sequence = PyList_Check(f) || PyTuple_Check(f) || check(PyObject_IsInstance(f, c.np("ndarray"_id).get()));
    if (sequence && length(f) == 2) {
        one_ring();
        return out;
    }
    for_each(coordinates, [&](const Ref& r) {
        append(asarray(r, float_type()).attr("reshape"_id)(integer(-1), integer(2)));
    });
    return out;
}

// A (k, 2) ring, closed unless empty or already closed within np.allclose.
Ref closed_ring(const Call& c, Ref r) {
    const std::vector<Py_ssize_t> shape = shape_of(r);
    if (shape.size() != 2 || shape[1] != 2) r = r.attr("reshape"_id)(integer(-1), integer(2));
    if (truth(Ref::own(PyObject_RichCompare(r.attr("size"_id).get(), integer(0).get(), Py_GT)).get()) &&
        !truth(c.np("allclose"_id)(r[0], r[-1]).get()))
        r = c.np("vstack"_id)(list(r, r[0]));
    return frozen(call(c.np("ascontiguousarray"_id).get(), {r.get()}, {{"dtype"_id, c.np("float64"_id).get()}}));
}

// __init__(coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs)
const Method polygon_init{
    {"__init__", {"coordinates", "repulsion", "properties", "optional_dim"}, 1, true}, [](Call& c) {
        Ref candidates = candidate_rings(c, c[0]);
        set(c.self, &PolygonObject::rings, Ref::own(PyList_New(0)));
        Ref rings = get(c.self, &PolygonObject::rings);
        for_each(candidates.get(), [&](const Ref& r) { check(PyList_Append(rings.get(), closed_ring(c, r).get())); });
        Ref segments = Ref::own(PyList_New(0));
        for_each(rings.get(), [&](const Ref& r) {
            if (to_index(r.attr("shape"_id)[0].get()) < 2) return;
            Ref head = Ref::own(PySequence_GetSlice(r.get(), 0, -1));
            Ref tail = Ref::own(PySequence_GetSlice(r.get(), 1, PY_SSIZE_T_MAX));
            Ref pair = call(c.np("stack"_id).get(), {list(head, tail).get()}, {{"axis"_id, integer(1).get()}});
            check(PyList_Append(segments.get(), pair.get()));
        });
        set(c.self, &PolygonObject::points_in_line_pair, join_segments(c, segments));
        method(c.self, "_build_segment_cache"_id)();
        set(c.self, &RGJObject::coordinates,
            call(c.np("array"_id).get(), {ring_lists(rings.get()).get()}, {{"dtype"_id, builtins.object_}}));
        Ref two = integer(2);
        init_repulsion_fields(c, c.self, c.get(1, Py_None), c.get(3, two.get()), c.get(2, Py_None));
        set(c.self, &PolygonObject::metric, get_dist_matrix(c.self));
        Ref points = PyList_GET_SIZE(rings.get()) ? c.np("vstack"_id)(rings) : zeros(c, 0, 2);
        const Py_ssize_t size = PyLong_AsSsize_t(points.attr("size"_id).get());
        if (size == -1 && PyErr_Occurred()) raise();
        set(c.self, &RGJObject::bbox,
            size ? c.np("array"_id)(list(call(points.attr("min"_id).get(), {}, {{"axis"_id, integer(0).get()}}),
                                         call(points.attr("max"_id).get(), {}, {{"axis"_id, integer(0).get()}})))
                 : zeros(c, 2, 2));
        return none();
    }};

const Method polygon_build_segment_cache{{"_build_segment_cache"}, [](Call& c) {
    build_cache<PolygonObject>(c, c.self);
    return none();
}, "Rebuild _p1, _v, _v_dot_v and _S from points_in_line_pair."};

const Method polygon_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    call(method(c.self, "__init__"_id).get(), {},
         {{"coordinates"_id, c[0]},
          {"repulsion"_id, get(c.self, &RGJObject::repulsion).get()},
          {"properties"_id, get(c.self, &RGJObject::properties).get()}});
    return none();
}, "Rebuild the polygon from new rings, keeping its repulsion matrix and properties."};

const Method polygon_set_repulsion{{"set_repulsion", {"new_repulsion"}, 1}, [](Call& c) {
    Ref::borrow(builtins.super_)(Class<PolygonRGJ_spec>::type, c.self).attr("set_repulsion"_id)(c[0]);
    set(c.self, &PolygonObject::metric, get_dist_matrix(c.self));
    return none();
}, "Replace the repulsion matrix and refresh the cached metric."};

// ---------------------------------------------------------------------------
// PolygonRGJ queries

// The polygon's repulsion vectors computed here, as the two kernels would,
// when x is small and plain, the rings and the cache hold plain float64
// arrays and `kernels` is the kernel module. Steps aside with an empty Ref.
Ref fast_polygon_vectors(const Call& c) {
    namespace k = orvo::kernels;
    if (!fast::ready(c) || Py_TYPE(c.self) != Class<PolygonRGJ_spec>::type ||
        !fast::kernel_ready(c, "point_in_rings"_id, fast::captured.rings_kernel) ||
        !fast::kernel_ready(c, "segment_repulsion_vectors"_id, fast::captured.segment_kernel))
        return {};
    fast::Points x;
    if (!x.read(c[0])) return {};
    const Py_ssize_t n = x.size();
    auto* o = reinterpret_cast<PolygonObject*>(c.self);
    fast::Output out({n, 2});
    std::fill(out.data(), out.data() + 2 * n, 0.0);
    if (o->_S == 0) return out.array;
    if (own_index_vectors(c.self, ClassId::Polygon, x.data(), n, out.data())) return out.array;
    if (!PyList_CheckExact(o->rings) || PyList_GET_SIZE(o->rings) == 0) return {};
    std::deque<fast::View> ring_views;
    std::vector<k::Ring> rings;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(o->rings); ++r) {
        fast::View& ring = ring_views.emplace_back();
        if (!ring.take(PyList_GET_ITEM(o->rings, r), 2, 2) || !fast::ordered(ring)) return {};
        rings.push_back({ring.data(), ring.rows()});
    }
    double m[4];
    fast::View p1, v, vdv;
    if (!fast::kernel_metric(o->metric, m) || !p1.take(o->_p1, 2, 2) || !v.take(o->_v, 2, 2) || !vdv.take(o->_v_dot_v, 1) ||
        p1.rows() == 0 || v.rows() != p1.rows() || vdv.rows() != p1.rows())
        return {};
    const std::vector<k::Ring> holes(rings.begin() + 1, rings.end());
    std::vector<char> inside(static_cast<size_t>(n));
    k::RingPlan(rings[0], holes, n).run(x.data(), 0, n, reinterpret_cast<bool*>(inside.data()));
    std::vector<double> outside, rows;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!inside[static_cast<size_t>(i)]) outside.insert(outside.end(), x.data() + 2 * i, x.data() + 2 * i + 2);
    const Py_ssize_t m_out = static_cast<Py_ssize_t>(outside.size() / 2);
    rows.resize(outside.size());
    k::SegmentPlan({p1.data(), v.data(), vdv.data(), p1.rows()}, {m[0], m[1], m[2], m[3]}, m_out)
        .run(outside.data(), 0, m_out, rows.data());
    for (Py_ssize_t i = 0, j = 0; i < n; ++i)
        if (!inside[static_cast<size_t>(i)]) {
            out.data()[2 * i] = rows[static_cast<size_t>(2 * j)];
            out.data()[2 * i + 1] = rows[static_cast<size_t>(2 * j + 1)];
            ++j;
        }
    return out.array;
}

const Method polygon_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true}, [](Call& c) {
    if (Ref fast = fast_polygon_vectors(c)) return fast;
    Ref x = c.np("atleast_2d"_id)(c[0]).attr("astype"_id)(c.np("float64"_id));
    Ref n = x.attr("shape"_id)[0];
    auto* self = reinterpret_cast<PolygonObject*>(c.self);
    if (self->_S == 0) return c.np("zeros"_id)(tuple(n, integer(2)));
    Ref rings = get(c.self, &PolygonObject::rings);
    Ref outer = rings[0];
    Ref holes = tail(rings, 1);
    Ref kernels = c.global("kernels"_id);
    Ref inside = kernels.attr("point_in_rings"_id)(x, outer, holes).attr("astype"_id)(Ref::borrow(
        reinterpret_cast<PyObject*>(&PyBool_Type)));
    if (truth(inside.attr("all"_id)().get())) return c.np("zeros"_id)(tuple(n, integer(2)));
    Ref outside_idx = c.np("where"_id)(Ref::own(PyNumber_Invert(inside.get())))[0];
    Ref xo = c.np("ascontiguousarray"_id)(x[outside_idx]);
    Ref chosen = kernels.attr("segment_repulsion_vectors"_id)(xo, get(c.self, &PolygonObject::_p1),
                                                              get(c.self, &PolygonObject::_v),
                                                              get(c.self, &PolygonObject::_v_dot_v),
                                                              get(c.self, &PolygonObject::metric));
    Ref out = c.np("zeros"_id)(tuple(n, integer(2)));
    check(PyObject_SetItem(out.get(), outside_idx.get(), chosen.get()));
    return out;
}, "Vector from the nearest boundary point to each query point outside the polygon; (0, 0) inside."};

const Method polygon_in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref x = c.np("asarray"_id)(c[0]);
    Ref bbox = get(c.self, &RGJObject::bbox);
    if (!truth(c.np("all"_id)(Ref::own(PyObject_RichCompare(x.get(), bbox[0].get(), Py_GE))).get()))
        return boolean(false);
    return boolean(truth(c.np("all"_id)(Ref::own(PyObject_RichCompare(x.get(), bbox[1].get(), Py_LE))).get()));
}, "True when every value of x lies inside the bounding box (inclusive)."};

const Method polygon_to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    return feature(get(c.self, &RGJObject::properties).get(), method(c.self, "RGJType"_id), "coordinates"_id,
                   ring_lists(get(c.self, &PolygonObject::rings).get()),
                   get(c.self, &RGJObject::repulsion).attr("tolist"_id)());
}, "The RGeoJSON Feature dictionary of this polygon, rings closed as stored."};

// ---------------------------------------------------------------------------
// MultiPolygonRGJ

// __init__(coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs)
const Method multipolygon_init{
    {"__init__", {"coordinates", "repulsion", "properties", "optional_dim"}, 1, true}, [](Call& c) {
        Ref two = integer(2);
        PyObject* repulsion = c.get(1, Py_None);
        PyObject* properties = c.get(2, Py_None);
        PyObject* optional_dim = c.get(3, two.get());
        PyObject* polygon_type = reinterpret_cast<PyObject*>(Class<PolygonRGJ_spec>::type);
        Ref polygons = map_list(c[0], [&](const Ref& member) {
            return call(polygon_type, {member.get()},
                        {{"repulsion"_id, repulsion}, {"properties"_id, properties}, {"optional_dim"_id, optional_dim}});
        });
        set(c.self, &MultiPolygonObject::polygons, polygons);
        init_repulsion_fields(c, c.self, repulsion, optional_dim, properties);
        Ref segments = Ref::own(PyList_New(0));
        for_each(polygons.get(), [&](const Ref& poly) {
            if (truth(Ref::own(PyObject_RichCompare(poly.attr("_S"_id).get(), integer(0).get(), Py_GT)).get()))
                check(PyList_Append(segments.get(), poly.attr("points_in_line_pair"_id).get()));
        });
        set(c.self, &MultiPolygonObject::points_in_line_pair, join_segments(c, segments));
        build_cache<MultiPolygonObject>(c, c.self);
        if (PyList_GET_SIZE(polygons.get()) == 0) {
            set(c.self, &RGJObject::bbox, zeros(c, 2, 2));
            return none();
        }
        Ref boxes = map_list(polygons.get(), [](const Ref& poly) { return poly.attr("bbox"_id); });
        Ref all = c.np("array"_id)(boxes).attr("reshape"_id)(integer(-1), integer(2));
        set(c.self, &RGJObject::bbox,
            c.np("array"_id)(list(all.attr("min"_id)(integer(0)), all.attr("max"_id)(integer(0)))));
        return none();
    }};

const Method multipolygon_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref repulsion = get(c.self, &RGJObject::repulsion);
    const Py_ssize_t dim = length(repulsion.get());
    call(method(c.self, "__init__"_id).get(), {},
         {{"coordinates"_id, c[0]},
          {"repulsion"_id, repulsion.get()},
          {"properties"_id, get(c.self, &RGJObject::properties).get()},
          {"optional_dim"_id, integer(dim).get()}});
    return none();
}, "Rebuild the member polygons from new coordinates with the current repulsion matrix and properties."};

const Method multipolygon_in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref polygons = get(c.self, &MultiPolygonObject::polygons);
    Ref it = Ref::own(PyObject_GetIter(polygons.get()));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref poly = Ref::own(item);
        if (truth(poly.attr("in_bbox"_id)(c[0]).get())) return boolean(true);
    }
    if (PyErr_Occurred()) raise();
    return boolean(false);
}, "True when x lies in the bounding box of some member polygon."};

const Method multipolygon_get_center_point{{"get_center_point"}, [](Call& c) {
    Ref centers = map_list(get(c.self, &MultiPolygonObject::polygons).get(),
                           [](const Ref& poly) { return poly.attr("get_center_point"_id)(); });
    Ref points = c.np("array"_id)(centers);
    Ref box = c.np("array"_id)(list(points.attr("min"_id)(integer(0)), points.attr("max"_id)(integer(0))));
    return box.attr("mean"_id)(integer(0));
}, "Centre of the box around the member polygons' centre points."};

const Method multipolygon_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true}, [](Call& c) {
    if (Py_TYPE(c.self) == Class<MultiPolygonRGJ_spec>::type)
        if (Ref fast = fast_segment_vectors<MultiPolygonObject>(c, reinterpret_cast<MultiPolygonObject*>(c.self)->_S == 0))
            return fast;
    Ref x = c.np("atleast_2d"_id)(c[0]).attr("astype"_id)(c.np("float64"_id));
    Ref n = x.attr("shape"_id)[0];
    if (reinterpret_cast<MultiPolygonObject*>(c.self)->_S == 0) return c.np("zeros"_id)(tuple(n, integer(2)));
    Ref p1 = get(c.self, &MultiPolygonObject::_p1), v = get(c.self, &MultiPolygonObject::_v);
    Ref vdv = get(c.self, &MultiPolygonObject::_v_dot_v);
    if (!truth(c[1])) return all_segment_vectors(c, x, p1, v, vdv);
    return nearest_segment_vectors(c, x, p1, v, vdv);
}, "Vector from the nearest edge point of any member to each query point (min_dist_select), "
   "or from every edge, segment-major. No inside test is made."};

const Method multipolygon_to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    Ref coordinates = map_list(get(c.self, &MultiPolygonObject::polygons).get(),
                               [](const Ref& poly) { return ring_lists(poly.attr("rings"_id).get()); });
    return feature(get(c.self, &RGJObject::properties).get(), method(c.self, "RGJType"_id), "coordinates"_id,
                   coordinates, get(c.self, &RGJObject::repulsion).attr("tolist"_id)());
}, "The RGeoJSON Feature dictionary: per member polygon its closed rings as nested lists."};

void polygon_exec(PyObject* module) {
    polygon_module = module;
    builtins.object_ = mod::builtin("object"_id).release();
    builtins.super_ = mod::builtin("super"_id).release();
    Ref base_module = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref base = mod::import_base(base_module, "RGJGeometry");
    orvo::fast::capture_base(base.get());
    Ref polygon = mod::create_class<PolygonRGJ_spec>(
        module, base, "PolygonRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<polygon_init, &polygon_module>)}});
    Ref multi = mod::create_class<MultiPolygonRGJ_spec>(
        module, mod::import_base(base_module, "MultiRGJGeometry"), "MultiPolygonRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<multipolygon_init, &polygon_module>)}});
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    mod::add(module, "np", np);
    Ref kernels = mod::import_from("orvo.field", "kernels"_id);
    mod::add(module, "kernels", kernels);
    orvo::fast::capture_numpy(np.get());
    orvo::fast::capture_kernels(kernels.get());

    Ref select_default = tuple(Py_True);
    mod::set_attr(polygon, "RGJType"_id, Ref::own(PyUnicode_FromString("Polygon")));
    mod::add_method(module, polygon, polygon_build_segment_cache);
    mod::add_method(module, polygon, polygon_set_coordinates);
    mod::add_method(module, polygon, polygon_set_repulsion);
    mod::add_method(module, polygon, polygon_in_bbox);
    mod::add_method(module, polygon, polygon_repulsion_vector, select_default.get());
    mod::add_method(module, polygon, polygon_to_rgeojson);
    mod::add_pickle_methods<PolygonRGJ_spec>(module, polygon);

    mod::set_attr(multi, "RGJType"_id, Ref::own(PyUnicode_FromString("MultiPolygon")));
    mod::add_method(module, multi, multipolygon_set_coordinates);
    mod::add_method(module, multi, multipolygon_in_bbox);
    mod::add_method(module, multi, multipolygon_get_center_point);
    mod::add_method(module, multi, multipolygon_repulsion_vector, select_default.get());
    mod::add_method(module, multi, multipolygon_to_rgeojson);
    mod::add_pickle_methods<MultiPolygonRGJ_spec>(module, multi);

    join_registry(ModuleId::Polygon, module);
    register_class(ClassId::Polygon, polygon.get());
    register_class(ClassId::MultiPolygon, multi.get());
    register_segment_classes<PolygonRGJ_spec, MultiPolygonRGJ_spec>(module);

    mod::add_restore_function<PolygonRGJ_spec>(module, polygon);
    mod::add_restore_function<MultiPolygonRGJ_spec>(module, multi);
    mod::add(module, "__test__", Ref::own(PyDict_New()));
}

}  // namespace

ORVO_FIELD_MODULE(polygon, "orvo.field.geometry.polygon", "PolygonRGJ / MultiPolygonRGJ.", polygon_exec)
