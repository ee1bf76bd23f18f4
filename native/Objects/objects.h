// Objects/objects.h: the Python types that stand for Java objects, classes, methods,
// fields, arrays and monitors.  Each interpreter builds its own types from these
// specifications (see embed/module.cpp).
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"
#include "common/jref.h"

struct ModuleState;

// A per-class type: a type made by the metatype PyJType, holding a global reference to
// its Java class (null for Python subclasses of such types).
struct PyJTypeObject {
  PyHeapTypeObject type;
  jclass clazz;
  // Library-private: the protocol interfaces (one bit each, see java_self) that a
  // wrapper made with this type's own class was found to implement.
  unsigned checkedProtocols;
};

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
  // Library-private.
  PyObject* bound;        // methods of dict bound to this wrapper, made on first read
  PyObject* pytype;       // the per-class type of the class (strong), or null
  vectorcallfunc vectorcall;
};

// A Java array seen from Python.  A primitive array keeps its elements pinned in
// native memory for as long as the wrapper lives: Python reads and writes that memory,
// and Java sees Python's writes once they are committed; Python sees Java's writes
// after the next pin.
struct PyJArray {
  PyJObject base;
  int elemType;       // type code of the component type; -1 until known
  jclass elemClass;   // global reference to the component class, or null
  int length;         // -1 until known
  void* elements;     // pinned elements of a primitive array, or null
  jboolean elementsCopied;
  // Library-private.  The elements Python wrote since the last pin or commit,
  // [dirtyLow, dirtyHigh) (empty when dirtyLow >= dirtyHigh): a commit copies only
  // these back, so that it never overwrites what Java wrote to the others.
  int dirtyLow;
  int dirtyHigh;
  int exports;  // buffer views handed out and not released: all elements count as written
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
  // Library-private, filled with the fields above on first use: what a call needs per
  // parameter without asking Java again.
  vectorcallfunc vectorcall;
  jclass declaringClass;   // global reference
  jclass* paramClasses;    // lenParameters global references (PyMem)
  int* paramTypes;         // lenParameters type codes (PyMem)
  jclass varargComponent;  // global reference: component class of a variable-argument array
  int varargComponentType;
  int needsFrame;  // the arguments make JNI local references (reference parameters)
  // The class of the last object result and its Python type, so that a method that
  // keeps returning objects of one class finds their type without reflection.
  jclass lastResultClass;   // global reference or null
  PyObject* lastResultType;  // strong reference or null
  ModuleState* state;       // of the module whose types hold this method
  // The Python type of the last receiver that passed the instance check (strong
  // reference or null).  A wrapper made with its type's own class holds an object of
  // that class, so such a receiver of this type passes again without asking Java.
  PyObject* checkedReceiverType;
};

