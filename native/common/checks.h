// common/checks.h: checks of the error invariants at the boundaries between Java and
// Python.  Compiled in when KIV_DEBUG_CHECKS is set (the CMake option of that name, on
// in Debug builds); otherwise every macro here is empty and costs nothing.
//
// An error lives in one world at a time:
//   - A Python-facing function (a slot or method of a library type, a _kiv function)
//     that fails returns with a Python error set, and one that succeeds with none; either
//     way it leaves no Java exception pending that was not pending when it was called.
//   - A Java-facing native returns with at most one error, a pending Java exception: it
//     releases no thread state with a Python error set, and it leaves the thread state
//     that was current on entry (usually none) current on return.  JNI itself holds at
//     most one pending exception; -Xcheck:jni reports a throw over a pending one.
// A broken invariant prints where it broke and aborts the process.
#pragma once

#include <Python.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "common/jref.h"

#if defined(KIV_DEBUG_CHECKS) && KIV_DEBUG_CHECKS

namespace kiv::checks {

[[noreturn]] inline void failed(const char* where, const char* what) noexcept {
  std::fprintf(stderr, "Kiv debug check failed in %s: %s\n", where, what);
  std::fflush(stderr);
  std::abort();
}

// Failure values of the Python C API's signatures.
inline bool is_failure(PyObject* result) noexcept { return result == nullptr; }
inline bool is_failure(int result) noexcept { return result == -1; }
inline bool is_failure(Py_ssize_t result) noexcept { return result == -1; }  // also Py_hash_t

// The checks around one call of a Python-facing function.
class PythonFacing {
 public:
  explicit PythonFacing(const char* where) noexcept
      : where_(where), env_(current_env()), javaPending_(env_ && env_->ExceptionCheck()) {}
  // For a function that returns a value (failed: it returned its failure value).
  void returned(bool failed) const noexcept {
    if (failed && !PyErr_Occurred()) checks::failed(where_, "fails without a Python error set");
    if (!failed && PyErr_Occurred()) checks::failed(where_, "succeeds with a Python error set");
    returned();
  }
  // For a deallocator, which may run while an error is being raised.
  void returned() const noexcept {
    JNIEnv* env = env_ ? env_ : current_env();
    if (!javaPending_ && env && env->ExceptionCheck()) checks::failed(where_, "leaves a Java exception pending");
  }

 private:
  const char* where_;
  JNIEnv* env_;
  bool javaPending_;
};

// F called through the checks of PythonFacing; see KIV_PY_BOUNDARY.
template <auto F>
struct PythonEntry;
template <class R, class... A, R (*F)(A...)>
struct PythonEntry<F> {
  static R call(A... args) {
    PythonFacing check(__PRETTY_FUNCTION__);
    if constexpr (std::is_void_v<R>) {
      F(args...);
      check.returned();
    } else {
      R result = F(args...);
      check.returned(is_failure(result));
      return result;
    }
  }
};

// A tp_iternext slot: it may also return nullptr with no error set (exhausted).
template <auto F>
struct IterNextEntry;
template <PyObject* (*F)(PyObject*)>
struct IterNextEntry<F> {
  static PyObject* call(PyObject* self) {
    PythonFacing check(__PRETTY_FUNCTION__);
    PyObject* result = F(self);
    if (result) {
      check.returned(false);
    } else {
      check.returned();
    }
    return result;
  }
};

// The checks around one Java-facing native; see KIV_JNI_BOUNDARY.
class JavaFacing {
 public:
  explicit JavaFacing(const char* where) noexcept
      : where_(where), entry_(_PyThreadState_UncheckedGet()), errorAtEntry_(entry_ && PyErr_Occurred()) {}
  ~JavaFacing() {
    PyThreadState* now = _PyThreadState_UncheckedGet();
    if (now != entry_) failed(where_, "returns with another thread state current than on entry");
    if (now && !errorAtEntry_ && PyErr_Occurred()) failed(where_, "returns with a Python error set");
  }
  JavaFacing(const JavaFacing&) = delete;
  JavaFacing& operator=(const JavaFacing&) = delete;

 private:
  const char* where_;
  PyThreadState* entry_;
  bool errorAtEntry_;
};

}  // namespace kiv::checks

// In a Java-facing native, first thing: checks its invariants when it returns.
#define KIV_JNI_BOUNDARY() ::kiv::checks::JavaFacing kiv_java_facing_check_(__func__)
// The function f (a slot, method or getter) as Python should call it: with the checks of
// a Python-facing function around every call.
#define KIV_PY_BOUNDARY(f) (&::kiv::checks::PythonEntry<&f>::call)
// The same for a tp_iternext slot, which ends an iteration with nullptr and no error.
#define KIV_PY_ITERNEXT_BOUNDARY(f) (&::kiv::checks::IterNextEntry<&f>::call)
// Where a Java-facing call is about to release a thread state (its lock held).
#define KIV_CHECK_NO_PYTHON_ERROR(where) \
  (PyErr_Occurred() ? ::kiv::checks::failed(where, "releases a thread state with a Python error set") : (void)0)

#else

#define KIV_JNI_BOUNDARY() static_cast<void>(0)
#define KIV_PY_BOUNDARY(f) (&f)
#define KIV_PY_ITERNEXT_BOUNDARY(f) (&f)
#define KIV_CHECK_NO_PYTHON_ERROR(where) static_cast<void>(0)

#endif
