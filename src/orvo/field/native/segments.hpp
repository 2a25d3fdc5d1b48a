// The segment cache shared by the line and polygon geometries: segment
// start points `_p1`, segment vectors `_v` and guarded squared lengths
// `_v_dot_v`, derived from the (S, 2, 2) array `points_in_line_pair`.
#pragma once

#include "kernels/engine.hpp"
#include "native/fastpath.hpp"
#include "native/layouts.hpp"
#include "native/member_index.hpp"
#include "native/module.hpp"

namespace orvo::geometry {

// A read-only copy of `array` over an immutable bytes object. numpy lets
// no one make such an array writable again, so an index may trust its
// contents for as long as it is the one stored. The package's own derived
// arrays (segment caches, closed rings) are handed out this way; arrays a
// caller passes in are never frozen. Only exact arrays are frozen, with
// the numpy captured at load: a module whose `np` was replaced sees no
// call it did not ask for.
inline Ref frozen(const Ref& array) {
    if (Py_TYPE(array.get()) != View::ndarray) return array.copy();
    Ref bytes = array.attr("tobytes"_id)();
    Ref frombuffer = Ref::borrow(fast::captured.np).attr("frombuffer"_id);
    Ref dtype = array.attr("dtype"_id);
    Ref flat = call(frombuffer.get(), {bytes.get()}, {{"dtype"_id, dtype.get()}});
    return flat.attr("reshape"_id)(array.attr("shape"_id));
}

// A derived field's value as restored from a pickle, frozen as the
// package's own are: an array, or each array of a list (the rings). What
// is frozen already (a shallow copy shares the original's) stays as it is.
inline Ref frozen_restored(PyObject* value) {
    if (!PyList_CheckExact(value)) {
        Ref item = Ref::borrow(value);
        return frozen_array(value) ? std::move(item) : frozen(item);
    }
    Ref items = items_of(value);  // a snapshot: frozen() runs Python code
    bool all_frozen = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()) && all_frozen; ++i)
        all_frozen = frozen_array(PyTuple_GET_ITEM(items.get(), i));
    if (all_frozen) return Ref::borrow(value);
    Ref out = Ref::own(PyList_New(PyTuple_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        PyList_SET_ITEM(out.get(), i, frozen(Ref::borrow(PyTuple_GET_ITEM(items.get(), i))).release());
    return out;
}

// What a module whose classes hold segment caches adds at load: it
// records in the registry the kernel module and functions it captured,
// freezes its classes' derived arrays when restored, and binds
// `_has_own_index`. Its classes drop their own indexes with the instance
// (their tables name forget_own_index).
inline void register_segment_module(PyObject* module) {
    registry->kernels = fast::captured.kernels;
    registry->segment_kernel = fast::captured.segment_kernel;
    registry->rings_kernel = fast::captured.rings_kernel;
    freeze_restored = frozen_restored;
    orvo::module::add(module, "_has_own_index", make_function(module, own_index_probe, nullptr));
}

template <class T>
SegmentFields& segment_fields(PyObject* self) {
    return reinterpret_cast<T*>(self)->segments;
}

// Stores `value` into the field slot `slot` of a geometry.
inline void store_slot(PyObject*& slot, const Ref& value) {
    count_store();
    replace(slot, value.get());
}

// np.ascontiguousarray(a, dtype=np.float64), frozen.
inline Ref contiguous_float64(const Call& c, const Ref& a) {
    Ref ascontiguousarray = c.np("ascontiguousarray"_id);
    Ref f64 = c.np("float64"_id);
    return frozen(call(ascontiguousarray.get(), {a.get()}, {{"dtype"_id, f64.get()}}));
}

// From `points_in_line_pair` (already stored), assigns `_p1`, `_v` and
// `_v_dot_v` in that order, each frozen. `T` is the class layout holding
// the fields.
template <class T>
void build_segment_cache(const Call& c, PyObject* self) {
    SegmentFields& cache = segment_fields<T>(self);
    Ref all = Ref::own(PySlice_New(nullptr, nullptr, nullptr));
    Ref pairs = Ref::borrow(cache.points_in_line_pair);
    Ref start = pairs[tuple(all, integer(0))];
    store_slot(cache._p1, contiguous_float64(c, start));
    Ref end = pairs[tuple(all, integer(1))];
    Ref begin = pairs[tuple(all, integer(0))];
    store_slot(cache._v, contiguous_float64(c, end - begin));
    Ref v = Ref::borrow(cache._v);
    Ref squares = v * v;
    Ref vdv = call(squares.attr("sum"_id).get(), {}, {{"axis"_id, integer(1).get()}});
    Ref degenerate = Ref::own(PyObject_RichCompare(vdv.get(), integer(0).get(), Py_LE));
    Ref where = c.np("where"_id);
    store_slot(cache._v_dot_v, frozen(where(degenerate, number(1.0), vdv)));
}

// The vectors from every segment's nearest point to every query point,
// segment-major: row s * N + i belongs to segment s and query point i.
inline Ref all_segment_vectors(const Call& c, const Ref& x, const Ref& p1, const Ref& v, const Ref& vdv) {
    Ref all = Ref::own(PySlice_New(nullptr, nullptr, nullptr));
    Ref rows = tuple(Py_None, all, all);  // [None, :, :]
    Ref columns = tuple(all, Py_None, all);  // [:, None, :]
    Ref queries = x[rows];
    Ref w = queries - p1[columns];
    Ref clip = c.np("clip"_id);
    Ref along = call((w * v[columns]).attr("sum"_id).get(), {}, {{"axis"_id, integer(2).get()}});
    Ref t = clip(along / vdv[tuple(all, Py_None)], number(0.0), number(1.0));
    Ref start = p1[columns];
    Ref scale = t[tuple(Py_Ellipsis, Py_None)];
    Ref proj = start + scale * v[columns];
    return (x[rows] - proj).attr("reshape"_id)(integer(-1), integer(2));
}

// kernels.segment_repulsion_vectors(x, p1, v, vdv, metric) with the metric
// fetched afresh from self.get_dist_matrix(scaled=True, inverted=True).
inline Ref nearest_segment_vectors(const Call& c, const Ref& x, const Ref& p1, const Ref& v, const Ref& vdv) {
    Ref metric = dist_metric(c.self);
    return c.global("kernels"_id).attr("segment_repulsion_vectors"_id)(x, p1, v, vdv, metric);
}

// The selecting repulsion_vector of a segment cache computed here, as the
// kernel would, when x is small and plain, the cache holds plain float64
// arrays, get_dist_matrix is the base type's and `kernels` is the kernel
// module: the result of `kernels.segment_repulsion_vectors(x, _p1, _v,
// _v_dot_v, self.get_dist_matrix(...))`, or zeros when `empty` (the
// geometry has no segment). The caller checks that the instance is of one
// of its exact classes. Steps aside with an empty Ref.
template <class T>
Ref fast_segment_vectors(const Call& c, bool empty) {
    PyObject* select = c[1];
    if (!fast::ready(c) || (select != Py_True && select != Py_False) || !fast::base_dist_matrix(c.self) ||
        !fast::kernel_ready(c, "segment_repulsion_vectors"_id, fast::captured.segment_kernel))
        return {};
    fast::Points x;
    if (!x.read(c[0])) return {};
    if (empty) {
        Output zeros = fast::output({x.size(), 2});
        std::fill(zeros.data(), zeros.data() + 2 * x.size(), 0.0);
        return std::move(zeros.array);
    }
    if (select == Py_False) return {};
    Output out = fast::output({x.size(), 2});
    // Everything below runs no Python code: what is checked is what is used.
    const SegmentFields& cache = segment_fields<T>(c.self);
    double m[4];
    View p1, v, vdv;
    if (!fast::kernel_metric(reinterpret_cast<RGJObject*>(c.self)->inv_repulsion, m) || !p1.take(cache._p1, 2, 2) ||
        !v.take(cache._v, 2, 2) || !vdv.take(cache._v_dot_v, 1) || p1.rows() == 0 || v.rows() != p1.rows() ||
        vdv.rows() != p1.rows())
        return {};
    if (const std::optional<ClassId> id = exact_class(c.self);
        id && own_index_vectors(c.self, *id, x.data(), x.size(), out.data()))
        return std::move(out.array);
    const orvo::kernels::Segments g{p1.data(), v.data(), vdv.data(), p1.rows()};
    const orvo::kernels::SegmentPlan plan(g, {m[0], m[1], m[2], m[3]}, x.size());
    plan.run(x.data(), 0, x.size(), out.data());
    return std::move(out.array);
}

// How a class counts the query points for its answer of zeros: len(x)
// when it needs it, or x.shape[0] as soon as x is made.
enum class RowCount { Len, Shape };

// repulsion_vector of a geometry answered from its segment cache alone (a
// line, a multi-polygon): zeros when `empty`, the vectors from the
// nearest segment under the distance matrix (min_dist_select), or from
// every segment, segment-major. `exact` tells that the instance is of one
// of the class's own exact types, for the fast path.
template <class T>
Ref cache_repulsion_vector(Call& c, bool exact, bool (*empty)(PyObject*), RowCount count) {
    if (exact)
        if (Ref fast = fast_segment_vectors<T>(c, empty(c.self))) return fast;
    Ref x = query_points(c, c[0]);
    Ref n = count == RowCount::Shape ? x.attr("shape"_id)[0] : Ref();
    if (empty(c.self)) {
        if (!n) n = integer(length(x.get()));
        Ref shape = tuple(n, integer(2));
        return c.np("zeros"_id)(shape);
    }
    const SegmentFields& cache = segment_fields<T>(c.self);
    Ref p1 = Ref::borrow(cache._p1), v = Ref::borrow(cache._v), vdv = Ref::borrow(cache._v_dot_v);
    if (!truth(c[1])) return all_segment_vectors(c, x, p1, v, vdv);
    return nearest_segment_vectors(c, x, p1, v, vdv);
}

}  // namespace orvo::geometry
