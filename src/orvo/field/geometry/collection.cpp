// orvo.field.geometry.collection: GeometryCollectionRGJ.
//
// A collection owns member geometries built through the registry
// `_RGJ_TYPES` and combines their fields: per query point it picks one
// member for the squared distance, the repulsion vector and the gradient.
// It talks to its members only through their public methods and attributes.
#include "../native/fastpath.hpp"
#include "../native/module.hpp"

#include <cmath>
#include <deque>
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

constexpr std::array<Field, 3> collection_fields = {{
    {"rgjs", Kind::List, offsetof(CollectionObject, rgjs)},
    {"inv_repulsions", Kind::Object, offsetof(CollectionObject, inv_repulsions)},
    {"grad_matrixes", Kind::Object, offsetof(CollectionObject, grad_matrixes)},
}};
constexpr auto collection_members = members_of<collection_fields>();

constexpr ClassSpec GeometryCollectionRGJ_spec{
    "orvo.field.geometry.collection.GeometryCollectionRGJ", "__pyx_unpickle_GeometryCollectionRGJ",
    collection_fields, collection_members, {0x96a235a, 0x3eb5c46, 0x7a84316}, sizeof(CollectionObject)};

PyObject* collection_module = nullptr;

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
    set(c.self, &RGJObject::bbox,
        c.np("array"_id)(list(boxes.attr("min"_id)(integer(0)), boxes.attr("max"_id)(integer(0)))));
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

const Method get_dist_matrix{{"get_dist_matrix", {"scaled", "inverted"}, 0}, [](Call& c) {
    return c.np("array"_id)(per_member(c.self, [&](const Ref& m) { return dist_matrix(m, c[0], c[1]); }));
}, "The members' distance matrices, stacked: shape (M, 2, 2)."};

const Method get_center_point{{"get_center_point"}, [](Call& c) {
    Ref centers = c.np("array"_id)(per_member(c.self, [](const Ref& m) { return m.attr("get_center_point"_id)(); }));
    Ref coords = c.np("reshape"_id)(centers, tuple(integer(-1), integer(2)));
    return (coords.attr("min"_id)(integer(0)) + coords.attr("max"_id)(integer(0))) / number(2.0);
}, "Centre of the box around the members' centre points."};

// Plain float64 views of every item of a list of member answers, each with
// `ndim` dimensions and the same shape; false when any is something else.
bool member_views(const Ref& answers, int ndim, Py_ssize_t cols, std::deque<fast::View>& views) {
    const Py_ssize_t members = PyList_GET_SIZE(answers.get());
    for (Py_ssize_t m = 0; m < members; ++m) {
        fast::View& v = views.emplace_back();
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
    std::deque<fast::View> views;
    if (!fast::ready(c) || (return_reference != Py_True && return_reference != Py_False) ||
        !member_views(answers, 1, -1, views))
        return {};
    const Py_ssize_t n = views.front().rows(), members = static_cast<Py_ssize_t>(views.size());
    fast::Output values({n});
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
        return watch.clean() ? values.array : Ref();
    }
    fast::Output index({n}, true);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t m = argmin(members, [&](Py_ssize_t k) { return views[static_cast<size_t>(k)].data()[i]; });
        index.index_data[i] = m;
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
    std::deque<fast::View> views;
    if (!fast::ready(c) || (select != Py_True && select != Py_False) || !member_views(answers, 2, 2, views))
        return {};
    const Py_ssize_t n = views.front().rows(), members = static_cast<Py_ssize_t>(views.size());
    if (select == Py_False) {
        fast::Output out({members * n, 2});
        for (Py_ssize_t m = 0; m < members; ++m)
            std::copy(views[static_cast<size_t>(m)].data(), views[static_cast<size_t>(m)].data() + 2 * n,
                      out.data() + 2 * m * n);
        return out.array;
    }
    fast::View stack;
    if (!stack.take(reinterpret_cast<CollectionObject*>(c.self)->inv_repulsions, 3, 2) || stack.rows() != members ||
        stack.shape(1) != 2)
        return {};
    const double* a = stack.data();
    fast::Output out({n, 2});
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
    return watch.clean() ? out.array : Ref();
}

const Method squared_dist{
    {"squared_dist", {"x", "scaled", "inverted", "return_reference"}, 1, true}, [](Call& c) {
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

const Method repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true}, [](Call& c) {
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
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    }
    if (PyErr_Occurred()) raise();
    return items[1];
}

