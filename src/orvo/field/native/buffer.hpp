// Reading and writing the memory of numpy arrays: one view type for every
// array the native code reads (arguments of the kernels, fields and answers
// read by the fast paths and indexes) and one output type for every array
// it fills.
//
// A `View` accepts only what its loops can read as plain C arrays:
// C-contiguous, aligned, native-order items of one kind (float64, a
// machine-size integer or bool). Anything else is refused, and the caller
// converts it through numpy or takes the numpy steps instead.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "native/py.hpp"

namespace orvo::py {

// The item kinds a view tells apart.
enum class Item { Float64, Int, Bool };

static_assert(sizeof(Py_ssize_t) == 8 && sizeof(double) == 8, "the item kinds assume 64-bit indices");

// The buffer-protocol format of a machine-size integer as numpy exports it.
inline constexpr const char* kIntFormat = sizeof(long) == 8 ? "l" : "q";

// Whether a buffer-protocol item format and size describe `item` in native
// byte order.
inline bool item_format(std::string_view f, Py_ssize_t itemsize, Item item) {
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)))
        f.remove_prefix(1);
    switch (item) {
        case Item::Float64: return itemsize == 8 && f == "d";
        case Item::Int: return itemsize == 8 && (f == "l" || f == "q");
        case Item::Bool: return itemsize == 1 && f == "?";
    }
    return false;
}

// An exported buffer, released when this goes out of scope.
class Exported {
public:
    Exported() = default;
    Exported(const Exported&) = delete;
    Exported& operator=(const Exported&) = delete;
    ~Exported() { reset(); }

