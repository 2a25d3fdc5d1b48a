// orvo.field.kernels: the per-point segment work of the line and polygon
// geometries.
//
// The loops run over contiguous float64 buffers without the interpreter
// lock. Arguments are validated and converted while the lock is held; an
// input that already is a C-contiguous float64 array is used in place.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/engine.hpp"
#include "native/buffer.hpp"
#include "native/module.hpp"
#include "native/parallel.hpp"

namespace {

using namespace orvo::py;
using namespace orvo::kernels;
namespace mod = orvo::module;

// ---------------------------------------------------------------------------
// Argument handling.

// Re-raises the pending ValueError or TypeError with the argument's name
// in front of its message, chained to the original.
[[noreturn]] void reraise_naming(const std::string& name) {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref held_type = Ref::borrow(type), held_value = Ref::borrow(value);
        PyErr_Restore(type, value, traceback);
        _PyErr_FormatFromCause(held_type.get(), "%s: %S", name.c_str(), held_value.get());
    }
    raise();
}

// A C-contiguous float64 view of an argument with `ndim` dimensions (and
// `cols` columns, any number when negative, or a fixed `rows` x `cols`
// shape), converted through numpy
// only when the object is not such an array already. An empty input is
// taken as zero rows.
class Array {
public:
    Array(const Call& c, PyObject* obj, std::string name, int ndim, Py_ssize_t cols, Py_ssize_t rows = -1)
        : name_(std::move(name)) {
        if (!view_.take_any(obj, Item::Float64)) {
            try {
                // np.array copies, so the result is aligned even when `obj`
                // is an unaligned float64 array that np.asarray would return.
                Ref array = c.np("array"_id);
                Ref f64 = c.np("float64"_id);
                held_ = call(array.get(), {obj}, {{"dtype"_id, f64.get()}, {"order"_id, "C"_id}});
            } catch (const Error&) {
                reraise_naming(name_);
            }
            if (!view_.take_any(held_.get(), Item::Float64))
                raise(PyExc_TypeError, "%s could not be read as a float64 array", name_.c_str());
        }
        const View& v = view_;
        empty_ = v.items() == 0 && rows < 0;
        if (empty_) return;
        if (v.ndim() == ndim && (ndim == 1 || cols < 0 || v.shape(1) == cols) && (rows < 0 || v.shape(0) == rows))
            return;
        Ref shape = v.shape_tuple();
        if (rows >= 0)
            raise(PyExc_ValueError, "%s must have shape (%zd, %zd), got shape %R", name_.c_str(), rows, cols,
                  shape.get());
        if (ndim == 2 && cols < 0)
            raise(PyExc_ValueError, "%s must be two-dimensional, got shape %R", name_.c_str(), shape.get());
        if (ndim == 2)
            raise(PyExc_ValueError, "%s must have shape (n, %zd), got shape %R", name_.c_str(), cols, shape.get());
        raise(PyExc_ValueError, "%s must be one-dimensional, got shape %R", name_.c_str(), shape.get());
    }

    Py_ssize_t rows() const { return empty_ ? 0 : view_.shape(0); }
    Py_ssize_t cols() const { return empty_ || view_.ndim() < 2 ? 0 : view_.shape(1); }
    const double* data() const { return view_.data(); }
    const char* name() const { return name_.c_str(); }

    // Refuses a NaN vertex: a ring through it has no inside, and the
    // crossing rule would answer for it silently.
    void require_ordered() const {
        const Py_ssize_t count = empty_ ? 0 : view_.items();
        const double* d = data();
        for (Py_ssize_t i = 0; i < count; ++i)
            if (std::isnan(d[i])) raise(PyExc_ValueError, "%s must not hold NaN (vertex %zd)", name_.c_str(), i / 2);
    }

private:
    std::string name_;
    Ref held_;  // the converted array, when a conversion was needed
    View view_;
    bool empty_ = false;
};

