// convert/convert.h: conversions between Java and Python values.
//
// Java to Python functions return a new reference, or nullptr with a Python error set.
// Python to Java functions return a new JNI local reference; nullptr with no Python
// error set means Java null (the value was None), nullptr with a Python error set means
// failure: callers tell the two apart with PyErr_Occurred().  No function here leaves a
// Java exception pending: Java failures become Python errors.  All of them need the
// interpreter lock and the calling thread's JNI environment.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"

// ---- Java to Python -------------------------------------------------------------------

// Any Java reference (or null, which gives None): strings, boxed primitives and
// BigInteger become Python values, a kiv.python.PyObject (or a proxy of a Python
// object) the Python object it holds, and anything else a wrapper of its class's
// Python type, which a registered converter (_to_python) may replace.
KIV_API PyObject* jobject_As_PyObject(JNIEnv* env, jobject obj);
// The wrapping step alone (no converter): a PyJClass for a java.lang.Class, else a
// PyJObject of the class's type.  clazz may be null (then the object's class is used).
KIV_API PyObject* jobject_As_PyJObject(JNIEnv* env, jobject obj, jclass clazz);
// A Java string (not null) as a Python str: its UTF-16 decoded in the platform's byte
// order, so a leading U+FEFF or U+FFFE stays text.  A lone surrogate gives
// UnicodeDecodeError.
KIV_API PyObject* jstring_As_PyString(JNIEnv* env, jstring str);
// One UTF-16 code unit as a one-character str.
KIV_API PyObject* jchar_As_PyObject(jchar c);
// The Python object a kiv.python.PyObject holds (a new reference to it).
KIV_API PyObject* JPyObject_As_PyObject(JNIEnv* env, jobject obj);
// Java toString() of obj as a str (None for a null result).
KIV_API PyObject* jobject_As_PyString(JNIEnv* env, jobject obj);

// ---- Python to Java ---------------------------------------------------------------------

// value as a Java object assignable to expected (a reference class, not null).
KIV_API jobject PyObject_As_jobject(JNIEnv* env, PyObject* value, jclass expected);
// value for a parameter of class type: a reference (l) or the matching primitive member.
KIV_API jvalue PyObject_As_jvalue(JNIEnv* env, PyObject* value, jclass type);
// True when cls is an interface with exactly one abstract method.  False with a Python
// error set when a Java call failed.
KIV_API jboolean isFunctionalInterfaceType(JNIEnv* env, jclass cls);
// A Java proxy implementing the functional interface by calling callable.
KIV_API jobject PyCallable_as_functional_interface(JNIEnv* env, PyObject* callable, jclass iface);
// value wrapped in a new kiv.python.PyObject, which owns one reference to it.
KIV_API jobject pyobject_as_jpyobject(JNIEnv* env, PyObject* value);
// Sets TypeError "Expected <class> but received a <type>."
KIV_API void pyobject_type_mismatch(JNIEnv* env, PyObject* value, jclass expected);

// ---- Python values to Java primitives, strings and arrays ----------------------------------

// Scalars: the failure value is also a legal value; test PyErr_Occurred().
KIV_API jboolean PyObject_As_jboolean(PyObject* value);
KIV_API jbyte PyObject_As_jbyte(PyObject* value);
KIV_API jshort PyObject_As_jshort(PyObject* value);
KIV_API jint PyObject_As_jint(PyObject* value);
KIV_API jlong PyObject_As_jlong(PyObject* value);
KIV_API jfloat PyObject_As_jfloat(PyObject* value);
KIV_API jdouble PyObject_As_jdouble(PyObject* value);
KIV_API jchar PyObject_As_jchar(PyObject* value);

// A str as a Java String with exactly its characters.
KIV_API jstring pyunicode_as_jstring(JNIEnv* env, PyObject* str);
// str(value) as a Java String.
KIV_API jstring PyObject_As_jstring(JNIEnv* env, PyObject* value);
// A list or tuple as a primitive array of the given primitive component class.
KIV_API jarray pysequence_as_jprimitive_array(JNIEnv* env, PyObject* seq, jclass component);
// The elements of a buffer as a primitive array of the given primitive element class
// (byte, short, int, long, float or double), after the caller checked its format.
KIV_API jarray pybuffer_as_jarray(JNIEnv* env, Py_buffer* view, jclass element);

