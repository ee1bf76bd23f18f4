// common/pyref.h: an owning Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace kiv {

// Owns exactly one strong reference, or none.  The wrapping call site says whether
// the C API handed out a new reference (steal) or a borrowed one (borrow).
// Requires the interpreter lock wherever a reference is dropped.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* p) noexcept { PyRef r; r.p_ = p; return r; }
  static PyRef borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // Drops the held reference (if any) and takes ownership of p.
  void reset(PyObject* p = nullptr) noexcept {
    PyObject* old = std::exchange(p_, p);
    Py_XDECREF(old);
  }
  // A new reference for a caller that keeps its own copy.
  PyObject* new_ref() const noexcept { Py_XINCREF(p_); return p_; }

 private:
  PyObject* p_ = nullptr;
};

// Saves the pending Python error (if any) and restores it when the scope ends, so
// that clean-up code can call Python without losing or clobbering the error.
class PyErrorStash {
 public:
  PyErrorStash() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~PyErrorStash() {
    if (exc_) PyErr_SetRaisedException(exc_);
  }
  PyErrorStash(const PyErrorStash&) = delete;
  PyErrorStash& operator=(const PyErrorStash&) = delete;

 private:
  PyObject* exc_;
};

}  // namespace kiv
