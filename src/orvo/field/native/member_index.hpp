// What an index of geometries records of each one it was built from, and
// the check that the geometry still is what was recorded. The collection's
// scene index and the single lines' and polygons' own indexes use it; how
// the check keeps an index from going stale is described where the
// collection's index is built (collection.cpp).
#pragma once

#include <array>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "native/fastpath.hpp"
#include "native/layouts.hpp"
#include "kernels/engine.hpp"

namespace orvo::geometry {

namespace k = orvo::kernels;

// An array a scene depends on that is not frozen, with its contents at
// the build.
struct Watched {
    Ref array;
    int ndim = 2;
    std::vector<double> copy;
};

// The arrays a scene depends on: all of them held, so that their
// identities stay theirs; the ones not frozen also compared.
struct Holdings {
    std::vector<Ref> held;
    std::vector<Watched> compared;
};

struct MemberRecord {
    PyObject* object;  // borrowed: `rgjs` holds it
    ClassId id;
    k::MemberKind kind;
    std::array<PyObject*, 5> fields{};  // identities: inv_repulsion, _p1, _v, _v_dot_v, a polygon's metric
    Py_ssize_t count = 0;
    double metric[4] = {};
    std::vector<PyObject*> rings;  // a polygon's ring arrays
    PyObject* rings_list = nullptr;  // and the list holding them
};

// Four doubles equal bit for bit, without a library call: the per-call
// check compares two matrices per member.
inline bool same_matrix(const double (&a)[4], const double (&b)[4]) {
    std::uint64_t x[4], y[4];
    std::memcpy(x, a, sizeof x);
    std::memcpy(y, b, sizeof y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
}

// An array that nobody can write into: read-only, over a bytes object.
inline bool frozen_array(PyObject* a) {
    if (!View::read_only(a)) return false;
    Ref o = Ref::borrow(a);
    while (Py_TYPE(o.get()) == View::ndarray) {
        PyObject* base = PyObject_GetAttr(o.get(), "base"_id);
        if (base == nullptr) {
            PyErr_Clear();
            return false;
        }
        o = Ref::own(base);
    }
    return PyBytes_CheckExact(o.get());
}

// A member's segment cache as the index reads it: its arrays, its segment
// count (`lines_n` or `_S`) and whether that count means no segment.
struct SegmentCache {
    PyObject *p1 = nullptr, *v = nullptr, *vdv = nullptr;
    Py_ssize_t count = 0;
    bool empty = true;
};

template <class T>
SegmentCache cache_of(PyObject* obj, Py_ssize_t count, bool empty) {
    const SegmentFields& f = reinterpret_cast<T*>(obj)->segments;
    return {f._p1, f._v, f._v_dot_v, count, empty};
}

inline SegmentCache segment_cache(PyObject* obj, ClassId id) {
    switch (id) {
        case ClassId::LineString:
        case ClassId::MultiLineString: {
            const Py_ssize_t n = reinterpret_cast<LineStringObject*>(obj)->lines_n;
            return cache_of<LineStringObject>(obj, n, n <= 0);
        }
        case ClassId::Polygon: {
            const Py_ssize_t n = reinterpret_cast<PolygonObject*>(obj)->_S;
            return cache_of<PolygonObject>(obj, n, n == 0);
        }
        case ClassId::MultiPolygon: {
            const Py_ssize_t n = reinterpret_cast<MultiPolygonObject*>(obj)->_S;
            return cache_of<MultiPolygonObject>(obj, n, n == 0);
        }
        default: return {};
    }
}

// Holds `array` for the index; its contents are kept for comparison when
// it is not frozen.
inline void watch(Holdings& arrays, PyObject* array, const View& view, int ndim) {
    arrays.held.push_back(Ref::borrow(array));
    if (frozen_array(array)) return;
    Watched& w = arrays.compared.emplace_back(Watched{Ref::borrow(array), ndim, {}});
    w.copy.assign(view.data(), view.data() + ndim * view.rows());
}

// Reads one member into `in` and `rec` for a build; false when it cannot be
// indexed. `views` keeps the arrays' buffers until the scene has copied them.
inline bool read_member(PyObject* obj, ClassId id, k::MemberInput& in, MemberRecord& rec,
                        std::deque<View>& views, Holdings& arrays) {
    auto* base = reinterpret_cast<RGJObject*>(obj);
    rec.object = obj;
    rec.id = id;
    rec.fields[0] = base->inv_repulsion;
    if (!fast::matrix(base->inv_repulsion, rec.metric)) return false;
    in.metric = {rec.metric[0], rec.metric[1], rec.metric[2], rec.metric[3]};
    arrays.held.push_back(Ref::borrow(base->inv_repulsion));
    if (id == ClassId::Point || id == ClassId::MultiPoint) {
        in.kind = id == ClassId::Point ? k::MemberKind::Point : k::MemberKind::MultiPoint;
        return true;
    }
    const SegmentCache cache = segment_cache(obj, id);
    rec.count = cache.count;
    in.kind = cache.empty ? k::MemberKind::Zero : id == ClassId::Polygon ? k::MemberKind::Polygon : k::MemberKind::Segments;
    if (cache.empty) return true;
    View &a = views.emplace_back(), &b = views.emplace_back(), &d = views.emplace_back();
    if (!a.take(cache.p1, 2, 2) || !b.take(cache.v, 2, 2) || !d.take(cache.vdv, 1) || b.rows() != a.rows() ||
        d.rows() != a.rows())
        return false;
    in.segments = {a.data(), b.data(), d.data(), a.rows()};
    rec.fields[1] = cache.p1, rec.fields[2] = cache.v, rec.fields[3] = cache.vdv;
    watch(arrays, cache.p1, a, 2);
    watch(arrays, cache.v, b, 2);
    watch(arrays, cache.vdv, d, 1);
    if (id != ClassId::Polygon) return true;
    auto* o = reinterpret_cast<PolygonObject*>(obj);
    double m[4];
    if (!fast::matrix(o->metric, m) || !same_matrix(m, rec.metric)) return false;
    rec.fields[4] = o->metric;
    arrays.held.push_back(Ref::borrow(o->metric));
    if (!PyList_CheckExact(o->rings) || PyList_GET_SIZE(o->rings) == 0) return false;
    rec.rings_list = o->rings;
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(o->rings); ++r) {
        PyObject* ring = PyList_GET_ITEM(o->rings, r);
        View& view = views.emplace_back();
        if (!view.take(ring, 2, 2)) return false;
        in.rings.push_back({view.data(), view.rows()});
        rec.rings.push_back(ring);
        watch(arrays, ring, view, 2);
    }
    return true;
}

// A polygon's ring list holds the recorded rings.
inline bool rings_unchanged(const MemberRecord& rec) {
    PyObject* list = rec.rings_list;
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(rec.rings.size())) return false;
    for (size_t r = 0; r < rec.rings.size(); ++r)
        if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(r)) != rec.rings[r]) return false;
    return true;
}