// ---- NumPy ------------------------------------------------------------------------------

// 1 when value is a NumPy number scalar / ndarray, else 0.  Never import NumPy (no
// NumPy value exists before it was imported) and never leave an error set.
KIV_API int npy_scalar_check(PyObject* value);
KIV_API int npy_array_check(PyObject* value);
// A NumPy number scalar as the first box class of its kind that fits expected
// (float64: Double, Float; int64: Long, Integer, Short, Byte; ...).  nullptr with no
// error set when its kind (unsigned, complex, ...) or no box fits; the caller goes on.
KIV_API jobject convert_npy_scalar_jobject(JNIEnv* env, PyObject* value, jclass expected);
// An ndarray as: the kiv.DirectNDArray it was made over; a kiv.NDArray (copy, dims,
// unsigned flag) when one fits expected; else the primitive array of its dtype, all
// in row-major order and native values whatever the array's strides and byte order.
KIV_API jobject convert_pyndarray_jobject(JNIEnv* env, PyObject* value, jclass expected);
// Installs the _to_python hooks that turn kiv.NDArray and kiv.DirectNDArray objects
// into ndarrays, in the _kiv module being initialised; 0 on success.  Does not import
// NumPy: the hooks do, when they are first used.
KIV_API int load_numpy_conversions(JNIEnv* env);

namespace kiv {

// A Python str as a Java String holding exactly its characters: code points above
// U+FFFF become surrogate pairs and lone surrogates travel unchanged.  A new local
// reference, or nullptr with a Java OutOfMemoryError pending.  Never sets a Python
// error.  Requires: str is a str.
jstring unicode_to_jstring(JNIEnv* env, PyObject* str) noexcept;

// True when a value of class `from` can be used where `to` is expected.  (JNI's
// IsAssignableFrom, with its arguments named.)
inline bool assignable(JNIEnv* env, jclass from, jclass to) noexcept {
  return env->IsAssignableFrom(from, to) == JNI_TRUE;
}
inline bool same(JNIEnv* env, jobject a, jobject b) noexcept { return env->IsSameObject(a, b) == JNI_TRUE; }

// n as a Java array length or string length; OverflowError beyond 2**31 - 1.
bool to_jsize(Py_ssize_t n, jsize* out) noexcept;

// The Java objects that hold a Python object through a kiv.python.PyPointer.
enum class Holder { PyObject, Handler };
// The Python object at `address` that `holder` (a kiv.python.PyObject, or a proxy's
// InvocationHandler) holds, as a new reference; null with kiv.KivException "This
// kiv.python.PyObject has been released." pending when the holder's reference has been
// given back.  Requires the interpreter lock, and reads only fields, so keeps it: Java
// marks a reference given back before the decref native takes the lock, so the answer
// holds while the lock is held, and the reference returned keeps the object alive after.
PyObject* hold_object(JNIEnv* env, jobject holder, Holder kind, jlong address) noexcept;

}  // namespace kiv

// ---- Java type codes and argument matching -----------------------------------------

// The type code (JTYPE_*) of a class, or -1 with the Java exception pending.
KIV_API int get_jtype(JNIEnv* env, jclass cls);
// How well a Python argument fits a parameter of class cls and type code t: 0 not at
// all, higher better.  Never sets a Python error or leaves a Java exception.
KIV_API int pyarg_matches_jtype(JNIEnv* env, PyObject* arg, jclass cls, int t);
// The argument as a jvalue for the parameter; on failure TypeError "Error converting
// parameter <pos+1>: ..." (test PyErr_Occurred).
KIV_API jvalue convert_pyarg_jvalue(JNIEnv* env, PyObject* arg, jclass cls, int t, int pos);
