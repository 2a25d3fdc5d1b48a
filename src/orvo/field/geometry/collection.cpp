// orvo.field.geometry.collection: GeometryCollectionRGJ.
//
// A collection owns member geometries built through the registry
// `_RGJ_TYPES` and combines their fields: per query point it picks one
// member for the squared distance, the repulsion vector and the gradient.
// It talks to its members only through their public methods and attributes.
#include "kernels/engine.hpp"
#include "native/fastpath.hpp"
#include "native/layouts.hpp"
#include "native/member_index.hpp"
#include "native/module.hpp"
#include "native/parallel.hpp"

#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;

struct CollectionObject {
    RGJObject base;
    PyObject* rgjs;
    PyObject* inv_repulsions;
    PyObject* grad_matrixes;
};

constexpr auto collection_fields =
    fields_after<RGJObject>({{"rgjs", Kind::List}, {"inv_repulsions"}, {"grad_matrixes"}});
static_assert(layout_size(collection_fields) == sizeof(CollectionObject));

Ref members(PyObject* self) { return get(self, &CollectionObject::rgjs); }

// [f(member) for member in self.rgjs]
template <class F>
Ref per_member(PyObject* self, F&& f) {
    return map_list(members(self).get(), f);
}

Ref dist_matrix(const Ref& member, PyObject* scaled, PyObject* inverted) {
    return call(member.attr("get_dist_matrix"_id).get(), {}, {{"scaled"_id, scaled}, {"inverted"_id, inverted}});
}

// The per-member matrix stacks: inv_repulsions from each member's
// get_dist_matrix(scaled=True, inverted=True), grad_matrixes from each
// member's grad_matrix.
void stack_member_matrices(const Call& c, PyObject* self) {
    Ref array = c.np("array"_id);
    set(self, &CollectionObject::inv_repulsions,
        array(per_member(self, [](const Ref& m) { return dist_matrix(m, Py_True, Py_True); })));
    set(self, &CollectionObject::grad_matrixes,
        array(per_member(self, [](const Ref& m) { return m.attr("grad_matrix"_id); })));
}

// The member built from one geometry dictionary: _RGJ_TYPES[g["type"]](**g).
// The type value is held with its own reference: looking it up in the
// registry runs its __hash__ and __eq__, which may empty the dictionary.
Ref build_member(const Ref& registry, const Ref& g) {
    Ref type;
    if (PyDict_Check(g.get())) {
        type = Ref::borrow(PyDict_GetItemWithError(g.get(), "type"_id));
        if (!type) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, "type"_id);
            raise();
        }
    } else {
        type = g["type"_id];
    }
    Ref cls = registry[type];
    Ref kwargs = Ref::own(PyDict_Check(g.get()) ? PyDict_Copy(g.get())
                                                : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                                      g.get()));
    Ref empty = Ref::own(PyTuple_New(0));
    return Ref::own(PyObject_Call(cls.get(), empty.get(), kwargs.get()));
}

// __init__(geometries, properties=None, **kwargs)
const Method collection_init{{"__init__", {"geometries", "properties"}, 1, true}, [](Call& c) {
    Ref registry = mod::import_from("orvo.field.geometry", "_RGJ_TYPES"_id);
    PyObject* properties = c.get(1, Py_None);
    set(c.self, &RGJObject::properties, properties == Py_None ? Ref::own(PyDict_New()) : Ref::borrow(properties));
    set(c.self, &CollectionObject::rgjs, map_list(c[0], [&](const Ref& g) { return build_member(registry, g); }));
    stack_member_matrices(c, c.self);
    Ref bboxes = per_member(c.self, [](const Ref& m) { return m.attr("bbox"_id); });
    Ref boxes = c.np("concatenate"_id)(bboxes, integer(0)).attr("reshape"_id)(integer(-1), integer(2));
    Ref array = c.np("array"_id);
    Ref low = boxes.attr("min"_id)(integer(0));
    Ref high = boxes.attr("max"_id)(integer(0));
    set(c.self, &RGJObject::bbox, array(list(low, high)));
    return none();
}};

const Method set_coordinates{{"set_coordinates", {"new_coords"}, 1}, [](Call&) -> Ref {
    PyErr_SetNone(PyExc_NotImplementedError);
    raise();
}, "Not supported: a collection's coordinates change only through its members."};

const Method set_repulsion{{"set_repulsion", {"new_repulsion"}, 1}, [](Call& c) {
    for_each(members(c.self).get(), [&](const Ref& m) { m.attr("set_repulsion"_id)(c[0]); });
    // Keep the member choice and the gradient in step with the members' new matrices.
    stack_member_matrices(c, c.self);
    return none();
}, "Give every member the repulsion matrix and refresh the per-member matrix stacks."};

const Method in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref it = Ref::own(PyObject_GetIter(members(c.self).get()));
    while (PyObject* item = PyIter_Next(it.get())) {
        if (truth(Ref::own(item).attr("in_bbox"_id)(c[0]).get())) return boolean(true);
    }
    if (PyErr_Occurred()) raise();
    return boolean(false);
}, "True when x lies in the bounding box of some member."};

