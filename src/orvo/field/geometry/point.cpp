// orvo.field.geometry.point: PointRGJ and MultiPointRGJ.
//
// PointRGJ adds only its repulsion vector to the base geometry.
// MultiPointRGJ keeps a copy of its points in `bbox` and, per query point,
// picks the member point that is nearest under the distance matrix.
#include "native/fastpath.hpp"
#include "native/layouts.hpp"
#include "native/module.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace orvo::py;
using namespace orvo::geometry;
namespace mod = orvo::module;
namespace fast = orvo::fast;

Ref slice_all() { return Ref::own(PySlice_New(nullptr, nullptr, nullptr)); }

// x - p computed here for a plain float64 point (2,) or (1, 2) and plain query points.
Ref fast_point_vectors(const Call& c) {
    fast::Points x;
    if (!fast::ready(c) || !exactly(c.self, ClassId::Point) || !x.read(c[0])) return {};
    Output out = fast::output({x.size(), 2});
    // The allocation can run Python code: the point is read after it.
    View flat, row;
    PyObject* coordinates = reinterpret_cast<RGJObject*>(c.self)->coordinates;
    const double* p = flat.take(coordinates, 1) && flat.shape(0) == 2     ? flat.data()
                      : row.take(coordinates, 2, 2) && row.rows() == 1 ? row.data()
                                                                        : nullptr;
    if (p == nullptr || !fast::ready(c)) return {};
    const fast::FpWatch watch;
    for (Py_ssize_t i = 0; i < 2 * x.size(); ++i) out.data()[i] = x.data()[i] - p[i % 2];
    return watch.clean() ? std::move(out.array) : Ref();
}

const Method point_repulsion_vector{{"repulsion_vector", {"x"}, 1, true}, [](Call& c) {
    if (Ref fast = fast_point_vectors(c)) return fast;
    Ref X = query_points(c, c[0]);
    Ref p = get(c.self, &RGJObject::coordinates);
    return X - p;
}, "Vector from the point to each query point (x - p), one row per query point."};

// __init__(coordinates, repulsion=None, **kwargs)
const Method multipoint_init{{"__init__", {"coordinates", "repulsion"}, 1, true}, [](Call& c) {
    super_init(c, mod::builtins.super, type_of(ClassId::MultiPoint));
    set(c.self, &RGJObject::bbox, get(c.self, &RGJObject::coordinates).attr("copy"_id)());
    return none();
}};

const Method multipoint_in_bbox{{"in_bbox", {"x"}, 1}, [](Call& c) {
    Ref points = get(c.self, &RGJObject::bbox).attr("reshape"_id)(integer(-1), integer(2));
    if (length(points.get()) == 0) return boolean(false);
    Ref x = float64_array(c, c[0], "asarray"_id);
    Ref low = points.attr("min"_id)(integer(0));
    Ref above = Ref::own(PyObject_RichCompare(x.get(), low.get(), Py_GE));
    Ref high = points.attr("max"_id)(integer(0));
    Ref below = Ref::own(PyObject_RichCompare(x.get(), high.get(), Py_LE));
    return boolean(truth(c.np("all"_id)(above).get()) && truth(c.np("all"_id)(below).get()));
}, "True when every value of x lies within the box of the member points (inclusive)."};

