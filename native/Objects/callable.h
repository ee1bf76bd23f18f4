// Objects/callable.h: the call machinery shared by methods, constructors and overload
// sets (library-private).
#pragma once

#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"

namespace kiv {

// Calls of a method, a constructor and an overload set: args[0] is the receiver (an
// instance, or a class wrapper for static methods and constructors).
PyObject* pyjmethod_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* pyjconstructor_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* pyjmultimethod_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Reads a method's reflection data once; 0, or -1 with a Python error set.
int method_init(PyJMethod* m, JNIEnv* env) noexcept;
// The argument-count rule of calls and overload selection: n positional arguments (after
// the receiver) fit when they fill the positional parameters (all but a keyword
// parameter) one by one, or, with variable arguments, all but the array, which takes
// the rest.  Requires: m initialised.
bool arg_count_fits(const PyJMethod* m, Py_ssize_t n) noexcept;
// The score of PyJMethod_CheckArguments for positional args[1..nargs) (args[0] being the
// receiver) with or without keywords.
int method_score(PyJMethod* m, JNIEnv* env, PyObject* const* args, Py_ssize_t nargs, bool keywords) noexcept;

// Frees the remembered overload choices of a multimethod.
void dispatch_cache_free(PyJMultiMethod* mm) noexcept;

// An argument already classified: see convert_pyarg_jvalue.
jvalue convert_arg(JNIEnv* env, PyObject* arg, jclass cls, int t, int pos) noexcept;

// A Java object as Python, remembering in (*cls, *type) the class and Python type of
// the last object that was wrapped so that the next object of that class skips the
// classification (the cache owns a global class reference and a type reference).
// state: the module state of the current interpreter, which spares a look-up.
PyObject* object_to_python(JNIEnv* env, jobject obj, jclass* cls, PyObject** type, ModuleState* state) noexcept;

}  // namespace kiv
