// Fast paths: computing a method's result directly, for the common case,
// instead of through a dozen numpy calls.
//
// A fast path must be observationally identical to the numpy steps it
// replaces: the same values bit for bit, the same dtype and shape, the same
// calls that anyone could see. So it runs only when everything it would
// otherwise call is known: the module global `np` (and `kernels`) is the
// module captured at load, the instance is of the exact class, inherited
// methods are the ones the class was built with, the fields hold plain
// float64 arrays, and the query points are a float64 array or a plain list
// of numbers. It decides all of that before it does anything visible; in
// every other case it steps aside and the stated numpy steps run.
// ORVO_FIELD_NO_FASTPATH=1 switches all fast paths off.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "native/buffer.hpp"
#include "native/function.hpp"

namespace orvo::fast {

using namespace orvo::py;

// What this module captured at load.
struct Captured {
    bool enabled = false;
    PyObject* np = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* intp = nullptr;
    PyObject* get_dist_matrix = nullptr;  // the base type's, as classes inherit it
    PyObject* kernels = nullptr;
    PyObject* segment_kernel = nullptr;
    PyObject* rings_kernel = nullptr;
};
inline Captured captured;

inline void capture_numpy(PyObject* np) {
    const char* off = std::getenv("ORVO_FIELD_NO_FASTPATH");
    captured.enabled = !(off && *off && std::strcmp(off, "0") != 0);
    captured.np = Py_NewRef(np);
    captured.empty = check(PyObject_GetAttrString(np, "empty"));
    captured.float64 = check(PyObject_GetAttrString(np, "float64"));
    captured.intp = check(PyObject_GetAttrString(np, "intp"));
    capture_ndarray(np);
}

// Keeps the base type's get_dist_matrix to recognise it on instances.
inline void capture_base(PyObject* base_type) {
    captured.get_dist_matrix = Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(base_type), "get_dist_matrix"_id));
}

inline void capture_kernels(PyObject* kernels) {
    captured.kernels = Py_NewRef(kernels);
    captured.segment_kernel = check(PyObject_GetAttrString(kernels, "segment_repulsion_vectors"));
    captured.rings_kernel = check(PyObject_GetAttrString(kernels, "point_in_rings"));
}

// Fast paths are on and `np` is the numpy module captured at load.
inline bool ready(const Call& c) {
    return captured.enabled && find_global(PyModule_GetDict(c.module), "np"_id) == captured.np;
}

// The object `name` resolves to on the type, or NULL.
inline PyObject* type_attr(PyObject* self, PyObject* name) { return _PyType_Lookup(Py_TYPE(self), name); }

// `self.get_dist_matrix` is the base type's method: the class inherits it
// and the instance has no __dict__ that could shadow it.
inline bool base_dist_matrix(PyObject* self) {
    return Py_TYPE(self)->tp_dictoffset == 0 && type_attr(self, "get_dist_matrix"_id) == captured.get_dist_matrix;
}

// `kernels.<name>` as the module would look it up is the kernel function
// captured at load.
inline bool kernel_ready(const Call& c, PyObject* name, PyObject* function) {
    PyObject* k = find_global(PyModule_GetDict(c.module), "kernels"_id);
    return k == captured.kernels && k != nullptr && dict_item(PyModule_GetDict(k), name) == function;
}

// Watches the floating-point exception flags over arithmetic that stands
// for numpy operations. numpy reports overflow, invalid operations and the
// like as warnings or errors, as np.seterr says; a fast path whose
// arithmetic raised any of them steps aside so that numpy runs and reports.
class FpWatch {
public:
    FpWatch() { std::feclearexcept(FE_ALL_EXCEPT); }
    bool clean() const { return !std::fetestexcept(FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO | FE_UNDERFLOW); }
};

