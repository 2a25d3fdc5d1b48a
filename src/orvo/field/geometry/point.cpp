// orvo.field.geometry.point: PointRGJ and MultiPointRGJ.
//
// PointRGJ adds only its repulsion vector to the base geometry.
// MultiPointRGJ keeps a copy of its points in `bbox` and, per query point,
// picks the member point that is nearest under the distance matrix.
#include "../native/fastpath.hpp"
#include "../native/layouts.hpp"
#include "../native/module.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;

constexpr std::array<Field, 0> no_fields{};
constexpr auto point_members = members_of<no_fields>();

constexpr ClassSpec PointRGJ_spec{"orvo.field.geometry.point.PointRGJ", "__pyx_unpickle_PointRGJ", no_fields,
                                  point_members, {0x7b2586f, 0x92479d0, 0x53bf6e4}, 0};
constexpr ClassSpec MultiPointRGJ_spec{"orvo.field.geometry.point.MultiPointRGJ", "__pyx_unpickle_MultiPointRGJ",
                                       no_fields, point_members, {0x7b2586f, 0x92479d0, 0x53bf6e4}, 0};

// Kept from load time: this module and the builtins `super` and `any`.
PyObject* point_module = nullptr;
struct {
    PyObject* super_ = nullptr;
    PyObject* any_ = nullptr;
} builtins;

Ref slice_all() { return Ref::own(PySlice_New(nullptr, nullptr, nullptr)); }

// np.atleast_2d(x).astype(np.float64): a new float64 array of (x, y) rows.
Ref query_points(const Call& c, PyObject* x) {
    return c.np("atleast_2d"_id)(x).attr("astype"_id)(c.np("float64"_id));
}

// x - p computed here for a plain float64 point (2,) or (1, 2) and plain query points.
Ref fast_point_vectors(const Call& c) {
    if (!fast::ready(c) || Py_TYPE(c.self) != Class<PointRGJ_spec>::type) return {};
    fast::View flat, row;
    PyObject* coordinates = reinterpret_cast<RGJObject*>(c.self)->coordinates;
    const double* p = flat.take(coordinates, 1) && flat.shape(0) == 2          ? flat.data()
                      : row.take(coordinates, 2, 2) && row.rows() == 1 ? row.data()
                                                                        : nullptr;
    fast::Points x;
    if (p == nullptr || !x.read(c[0])) return {};
    fast::Output out({x.size(), 2});
    const fast::FpWatch watch;
    for (Py_ssize_t i = 0; i < 2 * x.size(); ++i) out.data()[i] = x.data()[i] - p[i % 2];
    return watch.clean() ? out.array : Ref();
}

const Method point_repulsion_vector{{"repulsion_vector", {"x"}, 1, true}, [](Call& c) {
    if (Ref fast = fast_point_vectors(c)) return fast;
    Ref X = query_points(c, c[0]);
    return X - get(c.self, &RGJObject::coordinates);
}, "Vector from the point to each query point (x - p), one row per query point."};

// __init__(coordinates, repulsion=None, **kwargs)
const Method multipoint_init{{"__init__", {"coordinates", "repulsion"}, 1, true}, [](Call& c) {
    super_init(c, builtins.super_, Class<MultiPointRGJ_spec>::type);
    set(c.self, &RGJObject::bbox, get(c.self, &RGJObject::coordinates).attr("copy"_id)());
    return none();
}};

const Method multipoint_in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref points = get(c.self, &RGJObject::bbox).attr("reshape"_id)(integer(-1), integer(2));
    if (length(points.get()) == 0) return boolean(false);
    Ref x = call(c.np("asarray"_id).get(), {c[0]}, {{"dtype"_id, c.np("float64"_id).get()}});
    Ref above = Ref::own(PyObject_RichCompare(x.get(), points.attr("min"_id)(integer(0)).get(), Py_GE));
    Ref below = Ref::own(PyObject_RichCompare(x.get(), points.attr("max"_id)(integer(0)).get(), Py_LE));
    return boolean(truth(c.np("all"_id)(above).get()) && truth(c.np("all"_id)(below).get()));
}, "True when every value of x lies within the box of the member points (inclusive)."};