const Method get_dist_matrix{{"get_dist_matrix", {"scaled", "inverted"}, 0, false,
                             {Default::True, Default::True}}, [](Call& c) {
    return c.np("array"_id)(per_member(c.self, [&](const Ref& m) { return dist_matrix(m, c[0], c[1]); }));
}, "The members' distance matrices, stacked: shape (M, 2, 2)."};

const Method get_center_point{{"get_center_point"}, [](Call& c) {
    Ref centers = c.np("array"_id)(per_member(c.self, [](const Ref& m) { return m.attr("get_center_point"_id)(); }));
    Ref coords = c.np("reshape"_id)(centers, tuple(integer(-1), integer(2)));
    Ref low = coords.attr("min"_id)(integer(0));
    Ref high = coords.attr("max"_id)(integer(0));
    return (low + high) / number(2.0);
}, "Centre of the box around the members' centre points."};

// Plain float64 views of every item of a list of member answers, each with
// `ndim` dimensions and the same shape; false when any is something else.
bool member_views(const Ref& answers, int ndim, Py_ssize_t cols, std::deque<View>& views) {
    const Py_ssize_t members = PyList_GET_SIZE(answers.get());
    for (Py_ssize_t m = 0; m < members; ++m) {
        View& v = views.emplace_back();
        if (!v.take(PyList_GET_ITEM(answers.get(), m), ndim, cols) || v.rows() != views.front().rows()) return false;
    }
    return members > 0 && views.front().rows() > 0;
}

// numpy's argmin over a row: the first NaN if there is one, else the first
// smallest value.
template <class Value>
Py_ssize_t argmin(Py_ssize_t count, Value&& value) {
    Py_ssize_t best = 0;
    for (Py_ssize_t m = 0; m < count; ++m) {
        const double v = value(m);
        if (std::isnan(v)) return m;
        if (v < value(best)) best = m;
    }
    return best;
}

// squared_dist's reduction over the members computed here when every
// member answered with a plain float64 (N,) array: np.min over the members,
// or with `return_reference` the smallest value and its member index.
Ref fast_nearest_member(const Call& c, const Ref& answers, PyObject* return_reference) {
    std::deque<View> views;
    if (!fast::ready(c) || (return_reference != Py_True && return_reference != Py_False) ||
        !member_views(answers, 1, -1, views))
        return {};
    const Py_ssize_t n = views.front().rows(), members = static_cast<Py_ssize_t>(views.size());
    Output values = fast::output({n});
    const fast::FpWatch watch;
    if (return_reference == Py_False) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            double r = views[0].data()[i];
            bool signed_zeros = false;  // +0.0 and -0.0 both in the row
            for (Py_ssize_t m = 1; m < members && !std::isnan(r); ++m) {
                const double v = views[static_cast<size_t>(m)].data()[i];
                signed_zeros |= v == 0.0 && r == 0.0 && std::signbit(v) != std::signbit(r);
                if (std::isnan(v) || v < r) r = v;
            }
            // Which zero np.min keeps depends on its reduction order: leave
            // such rows to numpy.
            if (signed_zeros && r == 0.0) return {};
            values.data()[i] = r;
        }
        return watch.clean() ? std::move(values.array) : Ref();
    }
    Output index = fast::index_output({n});
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t m = argmin(members, [&](Py_ssize_t k) { return views[static_cast<size_t>(k)].data()[i]; });
        index.data<Py_ssize_t>()[i] = m;
        values.data()[i] = views[static_cast<size_t>(m)].data()[i];
    }
    return watch.clean() ? tuple(values.array, index.array) : Ref();
}

// repulsion_vector's choice computed here when every member answered with
// a plain float64 (N, 2) array and inv_repulsions is a plain (M, 2, 2)
// stack: per point the member whose vector v has the smallest v.(A_m v),
// with the einsum's arithmetic; without selection the answers one after
// the other.
Ref fast_member_vectors(const Call& c, const Ref& answers, PyObject* select) {
    std::deque<View> views;
    if (!fast::ready(c) || (select != Py_True && select != Py_False) || !member_views(answers, 2, 2, views))
        return {};
    const Py_ssize_t n = views.front().rows(), members = static_cast<Py_ssize_t>(views.size());
    if (select == Py_False) {
        Output out = fast::output({members * n, 2});
        for (Py_ssize_t m = 0; m < members; ++m)
            std::copy(views[static_cast<size_t>(m)].data(), views[static_cast<size_t>(m)].data() + 2 * n,
                      out.data() + 2 * m * n);
        return std::move(out.array);
    }
    View stack;
    if (!stack.take(reinterpret_cast<CollectionObject*>(c.self)->inv_repulsions, 3, 2) || stack.rows() != members ||
        stack.shape(1) != 2)
        return {};
    const double* a = stack.data();
    Output out = fast::output({n, 2});
    const fast::FpWatch watch;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t m = argmin(members, [&](Py_ssize_t k) {
            const double* v = views[static_cast<size_t>(k)].data() + 2 * i;
            const double* A = a + 4 * k;
            return v[0] * (A[0] * v[0] + A[1] * v[1]) + v[1] * (A[2] * v[0] + A[3] * v[1]);
        });
        std::copy(views[static_cast<size_t>(m)].data() + 2 * i, views[static_cast<size_t>(m)].data() + 2 * i + 2,
                  out.data() + 2 * i);
    }
    return watch.clean() ? std::move(out.array) : Ref();
}

