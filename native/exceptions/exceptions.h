// exceptions/exceptions.h: Python errors to Java exceptions and back.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"

// If a Python error is set: consumes it and leaves a kiv.KivException pending (or ends
// the process for a SystemExit with an int or None code); returns 1.  Otherwise 0.
// Requires the interpreter lock of the interpreter in which the error was raised.
KIV_API int process_py_exception(JNIEnv* env);

// If a Java exception is pending: clears it and raises the matching Python exception
// carrying the throwable; returns 1.  Otherwise 0.  Requires the interpreter lock.
KIV_API int process_java_exception(JNIEnv* env);

namespace kiv {

// Prints and clears the pending Python error on sys.stderr.  Unlike PyErr_Print it
// never acts on SystemExit.
void print_python_error() noexcept;

}  // namespace kiv