// Several Java methods of one name, dispatched by argument score.
struct PyJMultiMethod {
  PyObject_HEAD
  PyObject* methodList;
  // Library-private.
  vectorcallfunc vectorcall;
  void* dispatchCache;  // remembered choices by argument shape (PyMem), or null
  ModuleState* state;   // of the module whose types hold this overload set
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

// The protocol types that per-class types take as bases, by Java interface or class.
KIV_API PyType_Spec PyJAutoCloseable_Spec;
KIV_API PyType_Spec PyJIterator_Spec;
KIV_API PyType_Spec PyJIterable_Spec;
KIV_API PyType_Spec PyJCollection_Spec;
KIV_API PyType_Spec PyJList_Spec;
KIV_API PyType_Spec PyJMap_Spec;
KIV_API PyType_Spec PyJNumber_Spec;
KIV_API PyType_Spec PyJBuffer_Spec;

// ---- methods, overloads and constructors -------------------------------------------

// A method of java.lang.reflect.Method m; reads only its name now, the rest on first
// use.  New reference or nullptr + error.
KIV_API PyObject* PyJMethod_New(JNIEnv* env, ModuleState* state, jobject m);
// 1 for a PyJMethod or PyJConstructor of this module, else 0.
KIV_API int PyJMethod_Check(ModuleState* state, PyObject* obj);
// The number of declared parameters (initialising the method on first use), or -1 + error.
KIV_API int PyJMethod_GetParameterCount(PyJMethod* self, JNIEnv* env);
// How well args (receiver first) and kw fit: 0 not at all, higher better, -1 on error
// or keywords the method does not take.
KIV_API int PyJMethod_CheckArguments(PyJMethod* self, JNIEnv* env, PyObject* args, PyObject* kw);

KIV_API PyObject* PyJMultiMethod_New(ModuleState* state, PyObject* method1, PyObject* method2);
KIV_API int PyJMultiMethod_Check(ModuleState* state, PyObject* obj);
KIV_API int PyJMultiMethod_Append(ModuleState* state, PyObject* multimethod, PyObject* method);
KIV_API PyObject* PyJMultiMethod_GetName(PyObject* multimethod);

// A constructor of java.lang.reflect.Constructor c, fully read.  New reference or
// nullptr + error.
KIV_API PyObject* PyJConstructor_New(JNIEnv* env, ModuleState* state, jobject c);

// ---- fields ------------------------------------------------------------------------

KIV_API PyObject* PyJField_New(JNIEnv* env, ModuleState* state, jobject f);
KIV_API int PyJField_Check(ModuleState* state, PyObject* obj);
// The field's value on obj (an instance, or a class wrapper for a static field).
KIV_API PyObject* pyjfield_get(PyJField* self, PyObject* obj);
// Sets the field on obj; 0, or -1 with an error set.
KIV_API int pyjfield_set(PyJField* self, PyObject* obj, PyObject* value);
namespace kiv {
// The value of a static field that a read through pyjfield_get already found usable on
// this class wrapper (so that it is initialised and belongs to the wrapper's class),
// without checking again.
PyObject* static_field_get(PyJField* self) noexcept;
}  // namespace kiv

// ---- java.lang.Class ----------------------------------------------------------------

KIV_API PyObject* PyJClass_Wrap(JNIEnv* env, jclass cls);
// 1 if obj is a class wrapper, else 0; never leaves an error set.
KIV_API int PyJClass_Check(PyObject* obj);

// ---- arrays -----------------------------------------------------------------------------

// A wrapper of a Java array (its elements pinned when they are primitives).  The caller
// keeps its local reference.  New reference, or nullptr with a Python error set.
KIV_API PyObject* pyjarray_new(JNIEnv* env, jarray array);
// _kiv.jarray(size, typecode[, fill]) and _kiv.jarray(size, jclass).
KIV_API PyObject* pyjarray_new_v(PyObject* module, PyObject* args);
// 1 if obj is a Java array wrapper, else 0; never leaves an error set.
KIV_API int pyjarray_check(PyObject* obj);
// Pins the elements of a primitive array again, so that Python sees what Java wrote
// (Python writes not committed by then are lost).  Nonzero when a Java exception was
// pending; it is then the Python error.
KIV_API int pyjarray_pin(PyJArray* self);
// JNI_COMMIT: copies what Python wrote into the pinned elements back to the Java array
// and keeps them pinned.  JNI_ABORT: lets the pinned elements go without copying.
// (0: both.)  Makes no JNI call when nothing is pinned.
KIV_API void pyjarray_release_pinned(PyJArray* self, jint mode);
// The methods of kiv.PyJArray: __getitem__, index and commit.
KIV_API PyMethodDef pyjarray_methods[];

struct ModuleCaches;

namespace kiv {

// Empties the table of recently requested classes and their types that PyJType_Get
// keeps in the module caches (its global and strong references go).
void forget_recent_types(ModuleCaches* caches) noexcept;

// Re-pins every primitive array wrapper among args[first..nargs), after a Java call
// that may have written to them.
void repin_array_arguments(ModuleState* state, PyObject* const* args, Py_ssize_t first, Py_ssize_t nargs) noexcept;

// The entries of a java.util.Map as a new list of (key, value) tuples, each converted
// to Python, in the map's iteration order.  nullptr with a Python error set.
PyObject* java_map_items(JNIEnv* env, jobject map) noexcept;

// Deletes the global references of a record made by PyJObject_New (its object and,
// unless its type owns it, its class) and nulls them: the one place they are let go, for
// the deallocators of PyJObject and the types built on it.
void release_java_refs(PyJObject* self) noexcept;

// The global reference to its Java class that a per-class type (one made by the
// metatype PyJType for a Java class) holds, which the type's wrappers share; nullptr for
// any other type.
jclass class_of_type(PyTypeObject* type) noexcept;

// Whether a Java object wrapper was made with its per-class type's own class, as every
// wrapper the library makes for an object is: its object is then exactly of that class,
// so what one such wrapper was found to be, every wrapper of the type is.
bool of_own_class(PyObject* wrapper) noexcept;

// The Java object a wrapper stands for: its object, or for a class wrapper its class.
inline jobject target_of(PyObject* wrapper) noexcept {
  auto* o = reinterpret_cast<PyJObject*>(wrapper);
  return o->object ? o->object : o->clazz;
}

}  // namespace kiv
