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

// 1 if obj is a PyJObject (the module's java.lang.Object type or a subtype), else 0;
// never leaves an error set.
KIV_API int PyJObject_Check(PyObject* obj);

namespace kiv {

// Deletes a global reference if this thread can reach the JVM.  For deallocators:
// they may run on threads the JVM does not know, where the reference has to leak.
void delete_global_ref(jobject ref) noexcept;

}  // namespace kiv