// ---------------------------------------------------------------------------
// The scene index: squared_dist, repulsion_vector and gradient of the whole
// collection in one indexed pass (kernels/scene.hpp), for collections whose
// members are plain instances of the package's classes.
//
// When it applies. The collection is of the exact class with its own
// methods and the base type's eval; every member is of an exact package
// class whose repulsion_vector, squared_dist and get_dist_matrix are the
// ones the class was built with; the modules' `np` is numpy and their
// `kernels` functions are the kernel module's own; every field the members'
// steps read holds a plain float64 array of the expected shape; each
// polygon's cached `metric` and the collection's `inv_repulsions` row equal
// the member's inv_repulsion bit for bit (so one metric ranks everything).
// Otherwise the stated steps run, as before.
//
// Kept between calls, never stale (the same check serves the own indexes
// of long lines and polygons, native/member_index.hpp). An index is built
// once per collection and kept in `scene_caches`, keyed by the collection
// (its entry dies with it). Each call first checks, without running any Python code, that the
// index still describes the collection:
//  - `rgjs` is the same list, of the same length, holding the same member
//    objects in the same order (a list changed in place shows here);
//  - each member's fields are the same objects as at the build and its
//    segment count is the same (replacing a field, set_coordinates,
//    set_repulsion, _build_segments and _build_segment_cache all store new
//    objects); the polygons' ring lists hold the same ring arrays. Every
//    store into any geometry's field, in any module, advances one count
//    (count_store); while it has not moved since the last check, the
//    field identities cannot have changed and are not read again, only
//    what changes without a store (a member's class, its matrices' values,
//    a ring list's items);
//  - small arrays are compared by value: every member's inv_repulsion and
//    polygon metric (in-place writes show), and the collection's
//    inv_repulsions and grad_matrixes are read afresh at every call;
//  - points of Point and MultiPoint members are read afresh at every call,
//    so callers can move them by writing into `coordinates`;
//  - segment caches and rings are the package's own frozen arrays
//    (read-only over bytes, which no one can make writable again), trusted
//    while they are the ones stored; any other array is copied at the build
//    and compared by value at every call;
//  - the collection's methods and the modules' `np` and `kernels` are
//    looked up afresh, and the members' classes are looked up again
//    whenever their type version tag (which any assignment to a class or
//    its bases resets) has moved, so replacing any of them shows at the
//    next call.
// The index holds references to the arrays it depends on, so an identity
// seen once cannot be reused by another object while it is kept. Anything
// that fails these checks rebuilds the index, or, when the new state cannot
// be indexed, runs the stated steps. All checks come after the last point
// where Python code could run in the call (output allocation), so what was
// checked is what is used.

namespace k = orvo::kernels;

// A member class whose methods were checked while its version tag was
// `tag` (0: no valid tag, look it up every time).
struct ClassTag {
    PyTypeObject* type;
    unsigned int tag;
};

struct SceneCache {
    PyObject* rgjs = nullptr;  // borrowed identity
    std::vector<MemberRecord> members;
    std::vector<ClassTag> classes;
    std::uint64_t stores = 0;  // the store count when the members were last found current
    Holdings arrays;
    std::vector<Py_ssize_t> point_members;  // indices of Point and MultiPoint members
    std::shared_ptr<const k::Scene> scene;
};

// Never destroyed: its references must not be released after the
// interpreter has finalised.
auto& scene_caches = *new std::unordered_map<PyObject*, SceneCache>;
PyObject* own_methods[3] = {};  // the collection's squared_dist, repulsion_vector, gradient

bool same_bits(const double* a, const double* b, size_t n) { return std::memcmp(a, b, n * sizeof(double)) == 0; }

// The member's class, when it is one of the package's exact classes with
// the methods it was built with.
std::optional<ClassId> plain_class(PyTypeObject* t) {
    const Registry& r = *registry;
    for (int id = 0; id < kMemberClasses; ++id) {
        if (t != r.types[id]) continue;
        if (_PyType_Lookup(t, "repulsion_vector"_id) != r.repulsion_vector[id] ||
            _PyType_Lookup(t, "squared_dist"_id) != r.squared_dist ||
            _PyType_Lookup(t, "get_dist_matrix"_id) != r.get_dist_matrix)
            return std::nullopt;
        return static_cast<ClassId>(id);
    }
    return std::nullopt;
}

