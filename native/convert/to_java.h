// convert/to_java.h: pieces shared by the Python-to-Java conversions (to_java.cpp
// builds objects, collections and arrays on the scalar, string and buffer layer of
// to_java_scalars.cpp).  Library-private: nothing here is exported.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/stack.h"
#include "common/export.h"

namespace kiv {

// ---- Java failures as Python errors ---------------------------------------------------

// Turns the pending Java exception into the Python error.  Also sets one when the
// translation left none (or nothing was pending), so that the nullptr a caller returns
// next can never be read as Java null.  Always returns nullptr.
KIV_NOINLINE jobject java_failure(JNIEnv* env) noexcept;

// True when a Java exception was pending; it is then the Python error.
inline bool java_failed(JNIEnv* env) noexcept {
  if (KIV_LIKELY(!env->ExceptionCheck())) return false;
  java_failure(env);
  return true;
}

// ---- buffers ------------------------------------------------------------------------

// The Java element types a buffer can be copied into, in the order in which they are
// tried when the target does not fix one.
enum class BufferKind { Byte, Short, Int, Long, Float, Double };

// True when the buffer's format and item size suit the element type: "b", "B" or no
// format for byte; "h" for short; "i" or "l" for int; "l" or "q" for long; "f" for
// float; "d" for double; each with the type's width as item size.  Formats compare as
// whole strings, so byte-order prefixes are refused.
bool buffer_fits(const Py_buffer* view, BufferKind kind) noexcept;
// The first kind, in declaration order, that fits; false when none does.
bool infer_buffer_kind(const Py_buffer* view, BufferKind* out) noexcept;
// Sets TypeError "Buffer format '<format>' is not valid for a <type>[]." ("B" stands
// for a missing format).
void buffer_format_error(const Py_buffer* view, BufferKind kind) noexcept;
// The array class of a kind (byte[] ... double[]).
jclass buffer_array_class(BufferKind kind) noexcept;
// The buffer's elements in row-major order as a new Java array of the kind (a local
// reference), or nullptr with a Python error set.  The view stays acquired.
jarray buffer_to_jarray(JNIEnv* env, Py_buffer* view, BufferKind kind) noexcept;

// ---- snapshots and recursion --------------------------------------------------------

// The items of a list or tuple held strongly while their conversion runs Python code
// and releases the interpreter lock: the tuple itself, or a copy of the list.  New
// reference (a tuple), or nullptr with a Python error set.
PyObject* sequence_snapshot(PyObject* seq) noexcept;

// One level of nesting of a container conversion; RecursionError instead of a stack
// overflow for containers that hold themselves or nest deeply, at the interpreter's
// recursion limit or when the thread's stack is nearly full (common/stack.h),
// whichever comes first.
class RecursionGuard {
 public:
  RecursionGuard() noexcept : ok_(enter()) {}
  ~RecursionGuard() {
    if (ok_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  // False: RecursionError is set.
  bool ok() const noexcept { return ok_; }

 private:
  static bool enter() noexcept {
    if (KIV_UNLIKELY(stack_nearly_full())) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while converting a Python object to Java "
                      "(the thread's stack is nearly full)");
      return false;
    }
    return Py_EnterRecursiveCall(" while converting a Python object to Java") == 0;
  }
  bool ok_;
};

}  // namespace kiv
