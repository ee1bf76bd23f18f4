// Objects/objects.h: the Python types that stand for Java objects, classes, methods,
// fields, arrays and monitors.  Each interpreter builds its own types from these
// specifications (see embed/module.cpp).
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"

// A Java object (or, in a class wrapper, a Java class) seen from Python.
struct PyJObject {
  PyObject_HEAD
  jobject object;  // global reference; null in a class wrapper
  jclass clazz;    // global reference; never null in a built record
};

// A java.lang.Class seen from Python.
struct PyJClass {
  PyJObject base;
  PyObject* constructor;  // PyJConstructor or PyJMultiMethod; null until first call
  PyObject* dict;         // the wrapper's attributes
};

// A Java array seen from Python.
struct PyJArray {
  PyJObject base;
  int elemType;       // type code of the component type; -1 until known
  jclass elemClass;   // global reference or null
  int length;         // -1 until known
  void* elements;     // pinned elements of a primitive array, or null
  jboolean elementsCopied;
};

struct PyJArrayIter {
  PyObject_HEAD
  long long index;
  PyObject* array;  // owned; null once exhausted
};

// A Java method (or, in a PyJConstructor, a constructor).
struct PyJMethod {
  PyObject_HEAD
  jmethodID methodId;
  jobject rmethod;  // global reference to the java.lang.reflect.Method / Constructor
  int returnTypeId;
  PyObject* pyMethodName;
  jobjectArray parameters;  // global reference; null until initialised
  int lenParameters;
  int isStatic;
  int isVarArgs;
  int isKwArgs;
};

// Several Java methods of one name, dispatched by argument score.
struct PyJMultiMethod {
  PyObject_HEAD
  PyObject* methodList;
};

// A Java field.
struct PyJField {
  PyObject_HEAD
  jfieldID fieldId;
  jobject rfield;    // global reference to the java.lang.reflect.Field
  jclass fieldType;  // global reference, set on initialisation
  int fieldTypeId;
  PyObject* pyFieldName;
  int isStatic;
  int init;
};

// A with-statement context that holds a Java monitor.
struct PyJMonitor {
  PyObject_HEAD
  jobject lock;  // global reference
};

// The type specifications, one per library type.
KIV_API PyType_Spec PyJType_Spec;
KIV_API PyType_Spec PyJField_Spec;
KIV_API PyType_Spec PyJMethod_Spec;
KIV_API PyType_Spec PyJConstructor_Spec;
KIV_API PyType_Spec PyJMultiMethod_Spec;
KIV_API PyType_Spec PyJObject_Spec;
KIV_API PyType_Spec PyJClass_Spec;
KIV_API PyType_Spec PyJArray_Spec;
KIV_API PyType_Spec PyJMonitor_Spec;
KIV_API PyType_Spec PyJArrayIter_Spec;

// ---- java.lang.Object and monitors ---------------------------------------------------

// A new record of `type` for obj and its class (clazz may be null when obj is not: the
// object's class is used).  Takes global references of its own.  New reference or
// nullptr with a Python error set.
KIV_API PyObject* PyJObject_New(JNIEnv* env, PyTypeObject* type, jobject obj, jclass clazz);
// 1 if obj is a PyJObject (the module's java.lang.Object type or a subtype), else 0;
// never leaves an error set.
KIV_API int PyJObject_Check(PyObject* obj);
// A context manager that holds the monitor of obj.
KIV_API PyObject* PyJMonitor_New(jobject obj);
KIV_API void pyjmonitor_dealloc(PyObject* self);

// ---- types for Java classes -----------------------------------------------------------

// The Python type for instances of cls (a new reference), or nullptr + error.
KIV_API PyObject* PyJType_Get(JNIEnv* env, jclass cls);

// ---- java.lang.Class ----------------------------------------------------------------

KIV_API PyObject* PyJClass_Wrap(JNIEnv* env, jclass cls);
// 1 if obj is a class wrapper, else 0; never leaves an error set.
KIV_API int PyJClass_Check(PyObject* obj);

// ---- arrays -----------------------------------------------------------------------------

KIV_API PyObject* pyjarray_new(JNIEnv* env, jarray array);
// 1 if obj is a Java array wrapper, else 0; never leaves an error set.
KIV_API int pyjarray_check(PyObject* obj);
// Gives pinned elements back to the Java array with mode JNI_COMMIT or JNI_ABORT.
KIV_API void pyjarray_release_pinned(PyJArray* self, jint mode);

namespace kiv {

// The Java object a wrapper stands for: its object, or for a class wrapper its class.
inline jobject target_of(PyObject* wrapper) noexcept {
  auto* o = reinterpret_cast<PyJObject*>(wrapper);
  return o->object ? o->object : o->clazz;
}

// Deletes a global reference if this thread can reach the JVM.  For deallocators:
// they may run on threads the JVM does not know, where the reference has to leak.
void delete_global_ref(jobject ref) noexcept;

}  // namespace kiv
