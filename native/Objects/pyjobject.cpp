// Objects/pyjobject.cpp: java.lang.Object, the root of every Java object type: str(),
// hash(), comparisons and `synchronized` follow the Java object.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

namespace {

// The Java object self stands for; nullptr with a Python error set for a record that
// holds none (which Kiv never makes, but a slot must not hand JNI a null receiver).
jobject target_or_error(PyObject* self) {
  jobject t = kiv::target_of(self);
  if (!t) PyErr_SetString(PyExc_RuntimeError, "This Java object wrapper holds no Java object");
  return t;
}

void pyjobject_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  kiv::release_java_refs(reinterpret_cast<PyJObject*>(self));
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjobject_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* pyjobject_str(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject target = env ? target_or_error(self) : nullptr;
  if (!target) return nullptr;
  return jobject_As_PyString(env, target);
}

Py_hash_t pyjobject_hash(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject target = env ? target_or_error(self) : nullptr;
  if (!target) return -1;
  jint h = java_lang_Object_hashCode(env, target);
  if (process_java_exception(env)) return -1;
  return h == -1 ? -2 : static_cast<Py_hash_t>(h);
}

// equals() of a with b: 1, 0, or -1 with a Python error set.
int java_equals(JNIEnv* env, jobject a, jobject b) {
  jboolean eq = java_lang_Object_equals(env, a, b);
  if (process_java_exception(env)) return -1;
  return eq ? 1 : 0;
}

// compareTo() for <, <=, >, >=: a new bool, NotImplemented, or nullptr + error.
PyObject* java_order(JNIEnv* env, PyObject* self, jobject a, jobject b, int op) {
  if (!env->IsInstanceOf(a, JCOMPARABLE_TYPE)) {
    PyErr_Format(PyExc_TypeError, "Invalid comparison operation for Java type %s", Py_TYPE(self)->tp_name);
    return nullptr;
  }
  jint r = java_lang_Comparable_compareTo(env, a, b);
  if (env->ExceptionCheck()) {
    kiv::LocalRef<jthrowable> exc(env, env->ExceptionOccurred());
    env->ExceptionClear();
    // compareTo refusing the other object's class: let Python try the reflected
    // comparison, or give its own TypeError.
    if (env->IsInstanceOf(exc.get(), CLASSCAST_EXC_TYPE)) Py_RETURN_NOTIMPLEMENTED;
    env->Throw(exc.get());
    process_java_exception(env);
    return nullptr;
  }
  bool result = (op == Py_LT || op == Py_LE) ? r < 0 : r > 0;
  return PyBool_FromLong(result);
}

PyObject* pyjobject_richcompare(PyObject* self, PyObject* other, int op) {
  if (!PyJObject_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  JNIEnv* env = kiv::env_or_error();
  jobject a = env ? target_or_error(self) : nullptr;
  jobject b = a ? target_or_error(other) : nullptr;
  if (!b) return nullptr;
  switch (op) {
    case Py_EQ: {
      if (self == other || kiv::same(env, a, b)) Py_RETURN_TRUE;
      int eq = java_equals(env, a, b);
      return eq < 0 ? nullptr : PyBool_FromLong(eq);
    }
    case Py_NE: {
      int eq = java_equals(env, a, b);
      return eq < 0 ? nullptr : PyBool_FromLong(!eq);
    }
    case Py_LE:
    case Py_GE: {
      int eq = java_equals(env, a, b);
      if (eq < 0) return nullptr;
      if (eq) Py_RETURN_TRUE;
      return java_order(env, self, a, b, op);
    }
    default:
      return java_order(env, self, a, b, op);
  }
}

PyObject* pyjobject_java_name(PyObject* self, void*) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  jclass clazz = reinterpret_cast<PyJObject*>(self)->clazz;
  if (!clazz) {
    PyErr_SetString(PyExc_RuntimeError, "This Java object wrapper holds no Java class");
    return nullptr;
  }
  kiv::LocalRef<jstring> name(env, static_cast<jstring>(java_lang_Class_getName(env, clazz)));
  if (process_java_exception(env)) return nullptr;
  if (!name) {
    PyErr_SetString(PyExc_RuntimeError, "The Java class has no name");
    return nullptr;
  }
  return jstring_As_PyString(env, name.get());
}

PyObject* pyjobject_get_class(PyObject* self, void*) { return Py_NewRef(Py_TYPE(self)); }

// A Java object's Python type follows its Java class: reassigning it would send the
// methods of one class to an object of another.
int pyjobject_set_class(PyObject*, PyObject*, void*) {
  PyErr_SetString(PyExc_TypeError, "__class__ assignment is not supported for Java objects");
  return -1;
}

PyObject* pyjobject_synchronized(PyObject* self, PyObject*) {
  jobject target = target_or_error(self);
  if (!target) return nullptr;
  return PyJMonitor_New(target);
}

PyMethodDef pyjobject_methods[] = {
    {"synchronized", KIV_PY_BOUNDARY(pyjobject_synchronized), METH_NOARGS,
     "synchronized that emulates Java's synchronized { obj } and returns a Python ContextManager"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef pyjobject_getset[] = {
    {"java_name", KIV_PY_BOUNDARY(pyjobject_java_name), nullptr, nullptr, nullptr},
    {"__class__", KIV_PY_BOUNDARY(pyjobject_get_class), KIV_PY_BOUNDARY(pyjobject_set_class), nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot pyjobject_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjobject_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjobject_traverse)},
    {Py_tp_hash, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjobject_hash))},
    {Py_tp_str, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjobject_str))},
    {Py_tp_richcompare, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjobject_richcompare))},
    {Py_tp_methods, pyjobject_methods},
    {Py_tp_getset, pyjobject_getset},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Object")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJObject_Spec = {
    "java.lang.Object",
    sizeof(PyJObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjobject_slots,
};