// The multi-point's vectors computed here for plain inputs. The member
// choice ranks d^T M d, which numpy evaluates through a matrix product
// whose rounding (fused or not) is the linear-algebra library's; so a
// choice is taken here only when no rounding of that product could change
// it, and a near tie steps aside to numpy.
Ref fast_multipoint_vectors(const Call& c) {
    PyObject* select = c[1];
    if (!fast::ready(c) || !exactly(c.self, ClassId::MultiPoint) || (select != Py_True && select != Py_False) ||
        !fast::base_dist_matrix(c.self))
        return {};
    auto* o = reinterpret_cast<RGJObject*>(c.self);
    View points;
    fast::Points x;
    double m[4];
    if (!points.take(o->coordinates, 2, 2) || points.rows() == 0 || !x.read(c[0]) || !fast::matrix(o->inv_repulsion, m))
        return {};
    // Nothing below runs Python code until the output is allocated, and
    // after that nothing checked before is read again.
    const Py_ssize_t n = x.size(), k = points.rows();
    const double* p = points.data();
    const fast::FpWatch watch;
    if (select == Py_False) {
        std::vector<double> rows(static_cast<size_t>(2 * n * k));
        double* d = rows.data();
        for (Py_ssize_t j = 0; j < k; ++j)
            for (Py_ssize_t i = 0; i < n; ++i) {
                d[2 * (j * n + i)] = p[2 * j] - x.data()[2 * i];
                d[2 * (j * n + i) + 1] = p[2 * j + 1] - x.data()[2 * i + 1];
            }
        if (!watch.clean()) return {};
        Output out = fast::output({n * k, 2});
        std::copy(rows.begin(), rows.end(), out.data());
        return std::move(out.array);
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
    std::vector<double> rows(static_cast<size_t>(2 * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t j = chosen[static_cast<size_t>(i)];
        rows[static_cast<size_t>(2 * i)] = p[2 * j] - x.data()[2 * i];
        rows[static_cast<size_t>(2 * i + 1)] = p[2 * j + 1] - x.data()[2 * i + 1];
    }
    if (!watch.clean()) return {};
    Output out = fast::output({n, 2});
    std::copy(rows.begin(), rows.end(), out.data());
    return std::move(out.array);
}

const Method multipoint_repulsion_vector{{"repulsion_vector", {"x", "min_dist_select"}, 1, true,
                                         {Default::True}}, [](Call& c) {
    if (Ref fast = fast_multipoint_vectors(c)) return fast;
    Ref x = query_points(c, c[0]);
    Ref n = x.attr("shape"_id)[0];
    Ref all = slice_all();
    Ref members = get(c.self, &RGJObject::coordinates)[tuple(Py_None, all, all)];
    Ref queries = x[tuple(all, Py_None, all)];
    Ref diff = members - queries;
    if (!truth(c[1])) return diff.attr("swapaxes"_id)(integer(0), integer(1)).attr("reshape"_id)(integer(-1), integer(2));
    Ref matrix = dist_metric(c.self);
    Ref adiff = matmul(diff, matrix);
    Ref dist = (adiff * diff).attr("sum"_id)(integer(-1));
    Ref select = dist.attr("argmin"_id)(integer(1));
    Ref rows = c.np("arange"_id)(n);
    return diff[tuple(rows, select)];
}, "Vector from each query point to its nearest member point (min_dist_select), "
   "or to every member point, member-major."};

constexpr const Method* point_methods[] = {&point_repulsion_vector};
constexpr const Method* multipoint_methods[] = {&multipoint_in_bbox, &multipoint_repulsion_vector};

constexpr ClassSpec PointRGJ_spec{
    .name = "orvo.field.geometry.point.PointRGJ", .rgj_type = "Point", .id = ClassId::Point, .base = "RGJGeometry",
    .fields = {}, .inherited = {}, .init = nullptr, .methods = point_methods,
    .checksums = {0x7b2586f, 0x92479d0, 0x53bf6e4}};
constexpr ClassSpec MultiPointRGJ_spec{
    .name = "orvo.field.geometry.point.MultiPointRGJ", .rgj_type = "MultiPoint", .id = ClassId::MultiPoint,
    .base = "MultiRGJGeometry", .fields = {}, .inherited = {}, .init = &multipoint_init,
    .methods = multipoint_methods, .checksums = {0x7b2586f, 0x92479d0, 0x53bf6e4}};

void point_exec(PyObject* module) {
    mod::load_geometry_module<PointRGJ_spec, MultiPointRGJ_spec>(
        module, {.id = ModuleId::Point, .builtins = {"super", "any"}});
}

}  // namespace

ORVO_FIELD_MODULE(point, "orvo.field.geometry.point", "PointRGJ / MultiPointRGJ.", point_exec)
