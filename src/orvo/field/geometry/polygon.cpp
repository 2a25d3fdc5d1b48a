// orvo.field.geometry.polygon: PolygonRGJ and MultiPolygonRGJ.
//
// A polygon normalises its rings (outer first, then holes) into closed
// float64 arrays and flattens all ring edges into one segment cache. Its
// field is one-sided: points inside feel nothing, points outside get the
// vector from the nearest boundary point under the cached metric. A
// multi-polygon owns one polygon per member, flattens their segments into a
// cache of its own and makes no inside test.
#include "native/layouts.hpp"
#include "native/module.hpp"
#include "native/segments.hpp"
#include "kernels/engine.hpp"

#include <deque>

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;



Ref method(PyObject* self, PyObject* name) { return Ref::borrow(self).attr(name); }
bool no_segment(PyObject* self) { return reinterpret_cast<MultiPolygonObject*>(self)->_S == 0; }
Ref zeros(const Call& c, Py_ssize_t rows, Py_ssize_t cols) {
    return c.np("zeros"_id)(tuple(integer(rows), integer(cols)));
}
// np.zeros((n, 2)).
Ref zeros_like_points(const Call& c, const Ref& n) {
    Ref shape = tuple(n, integer(2));
    return c.np("zeros"_id)(shape);
}
Ref float_type() { return Ref::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)); }

// Segment cache from `points_in_line_pair`: _p1, _v, _v_dot_v and _S, or
// empty arrays and 0 when there is no segment.
template <class T>
void build_cache(const Call& c, PyObject* self) {
    SegmentFields& cache = segment_fields<T>(self);
    const Py_ssize_t size = PyLong_AsSsize_t(Ref::borrow(cache.points_in_line_pair).attr("size"_id).get());
    if (size == -1 && PyErr_Occurred()) raise();
    if (size != 0) {
        build_segment_cache<T>(c, self);
        const Py_ssize_t count = to_index(Ref::borrow(cache._p1).attr("shape"_id)[0].get());
        count_store();
        reinterpret_cast<T*>(self)->_S = count;
        return;
    }
    store_slot(cache._p1, zeros(c, 0, 2));
    store_slot(cache._v, zeros(c, 0, 2));
    store_slot(cache._v_dot_v, c.np("zeros"_id)(tuple(integer(0))));
    count_store();
    reinterpret_cast<T*>(self)->_S = 0;
}

// np.concatenate(parts, axis=0), or an empty (0, 2, 2) array for no parts.
Ref join_segments(const Call& c, const Ref& parts) {
    if (PyList_GET_SIZE(parts.get()) == 0) return c.np("zeros"_id)(tuple(integer(0), integer(2), integer(2)));
    Ref concatenate = c.np("concatenate"_id);
    return call(concatenate.get(), {parts.get()}, {{"axis"_id, integer(0).get()}});
}

