// Owned references, error propagation and call helpers over the CPython C API.
//
// Rules of use:
//  - A `Ref` owns one strong reference (or nothing). Build one with
//    `Ref::own(p)` from a new reference (a NULL `p` throws `Error`, so the
//    result of any C-API call that returns a new reference can be wrapped
//    directly) or with `Ref::borrow(p)` from a borrowed one. `release()` hands
//    the reference back to C code; there is no implicit conversion. A `Ref`
//    moves; a second owner of the same object is made explicitly with
//    `copy()`, so every new reference shows in the code.
//  - `Error` means "a Python exception is already set". Helpers throw it when
//    a C-API call fails. Every entry point called by the interpreter wraps its
//    body in `guard()`, which turns `Error` and `std::bad_alloc` into the
//    interpreter's error return, so no C++ exception ever leaves this code.
//  - Names used for attribute access and keywords are interned once per
//    module: `"atleast_2d"_id` yields the interned string.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <cstdint>

#include <algorithm>
#include <concepts>
#include <iterator>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

namespace orvo::py {

// A Python exception is set; unwind to the nearest guard().
struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }

template <class... A>
[[noreturn]] void raise(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw Error{};
}

template <class T>
inline T* check(T* p) {
    if (p == nullptr) throw Error{};
    return p;
}

inline int check(int status) {
    if (status < 0) throw Error{};
    return status;
}