// New float64 and index arrays from the captured np.empty.
inline Output output(std::initializer_list<Py_ssize_t> shape) {
    return Output(captured.empty, captured.float64, Item::Float64, shape);
}
inline Output index_output(std::initializer_list<Py_ssize_t> shape) {
    return Output(captured.empty, captured.intp, Item::Int, shape);
}

// Query points read the way np.atleast_2d(x).astype(np.float64) reads
// them, for the inputs where that is exact and cheap: a float64 array of
// shape (2,) or (n, 2), or a list or tuple holding one (x, y) pair or a
// list of pairs, whose numbers are Python floats or ints within int64.
class Points {
public:
    static constexpr Py_ssize_t kMax = 256;  // beyond this the numpy overhead no longer matters

    bool read(PyObject* x) {
        if (Py_TYPE(x) == View::ndarray) {
            // A View keeps what it took even when it refuses it, so each
            // attempt gets its own.
            if (pair_.take(x, 1)) {
                n_ = 1;
                data_ = pair_.data();
                return pair_.shape(0) == 2;
            }
            if (!rows_.take(x, 2, 2)) return false;
            n_ = rows_.rows();
            data_ = rows_.data();
            return n_ > 0 && n_ <= kMax;
        }
        if (!PyList_CheckExact(x) && !PyTuple_CheckExact(x)) return false;
        const Py_ssize_t len = PySequence_Fast_GET_SIZE(x);
        PyObject** items = PySequence_Fast_ITEMS(x);
        if (len == 2 && number(items[0], store_[0]) && number(items[1], store_[1])) {
            n_ = 1;
            data_ = store_.data();
            return true;
        }
        if (len == 0 || len > kMax) return false;
        store_.resize(static_cast<size_t>(2 * len));
        for (Py_ssize_t i = 0; i < len; ++i) {
            PyObject* p = items[i];
            if ((!PyList_CheckExact(p) && !PyTuple_CheckExact(p)) || PySequence_Fast_GET_SIZE(p) != 2) return false;
            PyObject** xy = PySequence_Fast_ITEMS(p);
            if (!number(xy[0], store_[2 * i]) || !number(xy[1], store_[2 * i + 1])) return false;
        }
        n_ = len;
        data_ = store_.data();
        return true;
    }

    Py_ssize_t size() const { return n_; }
    const double* data() const { return data_; }

private:
    static bool number(PyObject* o, double& out) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (!PyLong_CheckExact(o)) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        out = static_cast<double>(v);
        return true;
    }

    View pair_, rows_;
    std::vector<double> store_ = std::vector<double>(2);
    const double* data_ = nullptr;
    Py_ssize_t n_ = 0;
};

// A field holding an exact float64 (2, 2) array, read as four numbers.
inline bool matrix(PyObject* o, double (&m)[4]) {
    if (View::direct) {
        if (Py_TYPE(o) != View::ndarray) return false;
        const numpy_abi::Array* a = View::peek(o, Item::Float64, false);
        if (a == nullptr || a->nd != 2 || a->dimensions[0] != 2 || a->dimensions[1] != 2) return false;
        const double* d = reinterpret_cast<const double*>(a->data);
        m[0] = d[0], m[1] = d[1], m[2] = d[2], m[3] = d[3];
        return true;
    }
    View v;
    if (!v.take(o, 2, 2) || v.rows() != 2) return false;
    std::copy(v.data(), v.data() + 4, m);
    return true;
}

// The same for a metric handed to the segment kernel, which refuses a
// non-finite one: such a metric steps aside so that the kernel raises.
inline bool kernel_metric(PyObject* o, double (&m)[4]) {
    return matrix(o, m) && std::all_of(m, m + 4, [](double v) { return std::isfinite(v); });
}

// No vertex of the ring is NaN, which the inside-test kernel refuses.
inline bool ordered(const View& ring) {
    return std::none_of(ring.data(), ring.data() + 2 * ring.rows(), [](double v) { return std::isnan(v); });
}

}  // namespace orvo::fast
