// Reference holders and the one error-signalling exception.
//
// Rules of use:
// - `Ref` owns one strong reference. Built from a raw pointer it steals that
//   reference (wrap every new-reference result right at the call site);
//   `Ref::borrow(p)` takes a new reference to a pointer we do not own.
// - A `PyObject*` parameter is always borrowed. Ownership goes back to Python
//   only through `release()`, which hands the reference to the caller.
// - `PyError` means "a Python error is already set". Helpers throw it right
//   after a C API call fails; each exported function catches it once and
//   returns nullptr. Nothing else is thrown across a function boundary and
//   nothing replaces an error that Python set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pjson {

struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* stolen) noexcept : p_(stolen) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Replaces the held object with a new reference to `p`.
    void reset_borrowed(PyObject* p) noexcept {
        Py_XINCREF(p);
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Wraps a new-reference result, throwing when the call failed.
inline Ref check(PyObject* result) {
    if (result == nullptr) throw_error();
    return Ref(result);
}

// For C API calls that report failure with -1.
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

}  // namespace pjson