// The multi-point's vectors computed here for plain inputs. The member
// choice ranks d^T M d, which numpy evaluates through a matrix product
// whose rounding (fused or not) is the linear-algebra library's; so a
// choice is taken here only when no rounding of that product could change
// it, and a near tie steps aside to numpy.
Ref fast_multipoint_vectors(const Call& c) {
    PyObject* select = c[1];
    if (!fast::ready(c) || Py_TYPE(c.self) != Class<MultiPointRGJ_spec>::type ||
        (select != Py_True && select != Py_False) || !fast::base_dist_matrix(c.self))
        return {};
    auto* o = reinterpret_cast<RGJObject*>(c.self);
    fast::View points;
    fast::Points x;
    double m[4];
    if (!points.take(o->coordinates, 2, 2) || points.rows() == 0 || !x.read(c[0]) || !fast::matrix(o->inv_repulsion, m))
        return {};
    const Py_ssize_t n = x.size(), k = points.rows();
    const double* p = points.data();
    const fast::FpWatch watch;
    if (select == Py_False) {
        fast::Output out({n * k, 2});
        for (Py_ssize_t j = 0; j < k; ++j)
            for (Py_ssize_t i = 0; i < n; ++i) {
                out.data()[2 * (j * n + i)] = p[2 * j] - x.data()[2 * i];
                out.data()[2 * (j * n + i) + 1] = p[2 * j + 1] - x.data()[2 * i + 1];
            }
        return watch.clean() ? out.array : Ref();
    }
    constexpr double kRounding = 16.0 * std::numeric_limits<double>::epsilon();
    std::vector<Py_ssize_t> chosen(static_cast<size_t>(n));
    std::vector<double> q(static_cast<size_t>(k)), err(static_cast<size_t>(k));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t best = 0;
        for (Py_ssize_t j = 0; j < k; ++j) {
            const double dx = p[2 * j] - x.data()[2 * i], dy = p[2 * j + 1] - x.data()[2 * i + 1];
            const double ax = dx * m[0] + dy * m[2], ay = dx * m[1] + dy * m[3];
            q[static_cast<size_t>(j)] = ax * dx + ay * dy;
            err[static_cast<size_t>(j)] = kRounding * (std::fabs(dx) * (std::fabs(dx * m[0]) + std::fabs(dy * m[2])) +
                                                       std::fabs(dy) * (std::fabs(dx * m[1]) + std::fabs(dy * m[3])));
            if (!std::isfinite(q[static_cast<size_t>(j)])) return {};
            if (q[static_cast<size_t>(j)] < q[static_cast<size_t>(best)]) best = j;
        }
        // Every other member must lose by more than both roundings together.
        for (Py_ssize_t j = 0; j < k; ++j)
            if (j != best && q[static_cast<size_t>(j)] - q[static_cast<size_t>(best)] <=
                                 err[static_cast<size_t>(j)] + err[static_cast<size_t>(best)])
                return {};
        chosen[static_cast<size_t>(i)] = best;
    }
    fast::Output out({n, 2});
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t j = chosen[static_cast<size_t>(i)];
        out.data()[2 * i] = p[2 * j] - x.data()[2 * i];
        out.data()[2 * i + 1] = p[2 * j + 1] - x.data()[2 * i + 1];
    }
    return watch.clean() ? out.array : Ref();
}

const Method multipoint_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true}, [](Call& c) {
    if (Ref fast = fast_multipoint_vectors(c)) return fast;
    Ref x = query_points(c, c[0]);
    Ref n = x.attr("shape"_id)[0];
    Ref all = slice_all();
    Ref diff = get(c.self, &RGJObject::coordinates)[tuple(Py_None, all, all)] - x[tuple(all, Py_None, all)];
    if (!truth(c[1])) return diff.attr("swapaxes"_id)(integer(0), integer(1)).attr("reshape"_id)(integer(-1), integer(2));
    Ref matrix = call(Ref::borrow(c.self).attr("get_dist_matrix"_id).get(), {},
                      {{"scaled"_id, Py_True}, {"inverted"_id, Py_True}});
    Ref adiff = matmul(diff, matrix);
    Ref dist = (adiff * diff).attr("sum"_id)(integer(-1));
    Ref select = dist.attr("argmin"_id)(integer(1));
    return diff[tuple(c.np("arange"_id)(n), select)];
}, "Vector from each query point to its nearest member point (min_dist_select), "
   "or to every member point, member-major."};

void point_exec(PyObject* module) {
    point_module = module;
    builtins.super_ = mod::builtin("super"_id).release();
    builtins.any_ = mod::builtin("any"_id).release();
    Ref base_module = Ref::own(PyImport_ImportModule("orvo.field.geometry.base"));
    Ref base = mod::import_base(base_module, "RGJGeometry");
    fast::capture_base(base.get());
    Ref point = mod::create_class<PointRGJ_spec>(module, base, "PointRGJ", {});
    Ref multi = mod::create_class<MultiPointRGJ_spec>(
        module, mod::import_base(base_module, "MultiRGJGeometry"), "MultiPointRGJ",
        {{Py_tp_init, reinterpret_cast<void*>(init_slot<multipoint_init, &point_module>)}});
    Ref np = Ref::own(PyImport_ImportModule("numpy"));
    mod::add(module, "np", np);
    fast::capture_numpy(np.get());

    mod::set_attr(point, "RGJType"_id, Ref::own(PyUnicode_FromString("Point")));
    mod::add_method(module, point, point_repulsion_vector);
    mod::add_pickle_methods<PointRGJ_spec>(module, point);

    mod::set_attr(multi, "RGJType"_id, Ref::own(PyUnicode_FromString("MultiPoint")));
    mod::add_method(module, multi, multipoint_in_bbox);
    mod::add_method(module, multi, multipoint_repulsion_vector, tuple(Py_True).get());
    mod::add_pickle_methods<MultiPointRGJ_spec>(module, multi);

    join_registry(ModuleId::Point, module);
    register_class(ClassId::Point, point.get());
    register_class(ClassId::MultiPoint, multi.get());

    mod::add_restore_function<PointRGJ_spec>(module, point);
    mod::add_restore_function<MultiPointRGJ_spec>(module, multi);
    mod::add(module, "__test__", Ref::own(PyDict_New()));
}

}  // namespace

ORVO_FIELD_MODULE(point, "orvo.field.geometry.point", "PointRGJ / MultiPointRGJ.", point_exec)