// The gradient's last step computed here for plain arrays: row i is
// -e_i * (G v_i) with G the grad_matrix of member dist_idxs[i], in the
// einsum's arithmetic (a sum that starts from +0.0, so a row of signed
// zeros comes out as numpy gives it).
Ref fast_gradient(const Call& c, const Ref& field, const Ref& dist_idxs, const Ref& vectors) {
    fast::View e, v, g, idx;
    if (!fast::ready(c) || !e.take(field.get(), 1) || !v.take(vectors.get(), 2, 2) || v.rows() != e.rows() ||
        !g.take(reinterpret_cast<CollectionObject*>(c.self)->grad_matrixes, 3, 2) || g.shape(1) != 2 ||
        !idx.take_indices(dist_idxs.get()) || idx.rows() != e.rows())
        return {};
    const Py_ssize_t n = e.rows(), members = g.rows();
    // The output is allocated before any index is read: the allocation can
    // run Python code (a collection) that rewrites the caller-visible index
    // array. Each index is read once and checked where it is used.
    fast::Output out({n, 2});
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
    return watch.clean() ? out.array : Ref();
}

const Method gradient{{"gradient", {"x"}, 1, true}, [](Call& c) {
    Ref self = Ref::borrow(c.self);
    Ref args = tuple(c[0]);
    Ref reference = Ref::own(PyObject_Call(self.attr("squared_dist"_id).get(), args.get(),
                                           with_keyword(c, "return_reference"_id, Py_True).get()));
    Ref dist_idxs = second_of_pair(reference);
    Ref vectors = Ref::own(PyObject_Call(self.attr("repulsion_vector"_id).get(), args.get(),
                                         with_keyword(c, "min_dist_select"_id, Py_True).get()));
    Ref field = call(self.attr("eval"_id).get(), {}, {{"x"_id, c[0]}});
    if (Ref fast = fast_gradient(c, field, dist_idxs, vectors)) return fast;
    Ref value = -field.attr("reshape"_id)(integer(-1), integer(1));
    Ref matrices = get(c.self, &CollectionObject::grad_matrixes)[dist_idxs];
    Ref spec = Ref::own(PyUnicode_FromString("ijk,ik->ij"));
    return value * c.np("einsum"_id)(spec, matrices, vectors);
}, "Gradient of the field value at each query point: -eval(x) * grad_matrix(nearest member) @ v."};

const Method to_rgeojson{{"toRGeoJSON"}, [](Call& c) {
    Ref geometries = per_member(c.self, [](const Ref& m) { return m.attr("toRGeoJSON"_id)()["geometry"_id]; });
    return feature(get(c.self, &RGJObject::properties).get(), Ref::borrow(c.self).attr("RGJType"_id),
                   "geometries"_id, geometries);
}, "The RGeoJSON Feature dictionary: the members' geometry dictionaries under \"geometries\"."};

void collection_exec(PyObject* module) {
    collection_module = module;
    Ref base_module = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref cls = mod::create_class<GeometryCollectionRGJ_spec>(
        module, mod::import_base(base_module, "MultiRGJGeometry"), "GeometryCollectionRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<collection_init, &collection_module>)}});
    mod::import_base(base_module, "RGJGeometry");
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    mod::add(module, "np", np);
    fast::capture_numpy(np.get());

    mod::set_attr(cls, "RGJType"_id, Ref::own(PyUnicode_FromString("GeometryCollection")));
    mod::add_method(module, cls, set_coordinates);
    mod::add_method(module, cls, set_repulsion);
    mod::add_method(module, cls, in_bbox);
    mod::add_method(module, cls, get_dist_matrix, tuple(Py_True, Py_True).get());
    mod::add_method(module, cls, get_center_point);
    mod::add_method(module, cls, squared_dist, tuple(Py_True, Py_True, Py_False).get());
    mod::add_method(module, cls, repulsion_vector, tuple(Py_True).get());
    mod::add_method(module, cls, gradient);
    mod::add_method(module, cls, to_rgeojson);
    mod::add_pickle_methods<GeometryCollectionRGJ_spec>(module, cls);

    mod::add_restore_function<GeometryCollectionRGJ_spec>(module, cls);
    mod::add(module, "__test__", Ref::own(PyDict_New()));
}

}  // namespace

ORVO_FIELD_MODULE(collection, "orvo.field.geometry.collection", "GeometryCollectionRGJ.", collection_exec)
