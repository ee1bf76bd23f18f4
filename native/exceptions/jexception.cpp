// exceptions/jexception.cpp: a Java exception on its way into Python becomes a Python
// exception of a mapped type whose first argument is the Java throwable.
#include <Python.h>
#include <jni.h>

#include <cstdio>

#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "exceptions/exceptions.h"

namespace {

// The exception types built into CPython: static objects shared by every interpreter,
// so an address naming one of them is valid wherever it turns up.
PyObject* const* builtin_exception_types(size_t* n) {
  static PyObject* const* const kTypes[] = {
      &PyExc_ArithmeticError, &PyExc_AssertionError, &PyExc_AttributeError, &PyExc_BaseException,
      &PyExc_BaseExceptionGroup, &PyExc_BlockingIOError, &PyExc_BrokenPipeError, &PyExc_BufferError,
      &PyExc_BytesWarning, &PyExc_ChildProcessError, &PyExc_ConnectionAbortedError, &PyExc_ConnectionError,
      &PyExc_ConnectionRefusedError, &PyExc_ConnectionResetError, &PyExc_DeprecationWarning, &PyExc_EOFError,
      &PyExc_EncodingWarning, &PyExc_Exception, &PyExc_FileExistsError, &PyExc_FileNotFoundError,
      &PyExc_FloatingPointError, &PyExc_FutureWarning, &PyExc_GeneratorExit, &PyExc_ImportError,
      &PyExc_ImportWarning, &PyExc_IndentationError, &PyExc_IndexError, &PyExc_InterruptedError,
      &PyExc_IsADirectoryError, &PyExc_KeyError, &PyExc_KeyboardInterrupt, &PyExc_LookupError,
      &PyExc_MemoryError, &PyExc_ModuleNotFoundError, &PyExc_NameError, &PyExc_NotADirectoryError,
      &PyExc_NotImplementedError, &PyExc_OSError, &PyExc_OverflowError, &PyExc_PendingDeprecationWarning,
      &PyExc_PermissionError, &PyExc_ProcessLookupError, &PyExc_RecursionError, &PyExc_ReferenceError,
      &PyExc_ResourceWarning, &PyExc_RuntimeError, &PyExc_RuntimeWarning, &PyExc_StopAsyncIteration,
      &PyExc_StopIteration, &PyExc_SyntaxError, &PyExc_SyntaxWarning, &PyExc_SystemError, &PyExc_SystemExit,
      &PyExc_TabError, &PyExc_TimeoutError, &PyExc_TypeError, &PyExc_UnboundLocalError, &PyExc_UnicodeDecodeError,
      &PyExc_UnicodeEncodeError, &PyExc_UnicodeError, &PyExc_UnicodeTranslateError, &PyExc_UnicodeWarning,
      &PyExc_UserWarning, &PyExc_ValueError, &PyExc_Warning, &PyExc_ZeroDivisionError,
  };
  static PyObject* resolved[sizeof kTypes / sizeof kTypes[0]];
  static bool filled = [] {
    for (size_t i = 0; i < sizeof kTypes / sizeof kTypes[0]; ++i) resolved[i] = *kTypes[i];
    return true;
  }();
  (void)filled;
  *n = sizeof kTypes / sizeof kTypes[0];
  return resolved;
}

constexpr const char* kRegistryKey = "kiv.exception_types";

// The calling interpreter's dict {address: type} of the exception types whose address a
// kiv.KivException carries; borrowed, or nullptr with an error set.
PyObject* type_registry() {
  PyObject* idict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (!idict) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter dict");
    return nullptr;
  }
  PyObject* reg = PyDict_GetItemString(idict, kRegistryKey);  // borrowed
  if (reg) return reg;
  kiv::PyRef fresh = kiv::PyRef::steal(PyDict_New());
  if (!fresh || PyDict_SetItemString(idict, kRegistryKey, fresh.get()) < 0) return nullptr;
  return fresh.get();  // the interpreter dict holds it now
}

}  // namespace

