// convert/argmatch.cpp: classifying Java classes by type code, scoring how well a
// Python argument fits a Java parameter, and converting one argument.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jtype.h"
#include "exceptions/exceptions.h"

using kiv::assignable;
using kiv::same;

KIV_API int get_jtype(JNIEnv* env, jclass cls) {
  if (assignable(env, cls, JOBJECT_TYPE)) {
    if (same(env, cls, JSTRING_TYPE)) return JTYPE_STRING;
    if (env->ExceptionCheck()) return -1;
    jboolean isArray = java_lang_Class_isArray(env, cls);
    if (env->ExceptionCheck()) return -1;
    if (isArray) return JTYPE_ARRAY;
    return assignable(env, cls, JCLASS_TYPE) ? JTYPE_CLASS : JTYPE_OBJECT;
  }
  static const struct {
    jclass* cls;
    int code;
  } kPrimitives[] = {{&JINT_TYPE, JTYPE_INT},         {&JDOUBLE_TYPE, JTYPE_DOUBLE}, {&JFLOAT_TYPE, JTYPE_FLOAT},
                     {&JLONG_TYPE, JTYPE_LONG},       {&JBOOLEAN_TYPE, JTYPE_BOOLEAN}, {&JVOID_TYPE, JTYPE_VOID},
                     {&JCHAR_TYPE, JTYPE_CHAR},       {&JBYTE_TYPE, JTYPE_BYTE},     {&JSHORT_TYPE, JTYPE_SHORT}};
  for (const auto& p : kPrimitives) {
    bool match = same(env, cls, *p.cls);
    if (env->ExceptionCheck()) return -1;
    if (match) return p.code;
  }
  return -1;
}

namespace {

// Scores for a reference parameter: `exact` when the parameter is K, 1 when it is
// java.lang.Object, `super` when K may be used for it.
int object_score(JNIEnv* env, jclass param, jclass k, int exact, int super) {
  if (same(env, k, param)) return exact;
  if (same(env, JOBJECT_TYPE, param)) return 1;
  if (assignable(env, k, param)) return super;
  return 0;
}

}  // namespace