class Ref {
public:
    Ref() noexcept = default;
    static Ref own(PyObject* p) { return Ref(check(p)); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // The old object is released after the new one is in place: its
    // deallocation can run Python code that reads this Ref.
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // A second owner of the same object.
    Ref copy() const noexcept { return borrow(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    Ref attr(PyObject* name) const { return own(PyObject_GetAttr(p_, name)); }
    Ref operator[](PyObject* key) const { return own(PyObject_GetItem(p_, key)); }
    Ref operator[](const Ref& key) const { return (*this)[key.get()]; }
    template <std::integral I>
    Ref operator[](I i) const {
        Ref key = own(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
        return (*this)[key];
    }

    // Positional call: f(a, b, ...).
    template <class... A>
    Ref operator()(const A&... args) const;

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* raw(PyObject* o) noexcept { return o; }
inline PyObject* raw(const Ref& r) noexcept { return r.get(); }
inline PyObject* raw(PyTypeObject* t) noexcept { return reinterpret_cast<PyObject*>(t); }

template <class... A>
Ref Ref::operator()(const A&... args) const {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, raw(args)...};
    return own(PyObject_Vectorcall(p_, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// A keyword argument for call(): {name, value}.
struct Kw {
    PyObject* name;
    PyObject* value;
};

// f(*pos, **kw) with the keywords in the given order.
inline Ref call(PyObject* f, std::initializer_list<PyObject*> pos, std::initializer_list<Kw> kw) {
    PyObject* argv[16];
    const size_t n = pos.size() + kw.size();
    if (n + 1 > std::size(argv)) raise(PyExc_SystemError, "too many call arguments");
    Ref names = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
    size_t i = 1;
    for (PyObject* p : pos) argv[i++] = p;
    Py_ssize_t k = 0;
    for (const Kw& a : kw) {
        Py_INCREF(a.name);
        PyTuple_SET_ITEM(names.get(), k++, a.name);
        argv[i++] = a.value;
    }
    return Ref::own(PyObject_Vectorcall(f, argv + 1, pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kw.size() ? names.get() : nullptr));
}

// len(o), propagating its error.
inline Py_ssize_t length(PyObject* o) {
    const Py_ssize_t n = PyObject_Length(o);
    if (n < 0) raise();
    return n;
}

// Python's truth test, propagating its error.
inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref integer(Py_ssize_t v) { return Ref::own(PyLong_FromSsize_t(v)); }
inline Ref number(double v) { return Ref::own(PyFloat_FromDouble(v)); }

template <class... A>
Ref tuple(const A&... items) {
    return Ref::own(PyTuple_Pack(sizeof...(A), raw(items)...));
}

template <class... A>
Ref list(const A&... items) {
    Ref out = Ref::own(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(out.get(), i++, Py_NewRef(raw(items)))), ...);
    return out;
}

// list[start:] of an exact list, copied into a new tuple or list that is
// allocated before the items are read: the allocation can run Python code (a
// collection) that changes the list, and the interpreter's own tuple(list)
// and list slicing read the size before they allocate.
inline Ref copy_items(PyObject* list, Py_ssize_t start, bool as_list) {
    const auto size = [&] { return std::max<Py_ssize_t>(PyList_GET_SIZE(list) - start, 0); };
    const Py_ssize_t n = size();
    Ref out = Ref::own(as_list ? PyList_New(n) : PyTuple_New(n));
    if (size() != n) raise(PyExc_RuntimeError, "list changed size during iteration");
    PyObject** from = reinterpret_cast<PyListObject*>(list)->ob_item + start;
    PyObject** to = PySequence_Fast_ITEMS(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) to[i] = Py_NewRef(from[i]);
    return out;
}

// tuple(sequence): an exact list is copied after the allocation (see
// copy_items); any other iterable, a subclass too, iterates itself.
inline Ref items_of(PyObject* sequence) {
    if (PyTuple_CheckExact(sequence)) return Ref::borrow(sequence);
    if (PyList_CheckExact(sequence)) return copy_items(sequence, 0, false);
    return Ref::own(PySequence_Tuple(sequence));
}

// sequence[start:]: an exact list is copied after the allocation (see
// copy_items); any other object slices itself.
inline Ref tail(const Ref& sequence, Py_ssize_t start) {
    if (PyList_CheckExact(sequence.get())) return copy_items(sequence.get(), start, true);
    return sequence[Ref::own(PySlice_New(integer(start).get(), nullptr, nullptr))];
}

// Calls f(item) for every item of an iterable.
template <class F>
void for_each(PyObject* iterable, F&& f) {
    Ref it = Ref::own(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it.get())) f(Ref::own(item));
    if (PyErr_Occurred()) raise();
}

// [f(item) for item in iterable]
template <class F>
Ref map_list(PyObject* iterable, F&& f) {
    Ref out = Ref::own(PyList_New(0));
    for_each(iterable, [&](const Ref& item) { check(PyList_Append(out.get(), f(item).get())); });
    return out;
}

// dict[key] for an exact dict and a key whose hash and comparison cannot
// fail (an interned name); NULL when absent. Borrowed.
inline PyObject* dict_item(PyObject* dict, PyObject* key) {
    PyObject* v = dict ? PyDict_GetItemWithError(dict, key) : nullptr;
    if (v == nullptr && PyErr_Occurred()) raise();
    return v;
}

// What a name lookup in a module's code finds: the global in `globals` (a
// module dictionary; NULL for none), else the builtin. NULL when neither
// holds it. Borrowed.
inline PyObject* find_global(PyObject* globals, PyObject* name) {
    PyObject* v = dict_item(globals, name);
    return v ? v : dict_item(PyEval_GetBuiltins(), name);
}

// The same, raising NameError when neither holds it.
inline Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = find_global(globals, name);
    if (v == nullptr) raise(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::borrow(v);
}

// Arithmetic reads like the numpy expression it stands for.
inline Ref operator+(const Ref& a, const Ref& b) { return Ref::own(PyNumber_Add(a.get(), b.get())); }
inline Ref operator-(const Ref& a, const Ref& b) { return Ref::own(PyNumber_Subtract(a.get(), b.get())); }
inline Ref operator-(const Ref& a) { return Ref::own(PyNumber_Negative(a.get())); }
inline Ref operator*(const Ref& a, const Ref& b) { return Ref::own(PyNumber_Multiply(a.get(), b.get())); }
inline Ref operator/(const Ref& a, const Ref& b) { return Ref::own(PyNumber_TrueDivide(a.get(), b.get())); }
inline Ref matmul(const Ref& a, const Ref& b) { return Ref::own(PyNumber_MatrixMultiply(a.get(), b.get())); }

// Interned attribute and keyword names: "name"_id.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

template <Literal L>
PyObject* interned() {
    static PyObject* name = nullptr;
    if (name == nullptr) name = check(PyUnicode_InternFromString(L.text));
    return name;
}

struct Id {
    PyObject* (*get)();
    operator PyObject*() const { return get(); }
};

template <Literal L>
constexpr Id operator""_id() { return Id{&interned<L>}; }

// `array.shape` as a tuple of Py_ssize_t. The arrays come from calls through
// a module's `np`, which anyone can replace, so nothing is assumed.
inline std::vector<Py_ssize_t> shape_of(const Ref& array) {
    Ref shape = array.attr("shape"_id);
    if (!PyTuple_Check(shape.get()))
        raise(PyExc_TypeError, "expected an array whose shape is a tuple, got a shape of type %.200s",
              Py_TYPE(shape.get())->tp_name);
    std::vector<Py_ssize_t> dims(static_cast<size_t>(PyTuple_GET_SIZE(shape.get())));
    for (size_t i = 0; i < dims.size(); ++i) {
        dims[i] = PyNumber_AsSsize_t(PyTuple_GET_ITEM(shape.get(), static_cast<Py_ssize_t>(i)), PyExc_OverflowError);
        if (dims[i] == -1 && PyErr_Occurred()) raise();
    }
    return dims;
}

// Sets the Python exception for the C++ exception being handled.
inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

// Runs an entry point's body: C++ failures become a set Python exception
// and the interpreter's NULL return.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// The same for slots that return a status: 0 on success, -1 on error.
template <class F>
int guard_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

namespace detail {

// The lowest usable address of the calling thread's stack, with a margin
// for the deepest stretch of native and interpreter code between two
// guarded entries (numpy calls, error formatting), or 0 when the bounds
// are unknown. Read once per thread.
inline std::uintptr_t stack_floor() noexcept {
    thread_local const std::uintptr_t floor = [] () -> std::uintptr_t {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
        void* low = nullptr;
        size_t size = 0;
        const int status = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        if (status != 0 || low == nullptr || size == 0) return 0;
        const size_t margin = std::min<size_t>(size / 4, size_t{1} << 20);
        return reinterpret_cast<std::uintptr_t>(low) + margin;
    }();
    return floor;
}

}  // namespace detail

// Counts a native entry point against the interpreter's recursion limit,
// and checks the C stack itself: structures that nest through native calls
// alone (a collection holding a collection holding ...) raise
// RecursionError instead of exhausting the C stack, however high the
// recursion limit is set.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        char here = 0;
        const std::uintptr_t floor = detail::stack_floor();
        if (floor != 0 && reinterpret_cast<std::uintptr_t>(&here) < floor)
            raise(PyExc_RecursionError, "maximum recursion depth exceeded (C stack)%s", where);
        if (Py_EnterRecursiveCall(where)) raise();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Replaces an owned object slot, releasing the old value after the store.
inline void replace(PyObject*& slot, PyObject* value) noexcept {
    PyObject* old = slot;
    Py_INCREF(value);
    slot = value;
    Py_XDECREF(old);
}

}  // namespace orvo::py

using orvo::py::operator""_id;
