// exceptions/exceptions.h: Python errors to Java exceptions and back.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"
#include "exceptions/throw.h"

// If a Python error is set: consumes it and leaves a kiv.KivException pending (or ends
// the process for a SystemExit with an int or None code); returns 1.  Otherwise 0.
// Requires the interpreter lock of the interpreter in which the error was raised.
KIV_API int process_py_exception(JNIEnv* env);

// If a Java exception is pending: clears it and raises the matching Python exception
// carrying the throwable; returns 1.  Otherwise 0.  Requires the interpreter lock.
KIV_API int process_java_exception(JNIEnv* env);

namespace kiv {

// Throws kiv.KivException with a Python str as its message (any text, unlike the
// modified UTF-8 of throw_kiv), unless a Java exception is pending.  Requires the
// interpreter lock; keeps a pending Python error.
void throw_kiv_text(JNIEnv* env, PyObject* message) noexcept;

// Prints and clears the pending Python error on sys.stderr.  Unlike PyErr_Print it
// never acts on SystemExit.
void print_python_error() noexcept;

// Flushes Python's sys.stdout and sys.stderr and then the C streams, keeping any
// pending Python error.  Requires the interpreter lock.
void flush_std_streams() noexcept;

// Keeps an exception type alive in the calling interpreter for as long as that
// interpreter lives, so that a kiv.KivException carrying its address can raise it again.
bool remember_exception_type(PyObject* type) noexcept;
// The exception type at an address a kiv.KivException carries, when it is still valid
// here: a built-in exception type, or one this interpreter remembered.  Borrowed, or
// nullptr.  Never sets an error.
PyObject* exception_type_for(jlong address) noexcept;

}  // namespace kiv