    // Exports `o`'s buffer with `flags`; false (no error set) when `o` refuses.
    bool acquire(PyObject* o, int flags) noexcept {
        reset();
        if (PyObject_GetBuffer(o, &b_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    void reset() noexcept {
        if (held_) PyBuffer_Release(&b_);
        held_ = false;
    }
    const Py_buffer& get() const noexcept { return b_; }

private:
    Py_buffer b_{};
    bool held_ = false;
};

// numpy's array and dtype objects as its C API lays them out. Extension
// modules compiled against any numpy since 1.7 read these leading fields
// directly, so numpy keeps them where they are; `View::verify_layout`
// still checks them against the buffer protocol at load and, should they
// ever differ, views fall back to buffer exports. Reading the fields costs
// a few loads where an export builds a format string and allocates, which
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
constexpr int type_bool = 0, type_long = 7, type_longlong = 9, type_double = 12;
}  // namespace numpy_abi

// A view of an array's items. It holds a reference to the array, which
// keeps its memory alive; what it read of the shape is a copy, so Python
// code that reshapes the array in place cannot change it.
class View {
public:
    // numpy's array type, and whether its fields may be read directly;
    // set when a module captures numpy.
    static inline PyTypeObject* ndarray = nullptr;
    static inline bool direct = false;

    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Takes `o` when it is an exact ndarray of float64 with `ndim`
    // dimensions and, where given, `cols` columns.
    bool take(PyObject* o, int ndim, Py_ssize_t cols = -1) {
        return Py_TYPE(o) == ndarray && acquire(o, Item::Float64, false) && ndim_ == ndim &&
               (cols < 0 || (ndim >= 2 && shape_[static_cast<size_t>(ndim - 1)] == cols));
    }
    // Takes `o` when it is an exact one-dimensional ndarray of machine-size integers.
    bool take_indices(PyObject* o) { return Py_TYPE(o) == ndarray && acquire(o, Item::Int, false) && ndim_ == 1; }
    // Takes any object that exports such a buffer of `item`s, of any rank.
    bool take_any(PyObject* o, Item item, bool writable = false) { return acquire(o, item, writable); }

    int ndim() const { return ndim_; }
    Py_ssize_t shape(int i) const { return shape_[static_cast<size_t>(i)]; }
    Py_ssize_t rows() const { return shape_[0]; }
    Py_ssize_t items() const {
        Py_ssize_t n = 1;
        for (int i = 0; i < ndim_; ++i) n *= shape_[static_cast<size_t>(i)];
        return n;
    }
    // The shape as a tuple, for messages.
    Ref shape_tuple() const {
        Ref t = Ref::own(PyTuple_New(ndim_));
        for (int i = 0; i < ndim_; ++i) PyTuple_SET_ITEM(t.get(), i, integer(shape(i)).release());
        return t;
    }
    const double* data() const { return static_cast<const double*>(data_); }
    template <class T>
    T* mutable_data() const {
        return static_cast<T*>(data_);
    }
    // Anyone may write into the array meanwhile: read each index once.
    const volatile Py_ssize_t* indices() const { return static_cast<const volatile Py_ssize_t*>(data_); }

    // The fields of exact ndarray `o` when it is C-contiguous, aligned,
    // native and of `item`s and, if asked, writable; else null. Valid only
    // until Python code next runs. Needs `direct`.
    static const numpy_abi::Array* peek(PyObject* o, Item item, bool writable) {
        const auto* a = reinterpret_cast<const numpy_abi::Array*>(o);
        const auto* d = reinterpret_cast<const numpy_abi::Descr*>(a->descr);
        const int need = numpy_abi::c_contiguous | numpy_abi::aligned | (writable ? numpy_abi::writeable : 0);
        const bool native = d->byteorder == '=' || d->byteorder == '|' ||
                            (d->byteorder == '<' && std::endian::native == std::endian::little);
        const int t = d->type_num;
        const bool typed = item == Item::Float64 ? t == numpy_abi::type_double
                           : item == Item::Bool  ? t == numpy_abi::type_bool
                                                 : t == numpy_abi::type_longlong ||
                                                      (t == numpy_abi::type_long && sizeof(long) == 8);
        return (a->flags & need) == need && native && typed ? a : nullptr;
    }

    // Whether writes through a buffer of `o` would be refused.
    static bool read_only(PyObject* o) {
        Exported probe;
        return !probe.acquire(o, PyBUF_WRITABLE);
    }

    // Whether the direct reading of arrays agrees with buffer exports of
    // `probes` (arrays of every kind a view tells apart).
    static bool verify_layout(PyObject* probes);

private:
    static constexpr int kMaxDims = 8;

    // An unaligned buffer (numpy allows them, e.g. over unpickled bytes) is
    // refused: the caller then takes the numpy steps, which handle it.
    bool acquire(PyObject* o, Item item, bool writable) {
        return direct && Py_TYPE(o) == ndarray ? read_fields(o, item, writable) : export_buffer(o, item, writable);
    }

    bool read_fields(PyObject* o, Item item, bool writable) {
        const numpy_abi::Array* a = peek(o, item, writable);
        if (a == nullptr || a->nd > kMaxDims) return false;
        held_ = Ref::borrow(o);
        data_ = a->data;
        ndim_ = a->nd;
        std::copy(a->dimensions, a->dimensions + a->nd, shape_.begin());
        return true;
    }

    bool export_buffer(PyObject* o, Item item, bool writable) {
        if (!b_.acquire(o, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0))) return false;
        const Py_buffer& b = b_.get();
        const bool aligned = reinterpret_cast<std::uintptr_t>(b.buf) % alignof(double) == 0 || item == Item::Bool;
        if (!item_format(b.format ? b.format : "B", b.itemsize, item) || b.ndim > kMaxDims || !aligned) {
            b_.reset();
            return false;
        }
        data_ = b.buf;
        ndim_ = b.ndim;
        std::copy(b.shape, b.shape + b.ndim, shape_.begin());
        return true;
    }

    Ref held_;
    Exported b_;
    void* data_ = nullptr;
    int ndim_ = -1;
    std::array<Py_ssize_t, kMaxDims> shape_;  // the first ndim_ are set
};

inline bool View::verify_layout(PyObject* probes) {
    if (!PyList_CheckExact(probes)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(probes); ++i) {
        PyObject* o = PyList_GET_ITEM(probes, i);
        if (Py_TYPE(o) != ndarray) return false;
        for (const Item item : {Item::Float64, Item::Int, Item::Bool})
            for (const bool writable : {false, true}) {
                View by_fields, by_export;
                const bool a = by_fields.read_fields(o, item, writable);
                const bool b = by_export.export_buffer(o, item, writable);
                if (a != b || (a && (by_fields.data_ != by_export.data_ || by_fields.ndim_ != by_export.ndim_ ||
                                     !std::equal(by_fields.shape_.begin(), by_fields.shape_.begin() + by_fields.ndim_,
                                                 by_export.shape_.begin()))))
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
    " np.zeros(3, bool), np.zeros(4, bool)[::2], np.arange(8.0).reshape(2, 2, 2), np.empty((0, 2)),"
    " np.zeros(())])(np.arange(6.0).reshape(3, 2))";

// Captures numpy's array type and turns on direct reading of arrays when
// it agrees with buffer exports.
inline void capture_ndarray(PyObject* np) {
    View::direct = false;
    View::ndarray = reinterpret_cast<PyTypeObject*>(check(PyObject_GetAttrString(np, "ndarray")));
    Ref globals = Ref::own(PyDict_New());
    check(PyDict_SetItemString(globals.get(), "np", np));
    Ref probes = Ref::own(PyRun_String(kLayoutProbes, Py_eval_input, globals.get(), globals.get()));
    View::direct = View::verify_layout(probes.get());
}

// A new array from `empty(shape, dtype)` with a writable view of it. `empty`
// can be anything a caller put in a module's `np`, so the array is checked
// to be exactly what the loops will write: a C-contiguous buffer of as many
// `item`s as the shape holds.
class Output {
public:
    Output(PyObject* empty, PyObject* dtype, Item item, std::initializer_list<Py_ssize_t> shape) {
        Ref dims = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
        Py_ssize_t count = 1, k = 0;
        for (const Py_ssize_t d : shape) {
            PyTuple_SET_ITEM(dims.get(), k++, integer(d).release());
            count *= d;
        }
        array = Ref::borrow(empty)(dims, dtype);
        if (!view_.take_any(array.get(), item, true) || view_.items() != count)
            raise(PyExc_TypeError, "np.empty returned %.200s, not a writable %s array of %zd items",
                  Py_TYPE(array.get())->tp_name, item == Item::Float64 ? "d" : item == Item::Bool ? "?" : kIntFormat,
                  count);
    }
    template <class T = double>
    T* data() const {
        return view_.mutable_data<T>();
    }

    Ref array;

private:
    View view_;
};

}  // namespace orvo::py