// np.array([points.min(axis=0), points.max(axis=0)]) for a non-empty
// (or np.array([a.min(0), a.max(0)]) with `keyword` false) point array.
Ref box_of(const Call& c, const Ref& points, bool keyword) {
    Ref array = c.np("array"_id);
    auto reduce = [&](PyObject* name) {
        Ref f = points.attr(name);
        return keyword ? call(f.get(), {}, {{"axis"_id, integer(0).get()}}) : f(integer(0));
    };
    Ref low = reduce("min"_id);
    Ref high = reduce("max"_id);
    return array(list(low, high));
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
    Ref float_ = float_type();
    auto one_ring = [&] { append(asarray(coordinates, float_).attr("reshape"_id)(integer(-1), integer(2))); };
    if (check(PyObject_IsInstance(coordinates, c.np("ndarray"_id).get()))) {
        Ref array = Ref::borrow(coordinates);
        const long ndim = PyLong_AsLong(array.attr("ndim"_id).get());
        if (ndim == -1 && PyErr_Occurred()) raise();
        if (ndim == 2) append(array.attr("astype"_id)(float_));
        else for_each(coordinates, [&](const Ref& r) { append(asarray(r, float_)); });
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
    for_each(coordinates, [&](const Ref& r) { append(asarray(r, float_).attr("reshape"_id)(integer(-1), integer(2))); });
    return out;
}

// A (k, 2) ring, closed unless empty or already closed within np.allclose.
Ref closed_ring(const Call& c, Ref r) {
    const std::vector<Py_ssize_t> shape = shape_of(r);
    if (shape.size() != 2 || shape[1] != 2) r = r.attr("reshape"_id)(integer(-1), integer(2));
    if (truth(Ref::own(PyObject_RichCompare(r.attr("size"_id).get(), integer(0).get(), Py_GT)).get())) {
        Ref allclose = c.np("allclose"_id);
        Ref first = r[0];
        Ref last = r[-1];
        if (!truth(allclose(first, last).get())) {
            Ref vstack = c.np("vstack"_id);
            Ref start = r[0];
            r = vstack(list(r, start));
        }
    }
    return contiguous_float64(c, r);
}

// __init__(coordinates, repulsion=None, properties=None, optional_dim=2, **kwargs)
const Method polygon_init{
    {"__init__", {"coordinates", "repulsion", "properties", "optional_dim"}, 1, true}, [](Call& c) {
        Ref candidates = candidate_rings(c, c[0]);
        set(c.self, &PolygonObject::rings, Ref::own(PyList_New(0)));
        Ref rings = get(c.self, &PolygonObject::rings);
        for_each(candidates.get(), [&](const Ref& r) { check(PyList_Append(rings.get(), closed_ring(c, r.copy()).get())); });
        Ref segments = Ref::own(PyList_New(0));
        for_each(rings.get(), [&](const Ref& r) {
            if (to_index(r.attr("shape"_id)[0].get()) < 2) return;
            Ref head = Ref::own(PySequence_GetSlice(r.get(), 0, -1));
            Ref tail = Ref::own(PySequence_GetSlice(r.get(), 1, PY_SSIZE_T_MAX));
            Ref stack = c.np("stack"_id);
            Ref pair = call(stack.get(), {list(head, tail).get()}, {{"axis"_id, integer(1).get()}});
            check(PyList_Append(segments.get(), pair.get()));
        });
        store_slot(segment_fields<PolygonObject>(c.self).points_in_line_pair, join_segments(c, segments));
        method(c.self, "_build_segment_cache"_id)();
        Ref array = c.np("array"_id);
        Ref lists = ring_lists(rings.get());
        set(c.self, &RGJObject::coordinates, call(array.get(), {lists.get()}, {{"dtype"_id, mod::builtins.object}}));
        Ref two = integer(2);
        init_repulsion_fields(c, c.self, c.get(1, Py_None), c.get(3, two.get()), c.get(2, Py_None));
        set(c.self, &PolygonObject::metric, dist_metric(c.self));
        Ref points = PyList_GET_SIZE(rings.get()) ? c.np("vstack"_id)(rings) : zeros(c, 0, 2);
        const Py_ssize_t size = PyLong_AsSsize_t(points.attr("size"_id).get());
        if (size == -1 && PyErr_Occurred()) raise();
        set(c.self, &RGJObject::bbox, size ? box_of(c, points, true) : zeros(c, 2, 2));
        return none();
    }};

const Method polygon_build_segment_cache{{"_build_segment_cache"}, [](Call& c) {
    build_cache<PolygonObject>(c, c.self);
    return none();
}, "Rebuild _p1, _v, _v_dot_v and _S from points_in_line_pair."};

const Method polygon_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref init = method(c.self, "__init__"_id);
    Ref repulsion = get(c.self, &RGJObject::repulsion);
    Ref properties = get(c.self, &RGJObject::properties);
    call(init.get(), {}, {{"coordinates"_id, c[0]}, {"repulsion"_id, repulsion.get()}, {"properties"_id, properties.get()}});
    return none();
}, "Rebuild the polygon from new rings, keeping its repulsion matrix and properties."};

const Method polygon_set_repulsion{{"set_repulsion", {"new_repulsion"}, 1}, [](Call& c) {
    Ref::borrow(mod::builtins.super)(type_of(ClassId::Polygon), c.self).attr("set_repulsion"_id)(c[0]);
    set(c.self, &PolygonObject::metric, dist_metric(c.self));
    return none();
}, "Replace the repulsion matrix and refresh the cached metric."};

// ---------------------------------------------------------------------------
// PolygonRGJ queries