// np.empty(shape, dtype) for the kernel's answer, checked (np is a module
// global that anyone can replace).
Output output(const Call& c, PyObject* dtype, Item item, std::initializer_list<Py_ssize_t> shape) {
    Ref empty = c.np("empty"_id);
    return Output(empty.get(), dtype, item, shape);
}

// Plans a kernel without the interpreter lock: it is plain C++ over the
// argument buffers. Allocation failures come back as MemoryError.
template <class Plan, class... Args>
std::optional<Plan> plan_unlocked(const Args&... args) {
    std::optional<Plan> plan;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        plan.emplace(args...);
    } catch (...) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) PyErr_NoMemory();
    return plan;
}

// Plans and runs a kernel over the n query points x without the
// interpreter lock; false when it failed or a signal interrupted it (the
// Python error is set).
template <class Plan, class Out, class... Args>
bool solve(const double* x, Py_ssize_t n, Out* out, const Args&... args) {
    const std::optional<Plan> plan = plan_unlocked<Plan>(args..., static_cast<std::ptrdiff_t>(n));
    return plan && parallel_for(n, plan->work(n), [&](Py_ssize_t begin, Py_ssize_t end) { plan->run(x, begin, end, out); });
}

[[noreturn]] void mismatch(const Array& a, const Array& b) {
    raise(PyExc_ValueError, "%s and %s must have the same number of rows (%zd != %zd)", a.name(), b.name(),
          a.rows(), b.rows());
}

// segment_repulsion_vectors(x, p1, v, vdv, metric)
const Method segment_repulsion_vectors{
    {"segment_repulsion_vectors", {"x", "p1", "v", "vdv", "metric"}, 5},
    [](Call& c) {
        Array x(c, c[0], "x", 2, 2), p1(c, c[1], "p1", 2, 2), v(c, c[2], "v", 2, 2), vdv(c, c[3], "vdv", 1, 0);
        Array metric(c, c[4], "metric", 2, 2, 2);
        if (p1.rows() == 0) raise(PyExc_ValueError, "p1 must hold at least one segment");
        if (v.rows() != p1.rows()) mismatch(p1, v);
        if (vdv.rows() != p1.rows()) mismatch(p1, vdv);
        const double* md = metric.data();
        const Metric m{md[0], md[1], md[2], md[3]};
        // A non-finite metric ranks every segment alike; refuse it. The
        // copy is checked, so later writes to the argument cannot slip past.
        for (const double value : {m.m00, m.m01, m.m10, m.m11})
            if (!std::isfinite(value))
                raise(PyExc_ValueError, "metric must hold finite numbers, got %R", number(value).get());
        const Segments g{p1.data(), v.data(), vdv.data(), p1.rows()};
        Ref f64 = c.np("float64"_id);
        Output out = output(c, f64.get(), Item::Float64, {x.rows(), 2});
        if (!solve<SegmentPlan>(x.data(), x.rows(), out.data(), g, m)) raise();
        return std::move(out.array);
    },
    "segment_repulsion_vectors(x, p1, v, vdv, metric)\n\n"
    "For each query point (row of x), the vector from the nearest point of the segment whose\n"
    "difference d has the smallest d^T metric d (ties to the lowest segment index) to the point.\n"
    "Segment s starts at p1[s], has vector v[s] and squared length vdv[s] (> 0).\n"
    "Returns an (N, 2) float64 array."};

