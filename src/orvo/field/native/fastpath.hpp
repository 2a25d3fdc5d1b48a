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

#include "function.hpp"

namespace orvo::fast {

using namespace orvo::py;

// What this module captured at load.
struct Captured {
    bool enabled = false;
    PyObject* np = nullptr;
    PyTypeObject* ndarray = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* intp = nullptr;
    PyObject* get_dist_matrix = nullptr;  // the base type's, as classes inherit it
    PyObject* kernels = nullptr;
    PyObject* segment_kernel = nullptr;
    PyObject* rings_kernel = nullptr;
};
inline Captured captured;

inline void verify_views();

inline void capture_numpy(PyObject* np) {
    const char* off = std::getenv("ORVO_FIELD_NO_FASTPATH");
    captured.enabled = !(off && *off && std::strcmp(off, "0") != 0);
    captured.np = Py_NewRef(np);
    captured.ndarray = reinterpret_cast<PyTypeObject*>(PyObject_GetAttrString(np, "ndarray"));
    captured.empty = PyObject_GetAttrString(np, "empty");
    captured.float64 = PyObject_GetAttrString(np, "float64");
    captured.intp = PyObject_GetAttrString(np, "intp");
    if (!captured.ndarray || !captured.empty || !captured.float64 || !captured.intp) raise();
    verify_views();
}

// Keeps the base type's get_dist_matrix to recognise it on instances.
inline void capture_base(PyObject* base_type) {
    captured.get_dist_matrix = Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(base_type), "get_dist_matrix"_id));
}

inline void capture_kernels(PyObject* kernels) {
    captured.kernels = Py_NewRef(kernels);
    captured.segment_kernel = PyObject_GetAttrString(kernels, "segment_repulsion_vectors");
    captured.rings_kernel = PyObject_GetAttrString(kernels, "point_in_rings");
    if (!captured.segment_kernel || !captured.rings_kernel) raise();
}

// The module global `name` as a name lookup in the module would find it,
// or NULL (and no error) when it is absent.
inline PyObject* module_global(const Call& c, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(c.module), name);
    if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (v == nullptr) PyErr_Clear();
    return v;
}

// Fast paths are on and `np` is the numpy module captured at load.
inline bool ready(const Call& c) { return captured.enabled && module_global(c, "np"_id) == captured.np; }

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
    PyObject* k = module_global(c, "kernels"_id);
    if (k != captured.kernels || k == nullptr) return false;
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(k), name);
    if (f == nullptr) PyErr_Clear();
    return f == function;
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

// numpy's array and dtype objects as its C API lays them out. Extension
// modules compiled against any numpy since 1.7 read these leading fields
// directly, so numpy keeps them where they are; `verify_layout` still
// checks them against the buffer protocol at load and, should they ever
// differ, views fall back to buffer exports. Reading the fields costs a
// few loads where an export builds a format string and allocates, which
// is most of a one-point query on a scene of many members.
namespace numpy_abi {
struct Array {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
struct Descr {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
};
constexpr int c_contiguous = 0x0001, aligned = 0x0100, writeable = 0x0400;
constexpr int type_long = 7, type_longlong = 9, type_double = 12;
}  // namespace numpy_abi

// A C-contiguous, aligned float64 (or intp) view of an exact numpy array.
// It holds a reference to the array, which keeps its memory alive.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (exported_) PyBuffer_Release(&b_);
    }
    // Takes `o` when it is an exact ndarray of native float64 with `ndim`
    // dimensions and, where given, `cols` columns.
    bool take(PyObject* o, int ndim, Py_ssize_t cols = -1, bool writable = false) {
        return acquire(o, writable, false) && ndim_ == ndim && (cols < 0 || (ndim >= 2 && shape_[ndim - 1] == cols));
    }
    // Takes `o` when it is an exact one-dimensional ndarray of native intp.
    bool take_indices(PyObject* o) { return acquire(o, false, true) && ndim_ == 1; }
    Py_ssize_t shape(int i) const { return shape_[static_cast<size_t>(i)]; }
    Py_ssize_t rows() const { return shape_[0]; }
    const double* data() const { return static_cast<const double*>(data_); }
    double* mutable_data() const { return static_cast<double*>(data_); }
    // Anyone may write into the array meanwhile: read each index once.
    const volatile Py_ssize_t* indices() const { return static_cast<const volatile Py_ssize_t*>(data_); }

    // The fields of exact ndarray `o` when it is C-contiguous, aligned,
    // native float64 (or intp) and, if asked, writable; else null. Valid
    // only until Python code next runs. Needs `direct`.
    static const numpy_abi::Array* peek(PyObject* o, bool writable, bool index) {
        const auto* a = reinterpret_cast<const numpy_abi::Array*>(o);
        const auto* d = reinterpret_cast<const numpy_abi::Descr*>(a->descr);
        const int need = numpy_abi::c_contiguous | numpy_abi::aligned | (writable ? numpy_abi::writeable : 0);
        const bool native = d->byteorder == '=' || (d->byteorder == '<' && std::endian::native == std::endian::little);
        const bool typed = index ? (d->type_num == numpy_abi::type_longlong ||
                                    (d->type_num == numpy_abi::type_long && sizeof(long) == sizeof(Py_ssize_t)))
                                 : d->type_num == numpy_abi::type_double;
        return (a->flags & need) == need && native && typed ? a : nullptr;
    }

    // Whether the direct reading of arrays agrees with buffer exports of
    // `probes` (arrays of every kind a view tells apart).
    static bool verify_layout(PyObject* probes);
    static inline bool direct = false;