unsigned int version_tag(PyTypeObject* t) {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) ? t->tp_version_tag : 0;
}

// Records `t`, just found plain, unless it is recorded already.
void record_class(std::vector<ClassTag>& classes, PyTypeObject* t) {
    for (const ClassTag& c : classes)
        if (c.type == t) return;
    classes.push_back({t, version_tag(t)});
}

// The recorded classes still have the methods they were built with.
bool classes_unchanged(std::vector<ClassTag>& classes) {
    for (ClassTag& c : classes) {
        if (c.tag != 0 && version_tag(c.type) == c.tag) continue;
        if (!plain_class(c.type)) return false;
        c.tag = version_tag(c.type);  // the lookups have assigned a new tag
    }
    return true;
}

// The modules and the collection's class are as they were built.
bool environment_ready(const Call& c) {
    const Registry& r = *registry;
    if (!fast::ready(c) || r.kernels == nullptr) return false;
    for (ModuleId m : {ModuleId::Base, ModuleId::Point, ModuleId::LineString, ModuleId::Polygon})
        if (find_global(r.modules[static_cast<int>(m)], "np"_id) != r.np) return false;
    for (ModuleId m : {ModuleId::LineString, ModuleId::Polygon})
        if (find_global(r.modules[static_cast<int>(m)], "kernels"_id) != r.kernels) return false;
    PyObject* kernels = PyModule_GetDict(r.kernels);
    if (dict_item(kernels, "segment_repulsion_vectors"_id) != r.segment_kernel ||
        dict_item(kernels, "point_in_rings"_id) != r.rings_kernel)
        return false;
    PyTypeObject* t = Py_TYPE(c.self);
    return t == type_of(ClassId::GeometryCollection) && _PyType_Lookup(t, "squared_dist"_id) == own_methods[0] &&
           _PyType_Lookup(t, "repulsion_vector"_id) == own_methods[1] &&
           _PyType_Lookup(t, "gradient"_id) == own_methods[2] && _PyType_Lookup(t, "eval"_id) == r.eval;
}

bool cache_unchanged(SceneCache& cache, PyObject* rgjs) {
    if (!cache.scene || rgjs != cache.rgjs || !PyList_CheckExact(rgjs) ||
        PyList_GET_SIZE(rgjs) != static_cast<Py_ssize_t>(cache.members.size()) || !classes_unchanged(cache.classes))
        return false;
    const bool no_stores = cache.stores == *field_stores;
    for (size_t m = 0; m < cache.members.size(); ++m) {
        const MemberRecord& rec = cache.members[m];
        if (PyList_GET_ITEM(rgjs, static_cast<Py_ssize_t>(m)) != rec.object ||
            !(no_stores ? unchanged_without_stores(rec) : member_unchanged(rec)))
            return false;
    }
    if (!arrays_unchanged(cache.arrays)) return false;
    cache.stores = *field_stores;
    return true;
}

// The index for the collection as it is now, built if need be; null when
// it cannot be indexed. `points` receives the indices of its Point and
// MultiPoint members. Runs no Python code.
std::shared_ptr<const k::Scene> current_scene(PyObject* self, std::vector<Py_ssize_t>& points) {
    PyObject* rgjs = reinterpret_cast<CollectionObject*>(self)->rgjs;
    auto found = scene_caches.find(self);
    if (found != scene_caches.end() && cache_unchanged(found->second, rgjs)) {
        points = found->second.point_members;
        return found->second.scene;
    }
    if (found != scene_caches.end()) scene_caches.erase(found);
    if (!PyList_CheckExact(rgjs) || PyList_GET_SIZE(rgjs) == 0) return nullptr;
    SceneCache cache;
    cache.rgjs = rgjs;
    std::vector<k::MemberInput> inputs(static_cast<size_t>(PyList_GET_SIZE(rgjs)));
    std::deque<View> views;
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(rgjs); ++m) {
        PyObject* obj = PyList_GET_ITEM(rgjs, m);
        const std::optional<ClassId> id = plain_class(Py_TYPE(obj));
        MemberRecord& rec = cache.members.emplace_back();
        if (!id || !read_member(obj, *id, inputs[static_cast<size_t>(m)], rec, views, cache.arrays)) return nullptr;
        if (*id == ClassId::Point || *id == ClassId::MultiPoint) cache.point_members.push_back(m);
        record_class(cache.classes, Py_TYPE(obj));
        rec.kind = inputs[static_cast<size_t>(m)].kind;
    }
    if (!k::indexable(inputs)) return nullptr;
    cache.stores = *field_stores;
    cache.scene = std::make_shared<const k::Scene>(inputs);
    auto scene = cache.scene;
    points = cache.point_members;
    scene_caches.emplace(self, std::move(cache));
    return scene;
}

void forget_scene(PyObject* self) noexcept { scene_caches.erase(self); }