namespace kiv {

bool remember_exception_type(PyObject* type) noexcept {
  if (!(reinterpret_cast<PyTypeObject*>(type)->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;  // static: always valid
  PyErrorStash stash;
  PyObject* reg = type_registry();
  PyRef key = PyRef::steal(PyLong_FromVoidPtr(type));
  if (!reg || !key || PyDict_SetItem(reg, key.get(), type) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

PyObject* exception_type_for(jlong address) noexcept {
  if (address == 0) return nullptr;
  void* p = reinterpret_cast<void*>(static_cast<intptr_t>(address));
  size_t n = 0;
  PyObject* const* builtins = builtin_exception_types(&n);
  for (size_t i = 0; i < n; ++i) {
    if (builtins[i] == p) return builtins[i];
  }
  // Not built in: only a type this interpreter handed out itself is trusted, so an
  // address from another (possibly ended) interpreter is never dereferenced.
  PyErrorStash stash;
  PyObject* reg = type_registry();
  PyRef key = PyRef::steal(PyLong_FromVoidPtr(p));
  PyObject* type = reg && key ? PyDict_GetItemWithError(reg, key.get()) : nullptr;  // borrowed
  PyErr_Clear();
  return type && PyExceptionClass_Check(type) ? type : nullptr;
}

}  // namespace kiv

namespace {

PyObject* mapped_type(JNIEnv* env, jthrowable exc) {
  static const struct {
    jclass* cls;
    PyObject** type;
  } kMapping[] = {
      {&CLASSNOTFOUND_EXC_TYPE, &PyExc_ImportError}, {&INDEX_EXC_TYPE, &PyExc_IndexError},
      {&IO_EXC_TYPE, &PyExc_IOError},                {&CLASSCAST_EXC_TYPE, &PyExc_TypeError},
      {&ILLEGALARG_EXC_TYPE, &PyExc_ValueError},     {&ARITHMETIC_EXC_TYPE, &PyExc_ArithmeticError},
      {&OUTOFMEMORY_EXC_TYPE, &PyExc_MemoryError},   {&ASSERTION_EXC_TYPE, &PyExc_AssertionError},
      {&STACKOVERFLOW_ERR_TYPE, &PyExc_RecursionError},
  };
  for (const auto& m : kMapping) {
    if (*m.cls && env->IsInstanceOf(exc, *m.cls)) return *m.type;
  }
  if (KIV_EXC_TYPE && env->IsInstanceOf(exc, KIV_EXC_TYPE)) {
    jlong address = kiv_KivException_getPythonType(env, exc);
    if (env->ExceptionCheck()) {
      env->ExceptionClear();
      return PyExc_RuntimeError;
    }
    PyObject* type = kiv::exception_type_for(address);
    return type ? type : PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

// RecursionError for a java.lang.StackOverflowError that could not be wrapped.
int set_overflow() {
  PyErr_Clear();
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (java.lang.StackOverflowError)");
  return 1;
}

}  // namespace

KIV_API int process_java_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return 0;
  kiv::LocalRef<jthrowable> exc(env, env->ExceptionOccurred());
  if (!exc) return 0;
  if (PyErr_Occurred()) {
    std::puts("WARNING: Kiv internal error. Python exception detected at start of process_java_exception():");
    std::fflush(stdout);
    kiv::print_python_error();
  }
  env->ExceptionClear();

  // The Java stack ran out: RecursionError, even when the stack left is too short to
  // wrap the throwable (every Java call below may throw StackOverflowError again).
  bool overflow = STACKOVERFLOW_ERR_TYPE && env->IsInstanceOf(exc.get(), STACKOVERFLOW_ERR_TYPE);
  kiv::LocalRef<jobjectArray> trace(env, java_lang_Throwable_getStackTrace(env, exc.get()));
  if (env->ExceptionCheck()) {
    // The throwable's own getStackTrace threw: report that, and leave no second
    // exception behind in the JVM.
    kiv::LocalRef<jthrowable> second(env, env->ExceptionOccurred());
    env->ExceptionClear();
    overflow = overflow || (STACKOVERFLOW_ERR_TYPE && second && env->IsInstanceOf(second.get(), STACKOVERFLOW_ERR_TYPE));
    if (overflow) return set_overflow();
    PyErr_SetString(PyExc_RuntimeError, "wrapping java exception in pyjobject failed.");
    return 1;
  }
  PyObject* type = mapped_type(env, exc.get());  // borrowed: built in, or held by the registry
  kiv::PyRef keepType = kiv::PyRef::borrow(type);
  kiv::PyRef value = kiv::PyRef::steal(jobject_As_PyObject(env, exc.get()));
  if (!value) {
    // The conversion's error (a converter may have raised), unless the stack ran out.
    if (overflow || env->ExceptionCheck()) {
      env->ExceptionClear();
      if (overflow) return set_overflow();
    }
    return 1;
  }
  PyErr_SetObject(type, value.get());
  // A Python exception class whose constructor does not take the throwable alone
  // cannot carry it: raise RuntimeError with it instead of the constructor's TypeError.
  if (type != PyExc_RuntimeError) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised && !PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(type))) {
      Py_DECREF(raised);
      PyErr_SetObject(PyExc_RuntimeError, value.get());
    } else {
      PyErr_SetRaisedException(raised);
    }
  }
  return 1;
}