// The member still is what `rec` recorded.
inline bool member_unchanged(const MemberRecord& rec) {
    PyObject* obj = rec.object;
    auto* base = reinterpret_cast<RGJObject*>(obj);
    double m[4];
    if (Py_TYPE(obj) != registry->types[static_cast<int>(rec.id)] || base->inv_repulsion != rec.fields[0] ||
        !fast::matrix(base->inv_repulsion, m) || !same_matrix(m, rec.metric))
        return false;
    if (rec.kind == k::MemberKind::Point || rec.kind == k::MemberKind::MultiPoint) return true;
    const SegmentCache cache = segment_cache(obj, rec.id);
    if (cache.count != rec.count) return false;
    if (rec.kind == k::MemberKind::Zero) return true;
    if (cache.p1 != rec.fields[1] || cache.v != rec.fields[2] || cache.vdv != rec.fields[3]) return false;
    if (rec.id != ClassId::Polygon) return true;
    auto* o = reinterpret_cast<PolygonObject*>(obj);
    if (o->metric != rec.fields[4] || !fast::matrix(o->metric, m) || !same_matrix(m, rec.metric)) return false;
    return o->rings == rec.rings_list && rings_unchanged(rec);
}

// The same, when no field of any geometry has been stored since the
// record was last found current (count_store): then only what changes
// without a store is read, the class (__class__ can be assigned), the
// matrices' values and a polygon's ring list, whose items can be replaced
// in place.
inline bool unchanged_without_stores(const MemberRecord& rec) {
    double m[4];
    if (Py_TYPE(rec.object) != registry->types[static_cast<int>(rec.id)] || !fast::matrix(rec.fields[0], m) ||
        !same_matrix(m, rec.metric))
        return false;
    if (rec.id != ClassId::Polygon || rec.kind == k::MemberKind::Zero) return true;
    return fast::matrix(rec.fields[4], m) && same_matrix(m, rec.metric) && rings_unchanged(rec);
}