// The query points of a fused call: a float64 array of shape (n, 2) or (2,),
// or what fast::Points reads.
class Query {
public:
    bool read(PyObject* x) {
        if (Py_TYPE(x) == View::ndarray) {
            if (pair_.take(x, 1) && pair_.shape(0) == 2) return set(pair_.data(), 1);
            if (rows_.take(x, 2, 2) && rows_.rows() > 0) return set(rows_.data(), rows_.rows());
            return false;
        }
        return small_.read(x) && set(small_.data(), small_.size());
    }
    const double* data() const { return data_; }
    Py_ssize_t size() const { return n_; }

private:
    bool set(const double* d, Py_ssize_t n) {
        data_ = d, n_ = n;
        return true;
    }
    View pair_, rows_;
    fast::Points small_;
    const double* data_ = nullptr;
    Py_ssize_t n_ = 0;
};

// The members' answers for every query point from the index, or false
// (no error set) when they must come from the stated steps. `live` copies
// the point members' points as they are now. `underflow` tells that some
// arithmetic underflowed, which the caller must let numpy judge.
bool scene_rows(const Call& c, const Query& x, std::vector<k::SceneRow>& rows, bool& underflow) {
    if (!environment_ready(c)) return false;
    std::vector<Py_ssize_t> point_members;
    std::shared_ptr<const k::Scene> scene = current_scene(c.self, point_members);
    if (!scene) return false;
    PyObject* rgjs = reinterpret_cast<CollectionObject*>(c.self)->rgjs;
    std::vector<k::LivePoints> live(static_cast<size_t>(scene->size()));
    std::vector<double> points;
    std::vector<std::pair<size_t, size_t>> spans(live.size());
    bool negative_zero = false;  // a multi-point holds a -0.0
    for (const Py_ssize_t m : point_members) {
        PyObject* obj = PyList_GET_ITEM(rgjs, m);
        const bool point = Py_TYPE(obj) == registry->types[static_cast<int>(ClassId::Point)];
        PyObject* coordinates = reinterpret_cast<RGJObject*>(obj)->coordinates;
        View flat, table;
        const double* p = nullptr;
        Py_ssize_t count = 1;
        if (point && flat.take(coordinates, 1) && flat.shape(0) == 2) p = flat.data();
        else if (table.take(coordinates, 2, 2) && table.rows() > 0 && (!point || table.rows() == 1))
            p = table.data(), count = table.rows();
        if (p == nullptr ||
            !std::all_of(p, p + 2 * count, [](double v) { return std::fabs(v) <= 1e100; }))
            return false;
        negative_zero |= !point && std::any_of(p, p + 2 * count, [](double v) { return v == 0.0 && std::signbit(v); });
        spans[static_cast<size_t>(m)] = {points.size(), static_cast<size_t>(count)};
        points.insert(points.end(), p, p + 2 * count);
    }
    for (const Py_ssize_t m : point_members) {
        const auto [first, count] = spans[static_cast<size_t>(m)];
        live[static_cast<size_t>(m)] = {points.data() + first, static_cast<std::ptrdiff_t>(count)};
    }
    const Py_ssize_t n = x.size();
    rows.resize(static_cast<size_t>(n));
    std::atomic<bool> failed{false}, underflowed{false};
    const double* xy = x.data();
    const bool done = parallel_for(n, static_cast<double>(n) * 400.0, [&](Py_ssize_t begin, Py_ssize_t end) {
        std::feclearexcept(FE_ALL_EXCEPT);
        for (Py_ssize_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
            const double px = xy[2 * i], py = xy[2 * i + 1];
            if (std::isfinite(px) && std::isfinite(py) && std::fabs(px) <= 1e100 && std::fabs(py) <= 1e100) {
                Py_ssize_t stop = i + 1;
                while (stop < end && std::isfinite(xy[2 * stop]) && std::isfinite(xy[2 * stop + 1]) &&
                       std::fabs(xy[2 * stop]) <= 1e100 && std::fabs(xy[2 * stop + 1]) <= 1e100)
                    ++stop;
                if (scene->run(xy, i, stop, live, rows.data()) != k::RowStatus::Done) failed = true;
                i = stop - 1;
            } else if (!std::isfinite(px) || !std::isfinite(py)) {
                if (!scene->run_nonfinite(rows[static_cast<size_t>(i)])) failed = true;
            } else {
                failed = true;
            }
        }
        if (std::fetestexcept(FE_OVERFLOW | FE_INVALID)) failed = true;
        if (std::fetestexcept(FE_UNDERFLOW)) underflowed = true;
    });
    if (!done) raise();
    if (negative_zero)
        for (k::SceneRow& row : rows) row.signed_zero |= row.d == 0.0;
    underflow = underflowed.load();
    return !failed.load();
}