KIV_API int pyarg_matches_jtype(JNIEnv* env, PyObject* arg, jclass cls, int t) {
  if (t < 0 || t > JTYPE_CLASS || t == JTYPE_VOID) return 0;
  if (Py_IS_TYPE(arg, &PyBool_Type)) {
    switch (t) {
      case JTYPE_BOOLEAN: return 8;
      case JTYPE_BYTE: return 7;
      case JTYPE_SHORT: return 6;
      case JTYPE_INT: return 5;
      case JTYPE_LONG: return 4;
      case JTYPE_OBJECT: return object_score(env, cls, JBOOL_OBJ_TYPE, 3, 2);
      default: return 0;
    }
  }
  if (PyLong_Check(arg)) {
    switch (t) {
      case JTYPE_LONG: return 11;
      case JTYPE_INT: return 10;
      case JTYPE_DOUBLE: return 9;
      case JTYPE_FLOAT: return 8;
      case JTYPE_SHORT: return 7;
      case JTYPE_BYTE: return 6;
      case JTYPE_BOOLEAN: return 5;
      case JTYPE_OBJECT:
        if (same(env, JLONG_OBJ_TYPE, cls)) return 4;
        if (same(env, JINT_OBJ_TYPE, cls)) return 3;
        if (same(env, JOBJECT_TYPE, cls)) return 1;
        return assignable(env, JLONG_OBJ_TYPE, cls) ? 2 : 0;
      default: return 0;
    }
  }
  if (PyUnicode_Check(arg)) {
    switch (t) {
      case JTYPE_STRING: return 3;
      case JTYPE_CHAR: return PyUnicode_GET_LENGTH(arg) == 1 ? 2 : 0;
      case JTYPE_OBJECT: return assignable(env, JSTRING_TYPE, cls) ? 1 : 0;
      default: return 0;
    }
  }
  if (PyFloat_Check(arg)) {
    switch (t) {
      case JTYPE_DOUBLE: return 6;
      case JTYPE_FLOAT: return 5;
      case JTYPE_OBJECT:
        if (same(env, JDOUBLE_OBJ_TYPE, cls)) return 4;
        if (same(env, JFLOAT_OBJ_TYPE, cls)) return 3;
        if (same(env, JOBJECT_TYPE, cls)) return 1;
        return assignable(env, JDOUBLE_OBJ_TYPE, cls) ? 2 : 0;
      default: return 0;
    }
  }
  if (arg == Py_None) {
    switch (t) {
      case JTYPE_OBJECT: return 4;
      case JTYPE_ARRAY: return 3;
      case JTYPE_STRING: return 2;
      case JTYPE_CLASS: return 1;
      default: return 0;
    }
  }
  if (PyJClass_Check(arg)) {
    if (t == JTYPE_CLASS) return 2;
    if (t == JTYPE_OBJECT) return assignable(env, JCLASS_TYPE, cls) ? 1 : 0;
    return 0;
  }
  if (PyJObject_Check(arg)) {
    if (t != JTYPE_OBJECT && t != JTYPE_ARRAY) return 0;
    jclass k = reinterpret_cast<PyJObject*>(arg)->clazz;
    return k ? object_score(env, cls, k, 3, 2) : 0;
  }
  if (PyList_Check(arg)) {
    switch (t) {
      case JTYPE_BOOLEAN: return 1;
      case JTYPE_ARRAY: return 3;
      case JTYPE_OBJECT:
        if (same(env, JOBJECT_TYPE, cls)) return 2;
        if (same(env, JARRAYLIST_TYPE, cls)) return 4;
        return assignable(env, JLIST_TYPE, cls) ? 3 : 0;
      default: return 0;
    }
  }
  if (PyTuple_Check(arg)) {
    switch (t) {
      case JTYPE_BOOLEAN: return 1;
      case JTYPE_ARRAY: return 3;
      case JTYPE_OBJECT:
        if (same(env, JOBJECT_TYPE, cls)) return 2;
        return assignable(env, JLIST_TYPE, cls) ? 3 : 0;
      default: return 0;
    }
  }
  if (PyDict_Check(arg)) {
    switch (t) {
      case JTYPE_BOOLEAN: return 1;
      case JTYPE_OBJECT:
        if (same(env, JOBJECT_TYPE, cls)) return 2;
        return assignable(env, JMAP_TYPE, cls) ? 3 : 0;
      default: return 0;
    }
  }
  return 0;
}

namespace kiv {

// Replaces the pending error by TypeError "Error converting parameter <pos+1>: <text>".
KIV_NOINLINE void parameter_error(int pos) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyRef text = PyRef::steal(exc ? PyObject_Str(exc) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyObject_Str(exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None));
  }
  Py_XDECREF(exc);
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "Error converting parameter %d: %U", pos + 1, text ? text.get() : Py_None);
}

// The argument for a parameter whose class and type code are known: primitives go
// straight to their scalar conversion, references to PyObject_As_jobject.  Same results
// and messages as convert_pyarg_jvalue, without classifying the class again.
jvalue convert_arg(JNIEnv* env, PyObject* arg, jclass cls, int t, int pos) noexcept {
  jvalue v;
  v.j = 0;
  switch (t) {
    case JTYPE_INT: v.i = PyObject_As_jint(arg); break;
    case JTYPE_LONG: v.j = PyObject_As_jlong(arg); break;
    case JTYPE_DOUBLE: v.d = PyObject_As_jdouble(arg); break;
    case JTYPE_FLOAT: v.f = PyObject_As_jfloat(arg); break;
    case JTYPE_BOOLEAN: v.z = PyObject_As_jboolean(arg); break;
    case JTYPE_CHAR: v.c = PyObject_As_jchar(arg); break;
    case JTYPE_BYTE: v.b = PyObject_As_jbyte(arg); break;
    case JTYPE_SHORT: v.s = PyObject_As_jshort(arg); break;
    default: return convert_pyarg_jvalue(env, arg, cls, t, pos);
  }
  if (KIV_UNLIKELY(PyErr_Occurred())) parameter_error(pos);
  return v;
}

}  // namespace kiv

KIV_API jvalue convert_pyarg_jvalue(JNIEnv* env, PyObject* arg, jclass cls, int, int pos) {
  jvalue v = PyObject_As_jvalue(env, arg, cls);
  if (KIV_UNLIKELY(PyErr_Occurred())) kiv::parameter_error(pos);
  return v;
}