KIV_API PyObject* PyJObject_New(JNIEnv* env, PyTypeObject* type, jobject obj, jclass clazz) {
  if (!obj && !clazz) {
    PyErr_SetString(PyExc_RuntimeError, "A Java object wrapper needs an object or a class");
    return nullptr;
  }
  kiv::LocalRef<jclass> objectClass;
  if (!clazz) {
    objectClass = kiv::LocalRef<jclass>(env, env->GetObjectClass(obj));
    clazz = objectClass.get();
  }
  // The type's own class reference when it is this class: wrappers of one class share
  // it (the type outlives its wrappers), and no reference is made per wrapper.
  jclass shared = kiv::class_of_type(type);
  if (shared && !kiv::same(env, shared, clazz)) shared = nullptr;
  kiv::GlobalRef<jobject> object = kiv::GlobalRef<jobject>::make(env, obj);
  kiv::GlobalRef<jclass> cls = shared ? kiv::GlobalRef<jclass>() : kiv::GlobalRef<jclass>::make(env, clazz);
  if ((obj && !object) || (!shared && !cls)) {
    env->ExceptionClear();
    return PyErr_NoMemory();
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  // From here the record owns them, until release_java_refs.
  auto* o = reinterpret_cast<PyJObject*>(self);
  o->object = object.release();
  o->clazz = shared ? shared : cls.release();
  return self;
}

namespace kiv {

void release_java_refs(PyJObject* self) noexcept {
  delete_global_ref(self->object);
  if (self->clazz != class_of_type(Py_TYPE(self))) delete_global_ref(self->clazz);
  self->object = nullptr;
  self->clazz = nullptr;
}

}  // namespace kiv

KIV_API int PyJObject_Check(PyObject* obj) {
  // The module is looked up without setting an error: this check may run while an
  // error is pending, or during interpreter shutdown when _kiv is gone.
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  ModuleState* state = m ? static_cast<ModuleState*>(PyModule_GetState(m)) : nullptr;
  if (!state || !state->PyJObject_Type) return 0;
  return PyObject_TypeCheck(obj, state->PyJObject_Type);
}