// The unfrozen arrays still hold what they held at the build.
inline bool arrays_unchanged(const Holdings& arrays) {
    for (const Watched& w : arrays.compared) {
        View v;
        if (!v.take(w.array.get(), w.ndim, w.ndim == 2 ? 2 : -1) || static_cast<size_t>(v.rows() * w.ndim) != w.copy.size() ||
            std::memcmp(v.data(), w.copy.data(), w.copy.size() * sizeof(double)) != 0)
            return false;
    }
    return true;
}

// The package class `obj` is an exact instance of, if any.
inline std::optional<ClassId> exact_class(PyObject* obj) {
    for (int id = 0; id < kMemberClasses; ++id)
        if (Py_TYPE(obj) == registry->types[id]) return static_cast<ClassId>(id);
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// A line's or polygon's own index: a one-member scene over its segments
// (and rings), kept between calls and checked as a collection's members
// are. Building one costs as much as scanning every segment for a few
// dozen points, so a geometry gets one only once its scans have cost that
// much (half of what the build would then cost is wasted at worst), and
// only with enough segments for a tree to beat a scan.

struct OwnIndex {
    MemberRecord rec;
    Holdings arrays;
    std::shared_ptr<const k::Scene> scene;  // null while the scans are counted
    double scanned = 0.0;                   // point-segment pairs scanned since the last change
};

inline constexpr Py_ssize_t kOwnIndexSegments = 256;
inline constexpr double kBuildAfterPairsPerSegment = 24.0;

// Never destroyed: its references must not be released after the
// interpreter has finalised. Entries die with their geometries.
inline auto& own_indexes = *new std::unordered_map<PyObject*, OwnIndex>;

inline void forget_own_index(PyObject* self) noexcept { own_indexes.erase(self); }

// The entry holds an index that still describes its geometry.
inline bool own_index_current(const OwnIndex& entry) {
    return entry.scene && member_unchanged(entry.rec) && arrays_unchanged(entry.arrays);
}

// The geometry's index as it is now, or null while scanning `n` points is
// still the better deal (or it cannot be indexed). Runs no Python code.
inline std::shared_ptr<const k::Scene> own_index(PyObject* self, ClassId id, Py_ssize_t n) {
    const SegmentCache cache = segment_cache(self, id);
    if (cache.empty || cache.count < kOwnIndexSegments) return nullptr;
    OwnIndex& entry = own_indexes[self];
    if (own_index_current(entry)) return entry.scene;
    if (entry.scene) entry = OwnIndex{};  // changed: count the scans again
    entry.scanned += static_cast<double>(n) * static_cast<double>(cache.count);
    if (entry.scanned < kBuildAfterPairsPerSegment * static_cast<double>(cache.count)) return nullptr;
    OwnIndex built;
    std::vector<k::MemberInput> inputs(1);
    std::deque<View> views;
    if (!read_member(self, id, inputs[0], built.rec, views, built.arrays) || !k::indexable(inputs)) {
        entry.scanned = 0.0;  // try again after as many scans
        return nullptr;
    }
    built.rec.kind = inputs[0].kind;
    built.scene = std::make_shared<const k::Scene>(inputs);
    entry = std::move(built);
    return entry.scene;
}

// The selecting repulsion vectors of the `n` points `xy` from the
// geometry's own index, written to `out`; false (nothing set) when there
// is no index yet or a row must come from the scan: a coordinate that is
// not finite or beyond 1e100, a near tie, or arithmetic that overflowed.
inline bool own_index_vectors(PyObject* self, ClassId id, const double* xy, Py_ssize_t n, double* out) {
    for (Py_ssize_t i = 0; i < 2 * n; ++i)
        if (!(std::fabs(xy[i]) <= 1e100)) return false;
    const std::shared_ptr<const k::Scene> scene = own_index(self, id, n);
    if (!scene) return false;
    std::vector<k::SceneRow> rows(static_cast<size_t>(n));
    const std::vector<k::LivePoints> live(1);
    std::feclearexcept(FE_ALL_EXCEPT);
    if (scene->run(xy, 0, n, live, rows.data()) != k::RowStatus::Done || std::fetestexcept(FE_OVERFLOW | FE_INVALID))
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) out[2 * i] = rows[static_cast<size_t>(i)].vx, out[2 * i + 1] = rows[static_cast<size_t>(i)].vy;
    return true;
}

// _has_own_index(geometry): whether the geometry's next small query would
// be answered from an index it keeps (for tests and benchmarks).
inline const Method own_index_probe{{"_has_own_index", {"geometry"}, 1}, [](Call& c) {
    const auto found = own_indexes.find(c[0]);
    const std::optional<ClassId> id = exact_class(c[0]);
    return boolean(found != own_indexes.end() && id && found->second.rec.id == *id && own_index_current(found->second));
}};

}  // namespace orvo::geometry