// The collection's repulsion_vector choice (its inv_repulsions) ranks the
// members as their own squared distances do: every row equals the
// member's inv_repulsion, which the index was built with.
bool choices_agree(PyObject* self) {
    View stack;
    const auto found = scene_caches.find(self);
    if (found == scene_caches.end()) return false;
    const std::vector<MemberRecord>& members = found->second.members;
    if (!stack.take(reinterpret_cast<CollectionObject*>(self)->inv_repulsions, 3, 2) ||
        stack.rows() != static_cast<Py_ssize_t>(members.size()) || stack.shape(1) != 2)
        return false;
    for (size_t m = 0; m < members.size(); ++m)
        if (!same_bits(stack.data() + 4 * m, members[m].metric, 4)) return false;
    return true;
}

// Whether numpy, as configured now (np.seterr), ignores underflow, as it
// does by default: then an underflow in arithmetic that stands for numpy's
// changes nothing anyone can see.
bool underflow_ignored() {
    Ref state = Ref::borrow(registry->np).attr("geterr"_id)();
    return PyUnicode_CompareWithASCIIString(state["under"_id].get(), "ignore") == 0;
}

// -e_i * (G v_i) for the rows, G the grad_matrix of each row's member, in
// the einsum's arithmetic; false when an operand is not plain or the
// arithmetic overflowed or was invalid.
bool gradient_rows(PyObject* self, const Ref& field, const std::vector<k::SceneRow>& rows, double* out,
                   bool& underflow) {
    View e, g;
    if (!e.take(field.get(), 1) || e.rows() != static_cast<Py_ssize_t>(rows.size()) ||
        !g.take(reinterpret_cast<CollectionObject*>(self)->grad_matrixes, 3, 2) || g.shape(1) != 2)
        return false;
    std::feclearexcept(FE_ALL_EXCEPT);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].member >= g.rows()) return false;
        const double* G = g.data() + 4 * rows[i].member;
        const double scale = -e.data()[i];
        out[2 * i] = scale * ((0.0 + G[0] * rows[i].vx) + G[1] * rows[i].vy);
        out[2 * i + 1] = scale * ((0.0 + G[2] * rows[i].vx) + G[3] * rows[i].vy);
    }
    underflow |= std::fetestexcept(FE_UNDERFLOW) != 0;
    return !std::fetestexcept(FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO);
}

// np.exp(-d) over the rows' squared distances: the collection's eval.
Ref field_values(const std::vector<k::SceneRow>& rows) {
    Output negated = fast::output({static_cast<Py_ssize_t>(rows.size())});
    for (size_t i = 0; i < rows.size(); ++i) negated.data()[i] = -rows[i].d;
    return Ref::borrow(registry->np).attr("exp"_id)(negated.array);
}

Ref fused_squared_dist(const Call& c) {
    if (c[1] != Py_True || c[2] != Py_True || (c[3] != Py_True && c[3] != Py_False)) return {};
    Query x;
    if (!x.read(c[0])) return {};
    Output values = fast::output({x.size()});
    std::optional<Output> index;
    if (c[3] == Py_True) index.emplace(fast::captured.empty, fast::captured.intp, Item::Int, std::initializer_list{x.size()});
    std::vector<k::SceneRow> rows;
    bool underflow = false;
    if (!scene_rows(c, x, rows, underflow)) return {};
    for (size_t i = 0; i < rows.size(); ++i) {
        // Which zero np.min keeps depends on its reduction order.
        if (!index && rows[i].signed_zero) return {};
        values.data()[i] = rows[i].d;
        if (index) index->data<Py_ssize_t>()[i] = rows[i].member;
    }
    if (underflow && !underflow_ignored()) return {};
    if (index) return tuple(values.array, index->array);
    return std::move(values.array);
}

Ref fused_repulsion_vector(const Call& c) {
    Query x;
    if (c[1] != Py_True || c.kwargs || !x.read(c[0])) return {};
    Output out = fast::output({x.size(), 2});
    std::vector<k::SceneRow> rows;
    bool underflow = false;
    if (!scene_rows(c, x, rows, underflow) || !choices_agree(c.self)) return {};
    for (size_t i = 0; i < rows.size(); ++i) out.data()[2 * i] = rows[i].vx, out.data()[2 * i + 1] = rows[i].vy;
    if (underflow && !underflow_ignored()) return {};
    return std::move(out.array);
}

Ref fused_gradient(const Call& c) {
    Query x;
    if (c.kwargs || !x.read(c[0])) return {};
    Output out = fast::output({x.size(), 2});
    std::vector<k::SceneRow> rows;
    bool underflow = false;
    if (!scene_rows(c, x, rows, underflow) || !choices_agree(c.self)) return {};
    Ref field = field_values(rows);
    if (!gradient_rows(c.self, field, rows, out.data(), underflow)) return {};
    if (underflow && !underflow_ignored()) return {};
    return std::move(out.array);
}