// The polygon's repulsion vectors computed here, as the two kernels would,
// when x is small and plain, the rings and the cache hold plain float64
// arrays and `kernels` is the kernel module. Steps aside with an empty Ref.
Ref fast_polygon_vectors(const Call& c) {
    namespace k = orvo::kernels;
    const auto plain = [&] {
        return fast::ready(c) && exactly(c.self, ClassId::Polygon) &&
               fast::kernel_ready(c, "point_in_rings"_id, fast::captured.rings_kernel) &&
               fast::kernel_ready(c, "segment_repulsion_vectors"_id, fast::captured.segment_kernel);
    };
    fast::Points x;
    if (!plain() || !x.read(c[0])) return {};
    const Py_ssize_t n = x.size();
    Output out = fast::output({n, 2});
    // The allocation can run Python code: everything is checked after it.
    if (!plain()) return {};
    std::fill(out.data(), out.data() + 2 * n, 0.0);
    auto* o = reinterpret_cast<PolygonObject*>(c.self);
    const SegmentFields& cache = o->segments;
    if (o->_S == 0) return std::move(out.array);
    if (own_index_vectors(c.self, ClassId::Polygon, x.data(), n, out.data())) return std::move(out.array);
    if (!PyList_CheckExact(o->rings) || PyList_GET_SIZE(o->rings) == 0) return {};
    std::deque<View> ring_views;
    std::vector<k::Ring> rings;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(o->rings); ++r) {
        View& ring = ring_views.emplace_back();
        if (!ring.take(PyList_GET_ITEM(o->rings, r), 2, 2) || !fast::ordered(ring)) return {};
        rings.push_back({ring.data(), ring.rows()});
    }
    double m[4];
    View p1, v, vdv;
    if (!fast::kernel_metric(o->metric, m) || !p1.take(cache._p1, 2, 2) || !v.take(cache._v, 2, 2) ||
        !vdv.take(cache._v_dot_v, 1) || p1.rows() == 0 || v.rows() != p1.rows() || vdv.rows() != p1.rows())
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
    return std::move(out.array);
}

const Method polygon_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true,
                                      {Default::True}}, [](Call& c) {
    if (Ref fast = fast_polygon_vectors(c)) return fast;
    Ref x = query_points(c, c[0]);
    Ref n = x.attr("shape"_id)[0];
    if (reinterpret_cast<PolygonObject*>(c.self)->_S == 0) return zeros_like_points(c, n);
    Ref rings = get(c.self, &PolygonObject::rings);
    Ref outer = rings[0];
    Ref holes = tail(rings, 1);
    Ref kernels = c.global("kernels"_id);
    Ref bool_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    Ref inside = kernels.attr("point_in_rings"_id)(x, outer, holes).attr("astype"_id)(bool_type);
    if (truth(inside.attr("all"_id)().get())) return zeros_like_points(c, n);
    Ref where = c.np("where"_id);
    Ref outside_idx = where(Ref::own(PyNumber_Invert(inside.get())))[0];
    Ref xo = c.np("ascontiguousarray"_id)(x[outside_idx]);
    const SegmentFields& cache = segment_fields<PolygonObject>(c.self);
    Ref p1 = Ref::borrow(cache._p1), v = Ref::borrow(cache._v), vdv = Ref::borrow(cache._v_dot_v);
    Ref metric = get(c.self, &PolygonObject::metric);
    Ref chosen = kernels.attr("segment_repulsion_vectors"_id)(xo, p1, v, vdv, metric);
    Ref out = zeros_like_points(c, n);
    check(PyObject_SetItem(out.get(), outside_idx.get(), chosen.get()));
    return out;
}, "Vector from the nearest boundary point to each query point outside the polygon; (0, 0) inside."};

const Method polygon_in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref x = c.np("asarray"_id)(c[0]);
    Ref bbox = get(c.self, &RGJObject::bbox);
    Ref all = c.np("all"_id);
    Ref low = bbox[0];
    if (!truth(all(Ref::own(PyObject_RichCompare(x.get(), low.get(), Py_GE))).get())) return boolean(false);
    Ref all_below = c.np("all"_id);
    Ref high = bbox[1];
    return boolean(truth(all_below(Ref::own(PyObject_RichCompare(x.get(), high.get(), Py_LE))).get()));
}, "True when every value of x lies inside the bounding box (inclusive)."};