// point_in_rings(x, outer, holes)
const Method point_in_rings{
    {"point_in_rings", {"x", "outer", "holes"}, 3},
    [](Call& c) {
        Array x(c, c[0], "x", 2, 2), outer(c, c[1], "outer", 2, 2);
        outer.require_ordered();
        if (!PyList_Check(c[2]) && !PyTuple_Check(c[2]))
            raise(PyExc_TypeError, "holes must be a list or tuple of rings, not %.200s", Py_TYPE(c[2])->tp_name);
        Ref holes_seq = items_of(c[2]);
        std::deque<Array> holes;  // views stay where they are built
        std::vector<Ring> rings;
        for (Py_ssize_t h = 0; h < PyTuple_GET_SIZE(holes_seq.get()); ++h) {
            holes.emplace_back(c, PyTuple_GET_ITEM(holes_seq.get(), h), "holes[" + std::to_string(h) + "]", 2, 2);
            holes.back().require_ordered();
            rings.push_back({holes.back().data(), holes.back().rows()});
        }
        Output out = output(c, reinterpret_cast<PyObject*>(&PyBool_Type), Item::Bool, {x.rows()});
        if (!solve<RingPlan>(x.data(), x.rows(), out.data<bool>(), Ring{outer.data(), outer.rows()}, rings)) raise();
        return std::move(out.array);
    },
    "point_in_rings(x, outer, holes)\n\n"
    "For each query point (row of x), True when it lies inside the ring `outer` and inside no\n"
    "ring of `holes` (a list or tuple of rings), by the even-odd rule. Rings are (k, 2) vertex\n"
    "arrays; one of fewer than three vertices contains nothing. Returns an (N,) bool array."};

// A (row, column) pair as a cell index of a rows x cols raster.
std::int64_t cell_index(const Call& c, PyObject* obj, const char* name, Py_ssize_t rows, Py_ssize_t cols) {
    Array pair(c, obj, name, 1, 0, 2);
    const double r = pair.data()[0], col = pair.data()[1];
    if (!(r >= 0 && r < static_cast<double>(rows) && col >= 0 && col < static_cast<double>(cols)) ||
        r != std::floor(r) || col != std::floor(col))
        raise(PyExc_ValueError, "%s must be a (row, column) pair of whole numbers inside the (%zd, %zd) raster, got %R",
              name, rows, cols, obj);
    return static_cast<std::int64_t>(r) * cols + static_cast<std::int64_t>(col);
}

// grid_path(cost, start, goal)
const Method grid_path{
    {"grid_path", {"cost", "start", "goal"}, 3},
    [](Call& c) {
        Array cost(c, c[0], "cost", 2, -1);
        if (cost.rows() == 0 || cost.cols() == 0) raise(PyExc_ValueError, "cost must hold at least one cell");
        const CostGrid grid{cost.data(), cost.rows(), cost.cols()};
        const std::int64_t start = cell_index(c, c[1], "start", cost.rows(), cost.cols());
        const std::int64_t goal = cell_index(c, c[2], "goal", cost.rows(), cost.cols());
        std::vector<std::int64_t> cells;
        bool failed = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            cells = least_cost_path(grid, start, goal);
        } catch (...) {
            failed = true;
        }
        Py_END_ALLOW_THREADS
        if (failed) raise(PyExc_MemoryError, "grid_path: out of memory");
        const auto count = static_cast<Py_ssize_t>(cells.size());
        Ref int64 = c.np("int64"_id);
        Output out = output(c, int64.get(), Item::Int, {count});
        std::copy(cells.begin(), cells.end(), out.data<std::int64_t>());
        return std::move(out.array);
    },
    "grid_path(cost, start, goal)\n\n"
    "The least-cost 8-connected path of cells from start to goal ((row, column) pairs) over the\n"
    "2-D raster `cost`: the cost per unit length of each cell, a cell blocked where it is not a\n"
    "positive finite number. A step costs its length (1, or sqrt 2 diagonally) times the mean\n"
    "cost of its two cells; a diagonal step needs both cells beside it open. Returns the (K,)\n"
    "int64 flat cell indices (row * columns + column) from start to goal, or an empty array\n"
    "when no path exists (or start or goal is blocked)."};

void kernels_exec(PyObject* module) {
    mod::add(module, "np", Ref::own(PyImport_ImportModule("numpy")));
    for (const Method* m : {&segment_repulsion_vectors, &point_in_rings, &grid_path})
        mod::add(module, m->sig.name, make_function(module, *m, nullptr));
}

}  // namespace

ORVO_FIELD_MODULE(kernels, "orvo.field.kernels", "Per-point segment kernels of the line and polygon geometries.",
                  kernels_exec)