// _evaluate(collection, x): the field values, gradients and nearest members
// of a float64 (N, 2) array in one pass, as eval, gradient and
// squared_dist(return_reference=True)[1] give them; None when they must
// come from those methods.
const Method evaluate_function{{"_evaluate", {"collection", "x"}, 2}, [](Call& c) {
    if (!exactly(c[0], ClassId::GeometryCollection)) return none();
    Call inner;
    inner.module = c.module;
    inner.self = c[0];
    Query x;
    if (!x.read(c[1])) return none();
    Output gradients = fast::output({x.size(), 2});
    Output nearest = fast::index_output({x.size()});
    std::vector<k::SceneRow> rows;
    bool underflow = false;
    if (!scene_rows(inner, x, rows, underflow) || !choices_agree(inner.self)) return none();
    for (size_t i = 0; i < rows.size(); ++i) nearest.data<Py_ssize_t>()[i] = rows[i].member;
    Ref values = field_values(rows);
    if (!gradient_rows(inner.self, values, rows, gradients.data(), underflow)) return none();
    if (underflow && !underflow_ignored()) return none();
    return tuple(values, gradients.array, nearest.array);
}, "_evaluate(collection, x)\n\nField values (N,), gradients (N, 2) and nearest members (N,) of a plain "
   "collection at a float64 (N, 2) array in one indexed pass, or None when the collection's own methods must "
   "answer."};

const Method squared_dist{
    {"squared_dist", {"x", "scaled", "inverted", "return_reference"}, 1, true,
        {Default::True, Default::True, Default::False}}, [](Call& c) {
        if (Ref fused = fused_squared_dist(c)) return fused;
        Ref per = per_member(c.self, [&](const Ref& m) {
            return call(m.attr("squared_dist"_id).get(), {c[0]}, {{"scaled"_id, c[1]}, {"inverted"_id, c[2]}});
        });
        if (Ref fast = fast_nearest_member(c, per, c[3])) return fast;
        Ref dists = call(c.np("stack"_id).get(), {per.get()}, {{"axis"_id, integer(1).get()}});
        if (!truth(c[3])) return call(c.np("min"_id).get(), {dists.get()}, {{"axis"_id, integer(1).get()}});
        Ref min_idxs = call(c.np("argmin"_id).get(), {dists.get()}, {{"axis"_id, integer(1).get()}});
        Ref rows = c.np("arange"_id)(integer(length(dists.get())));
        return tuple(dists[tuple(rows, min_idxs)], min_idxs);
    },
    "Smallest member squared distance per query point; with return_reference, also the member index."};

const Method repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true, {Default::True}}, [](Call& c) {
    if (Ref fused = fused_repulsion_vector(c)) return fused;
    Ref kwargs = c.kwargs_dict();
    check(PyDict_SetItem(kwargs.get(), "min_dist_select"_id, c[1]));
    Ref empty = Ref::own(PyTuple_New(0));
    Ref per = per_member(c.self, [&](const Ref& m) {
        Ref args = tuple(c[0]);
        return Ref::own(PyObject_Call(m.attr("repulsion_vector"_id).get(), args.get(), kwargs.get()));
    });
    if (Ref fast = fast_member_vectors(c, per, c[1])) return fast;
    Ref vectors = call(c.np("stack"_id).get(), {per.get()}, {{"axis"_id, integer(0).get()}});
    if (truth(c[1])) {
        Ref nvectors = vectors.attr("swapaxes"_id)(integer(0), integer(1));
        Ref spec = Ref::own(PyUnicode_FromString("ijk,lik->lij"));
        Ref applied = c.np("einsum"_id)(spec, get(c.self, &CollectionObject::inv_repulsions), nvectors);
        Ref dist = (nvectors * applied).attr("sum"_id)(integer(-1));
        Ref select = dist.attr("argmin"_id)(integer(1));
        vectors = nvectors[tuple(c.np("arange"_id)(integer(length(select.get()))), select)];
    }
    return vectors.attr("reshape"_id)(integer(-1), integer(2));
}, "Per query point the repulsion vector of the member whose vector has the smallest quadratic form "
   "under its distance matrix (min_dist_select), or all members' vectors, member-major."};

// {key: value, **kwargs}, refusing a kwargs that already holds `key`.
Ref with_keyword(const Call& c, PyObject* key, PyObject* value) {
    Ref merged = Ref::own(PyDict_New());
    check(PyDict_SetItem(merged.get(), key, value));
    if (!c.kwargs) return merged;
    if (check(PyDict_Contains(c.kwargs.get(), key)))
        raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key);
    check(PyDict_Update(merged.get(), c.kwargs.get()));
    return merged;
}

// The second item of a result that must unpack into exactly two items.
Ref second_of_pair(const Ref& pair) {
    Ref it = Ref::own(PyObject_GetIter(pair.get()));
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) raise();
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
        }
        items[i] = Ref::own(item);
    }
    if (PyObject* extra = PyIter_Next(it.get())) {
        Ref dropped = Ref::own(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    }
    if (PyErr_Occurred()) raise();
    return std::move(items[1]);
}