const Method polygon_to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    Ref properties = get(c.self, &RGJObject::properties);
    Ref type = method(c.self, "RGJType"_id);
    Ref coordinates = ring_lists(get(c.self, &PolygonObject::rings).get());
    Ref repulsion = get(c.self, &RGJObject::repulsion).attr("tolist"_id)();
    return feature(properties, type, "coordinates"_id, coordinates, repulsion);
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
        PyObject* polygon_type = reinterpret_cast<PyObject*>(type_of(ClassId::Polygon));
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
        store_slot(segment_fields<MultiPolygonObject>(c.self).points_in_line_pair, join_segments(c, segments));
        build_cache<MultiPolygonObject>(c, c.self);
        if (PyList_GET_SIZE(polygons.get()) == 0) {
            set(c.self, &RGJObject::bbox, zeros(c, 2, 2));
            return none();
        }
        Ref boxes = map_list(polygons.get(), [](const Ref& poly) { return poly.attr("bbox"_id); });
        Ref all = c.np("array"_id)(boxes).attr("reshape"_id)(integer(-1), integer(2));
        set(c.self, &RGJObject::bbox, box_of(c, all, false));
        return none();
    }};

const Method multipolygon_set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call& c) {
    Ref init = method(c.self, "__init__"_id);
    Ref repulsion = get(c.self, &RGJObject::repulsion);
    Ref properties = get(c.self, &RGJObject::properties);
    Ref optional_dim = integer(length(repulsion.get()));
    call(init.get(), {},
         {{"coordinates"_id, c[0]}, {"repulsion"_id, repulsion.get()}, {"properties"_id, properties.get()},
          {"optional_dim"_id, optional_dim.get()}});
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
    return box_of(c, points, false).attr("mean"_id)(integer(0));
}, "Centre of the box around the member polygons' centre points."};

const Method multipolygon_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true,
                                           {Default::True}}, [](Call& c) {
    return cache_repulsion_vector<MultiPolygonObject>(c, exactly(c.self, ClassId::MultiPolygon), no_segment,
                                                      RowCount::Shape);
}, "Vector from the nearest edge point of any member to each query point (min_dist_select), "
   "or from every edge, segment-major. No inside test is made."};

const Method multipolygon_to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    Ref properties = get(c.self, &RGJObject::properties);
    Ref type = method(c.self, "RGJType"_id);
    Ref coordinates = map_list(get(c.self, &MultiPolygonObject::polygons).get(),
                               [](const Ref& poly) { return ring_lists(poly.attr("rings"_id).get()); });
    Ref repulsion = get(c.self, &RGJObject::repulsion).attr("tolist"_id)();
    return feature(properties, type, "coordinates"_id, coordinates, repulsion);
}, "The RGeoJSON Feature dictionary: per member polygon its closed rings as nested lists."};

constexpr const Method* polygon_methods[] = {&polygon_build_segment_cache, &polygon_set_coordinates,
                                             &polygon_set_repulsion, &polygon_in_bbox, &polygon_repulsion_vector,
                                             &polygon_to_rgeojson};
constexpr const Method* multipolygon_methods[] = {&multipolygon_set_coordinates, &multipolygon_in_bbox,
                                                  &multipolygon_get_center_point, &multipolygon_repulsion_vector,
                                                  &multipolygon_to_rgeojson};

constexpr ClassSpec PolygonRGJ_spec{
    .name = "orvo.field.geometry.polygon.PolygonRGJ", .rgj_type = "Polygon", .id = ClassId::Polygon,
    .base = "RGJGeometry", .fields = polygon_fields, .inherited = {}, .init = &polygon_init,
    .methods = polygon_methods, .checksums = {0x5381b98, 0x1976dbf, 0xbdeaa06}, .on_dealloc = forget_own_index};
constexpr ClassSpec MultiPolygonRGJ_spec{
    .name = "orvo.field.geometry.polygon.MultiPolygonRGJ", .rgj_type = "MultiPolygon", .id = ClassId::MultiPolygon,
    .base = "MultiRGJGeometry", .fields = multipolygon_fields, .inherited = {}, .init = &multipolygon_init,
    .methods = multipolygon_methods, .checksums = {0xe734440, 0xc1cbf44, 0xd9d07e6}, .on_dealloc = forget_own_index};

void polygon_exec(PyObject* module) {
    mod::load_geometry_module<PolygonRGJ_spec, MultiPolygonRGJ_spec>(
        module, {.id = ModuleId::Polygon, .builtins = {"object", "super"}, .kernels = true,
                 .extra = register_segment_module});
}

}  // namespace

ORVO_FIELD_MODULE(polygon, "orvo.field.geometry.polygon", "PolygonRGJ / MultiPolygonRGJ.", polygon_exec)