private:
    static constexpr int kMaxDims = 4;

    // An unaligned buffer (numpy allows them, e.g. over unpickled bytes) is
    // refused: the caller then takes the numpy steps, which handle it.
    bool acquire(PyObject* o, bool writable, bool index) {
        if (Py_TYPE(o) != captured.ndarray) return false;
        return direct ? read_fields(o, writable, index) : export_buffer(o, writable, index);
    }

    bool read_fields(PyObject* o, bool writable, bool index) {
        const numpy_abi::Array* a = peek(o, writable, index);
        if (a == nullptr || a->nd > kMaxDims) return false;
        held_ = Ref::borrow(o);
        data_ = a->data;
        ndim_ = a->nd;
        for (int i = 0; i < a->nd; ++i) shape_[static_cast<size_t>(i)] = a->dimensions[i];
        return true;
    }

    bool export_buffer(PyObject* o, bool writable, bool index) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o, &b_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        exported_ = true;
        const std::string_view f = b_.format ? b_.format : "B";
        const bool typed = index ? b_.itemsize == sizeof(Py_ssize_t) && (f == "l" || f == "q" || f == "<q" || f == "=q")
                                 : b_.itemsize == 8 && (f == "d" || f == "<d" || f == "=d");
        if (!typed || b_.ndim > kMaxDims || reinterpret_cast<std::uintptr_t>(b_.buf) % alignof(double) != 0)
            return false;
        data_ = b_.buf;
        ndim_ = b_.ndim;
        for (int i = 0; i < b_.ndim; ++i) shape_[static_cast<size_t>(i)] = b_.shape[i];
        return true;
    }

    Ref held_;
    Py_buffer b_{};
    bool exported_ = false;
    void* data_ = nullptr;
    int ndim_ = -1;
    std::array<Py_ssize_t, kMaxDims> shape_{};
};

inline bool View::verify_layout(PyObject* probes) {
    if (!PyList_CheckExact(probes)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(probes); ++i) {
        PyObject* o = PyList_GET_ITEM(probes, i);
        if (Py_TYPE(o) != captured.ndarray) return false;
        for (const bool index : {false, true})
            for (const bool writable : {false, true}) {
                View by_fields, by_export;
                const bool a = by_fields.read_fields(o, writable, index);
                const bool b = by_export.export_buffer(o, writable, index);
                if (a != b || (a && (by_fields.data_ != by_export.data_ || by_fields.ndim_ != by_export.ndim_ ||
                                     by_fields.shape_ != by_export.shape_)))
                    return false;
            }
    }
    return true;
}

// Arrays of every kind a view tells apart: float64 in and out of C order,
// sliced, byte-swapped, unaligned, read-only, of other types and ranks.
inline constexpr const char* kLayoutProbes =
    "(lambda a: [a, a.T, a[:, :1], a[::2], a.astype('>f8'), a.astype(np.float32), np.frombuffer(bytes(17), offset=1),"
    " np.frombuffer(bytes(16)), np.arange(3), np.arange(3, dtype=np.int32), np.arange(3).astype('>i8'),"
    " np.arange(8.0).reshape(2, 2, 2), np.empty((0, 2)), np.zeros(())])(np.arange(6.0).reshape(3, 2))";

// Turns on direct reading of arrays when it agrees with buffer exports.
inline void verify_views() {
    View::direct = false;
    Ref globals = Ref::own(PyDict_New());
    if (PyDict_SetItemString(globals.get(), "np", captured.np) < 0) raise();
    PyObject* probes = PyRun_String(kLayoutProbes, Py_eval_input, globals.get(), globals.get());
    if (probes == nullptr) raise();
    View::direct = View::verify_layout(Ref::own(probes).get());
}

// A new float64 (or intp) array from the captured np.empty, with a
// writable view of it.
struct Output {
    Ref array;
    View view;
    Output(std::initializer_list<Py_ssize_t> shape, bool index = false) {
        Ref dims = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
        Py_ssize_t k = 0;
        for (Py_ssize_t d : shape) PyTuple_SET_ITEM(dims.get(), k++, integer(d).release());
        array = Ref::borrow(captured.empty)(dims, Ref::borrow(index ? captured.intp : captured.float64));
        if (index) {
            Py_buffer b;
            check(PyObject_GetBuffer(array.get(), &b, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
            index_data = static_cast<Py_ssize_t*>(b.buf);
            PyBuffer_Release(&b);  // the array keeps its memory; `array` keeps the array
        } else if (!view.take(array.get(), static_cast<int>(shape.size()), -1, true)) {
            raise(PyExc_SystemError, "np.empty returned an unexpected array");
        }
    }
    double* data() const { return view.mutable_data(); }
    Py_ssize_t* index_data = nullptr;
};

// Query points read the way np.atleast_2d(x).astype(np.float64) reads
// them, for the inputs where that is exact and cheap: a float64 array of
// shape (2,) or (n, 2), or a list or tuple holding one (x, y) pair or a
// list of pairs, whose numbers are Python floats or ints within int64.
class Points {
public:
    static constexpr Py_ssize_t kMax = 256;  // beyond this the numpy overhead no longer matters

    bool read(PyObject* x) {
        if (Py_TYPE(x) == captured.ndarray) {
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
        if (Py_TYPE(o) != captured.ndarray) return false;
        const numpy_abi::Array* a = View::peek(o, false, false);
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