// The gradient's last step computed here for plain arrays: row i is
// -e_i * (G v_i) with G the grad_matrix of member dist_idxs[i], in the
// einsum's arithmetic (a sum that starts from +0.0, so a row of signed
// zeros comes out as numpy gives it).
Ref fast_gradient(const Call& c, const Ref& field, const Ref& dist_idxs, const Ref& vectors) {
    View e, v, g, idx;
    if (!fast::ready(c) || !e.take(field.get(), 1) || !v.take(vectors.get(), 2, 2) || v.rows() != e.rows() ||
        !g.take(reinterpret_cast<CollectionObject*>(c.self)->grad_matrixes, 3, 2) || g.shape(1) != 2 ||
        !idx.take_indices(dist_idxs.get()) || idx.rows() != e.rows())
        return {};
    const Py_ssize_t n = e.rows(), members = g.rows();
    // The output is allocated before any index is read: the allocation can
    // run Python code (a collection) that rewrites the caller-visible index
    // array. Each index is read once and checked where it is used.
    Output out = fast::output({n, 2});
    const fast::FpWatch watch;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t m = idx.indices()[i];
        if (m < 0 || m >= members) return {};  // numpy wraps or raises
        const double* G = g.data() + 4 * m;
        const double* vi = v.data() + 2 * i;
        const double scale = -e.data()[i];
        out.data()[2 * i] = scale * ((0.0 + G[0] * vi[0]) + G[1] * vi[1]);
        out.data()[2 * i + 1] = scale * ((0.0 + G[2] * vi[0]) + G[3] * vi[1]);
    }
    return watch.clean() ? std::move(out.array) : Ref();
}

const Method gradient{{"gradient", {"x"}, 1, true}, [](Call& c) {
    if (Ref fused = fused_gradient(c)) return fused;
    Ref self = Ref::borrow(c.self);
    Ref args = tuple(c[0]);
    Ref squared_dist = self.attr("squared_dist"_id);
    Ref reference_keywords = with_keyword(c, "return_reference"_id, Py_True);
    Ref reference = Ref::own(PyObject_Call(squared_dist.get(), args.get(), reference_keywords.get()));
    Ref dist_idxs = second_of_pair(reference);
    Ref repulsion_vector = self.attr("repulsion_vector"_id);
    Ref vector_keywords = with_keyword(c, "min_dist_select"_id, Py_True);
    Ref vectors = Ref::own(PyObject_Call(repulsion_vector.get(), args.get(), vector_keywords.get()));
    Ref field = call(self.attr("eval"_id).get(), {}, {{"x"_id, c[0]}});
    if (Ref fast = fast_gradient(c, field, dist_idxs, vectors)) return fast;
    Ref value = -field.attr("reshape"_id)(integer(-1), integer(1));
    Ref matrices = get(c.self, &CollectionObject::grad_matrixes)[dist_idxs];
    Ref spec = Ref::own(PyUnicode_FromString("ijk,ik->ij"));
    return value * c.np("einsum"_id)(spec, matrices, vectors);
}, "Gradient of the field value at each query point: -eval(x) * grad_matrix(nearest member) @ v."};

const Method to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    Ref properties = get(c.self, &RGJObject::properties);
    Ref type = Ref::borrow(c.self).attr("RGJType"_id);
    Ref geometries = per_member(c.self, [](const Ref& m) { return m.attr("toRGeoJSON"_id)()["geometry"_id]; });
    return feature(properties, type, "geometries"_id, geometries);
}, "The RGeoJSON Feature dictionary: the members' geometry dictionaries under \"geometries\"."};

constexpr const Method* collection_methods[] = {&set_coordinates, &set_repulsion,  &in_bbox,
                                                &get_dist_matrix, &get_center_point, &squared_dist,
                                                &repulsion_vector, &gradient,        &to_rgeojson};

constexpr ClassSpec GeometryCollectionRGJ_spec{
    .name = "orvo.field.geometry.collection.GeometryCollectionRGJ", .rgj_type = "GeometryCollection",
    .id = ClassId::GeometryCollection, .base = "MultiRGJGeometry", .fields = collection_fields, .inherited = {},
    .init = &collection_init, .methods = collection_methods, .checksums = {0x96a235a, 0x3eb5c46, 0x7a84316},
    .on_dealloc = forget_scene};

// The fused paths recognise the class's own methods; `_evaluate` serves
// orvo.field.evaluate.
void add_scene_index(PyObject* module) {
    auto* type = type_of(ClassId::GeometryCollection);
    own_methods[0] = _PyType_Lookup(type, "squared_dist"_id);
    own_methods[1] = _PyType_Lookup(type, "repulsion_vector"_id);
    own_methods[2] = _PyType_Lookup(type, "gradient"_id);
    mod::add(module, "_evaluate", make_function(module, evaluate_function, nullptr));
}

void collection_exec(PyObject* module) {
    mod::load_geometry_module<GeometryCollectionRGJ_spec>(
        module, {.id = ModuleId::Collection, .builtins = {}, .kernels = false, .extra = add_scene_index});
}

}  // namespace

ORVO_FIELD_MODULE(collection, "orvo.field.geometry.collection", "GeometryCollectionRGJ.", collection_exec)
