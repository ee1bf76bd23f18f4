// Objects/pyjmonitor.cpp: with-statements over Java monitors, as Java's synchronized
// blocks.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "common/gil.h"
#include "common/checks.h"
#include "common/pyref.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

KIV_API void pyjmonitor_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* m = reinterpret_cast<PyJMonitor*>(self);
  kiv::delete_global_ref(m->lock);
  m->lock = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

namespace {

int pyjmonitor_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// Enters the monitor.  The interpreter lock is released while waiting for it, so the
// thread that holds the monitor (maybe another Python thread) can go on and leave it.
PyObject* pyjmonitor_enter(PyObject* self, PyObject*) {
  JNIEnv* env = pyembed_get_env();
  jobject lock = reinterpret_cast<PyJMonitor*>(self)->lock;
  if (!env || !lock) {
    PyErr_SetString(PyExc_RuntimeError, "This monitor holds no Java object");
    return nullptr;
  }
  jint rc;
  {
    kiv::AllowThreads nogil;
    rc = env->MonitorEnter(lock);
  }
  if (rc < 0) {
    if (!process_java_exception(env)) PyErr_SetString(PyExc_RuntimeError, "Couldn't enter the Java monitor");
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* pyjmonitor_exit(PyObject* self, PyObject*) {
  JNIEnv* env = pyembed_get_env();
  jobject lock = reinterpret_cast<PyJMonitor*>(self)->lock;
  if (!env || !lock) {
    PyErr_SetString(PyExc_RuntimeError, "This monitor holds no Java object");
    return nullptr;
  }
  if (env->MonitorExit(lock) < 0) {
    if (!process_java_exception(env)) PyErr_SetString(PyExc_RuntimeError, "Couldn't exit the Java monitor");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef pyjmonitor_methods[] = {
    {"__enter__", KIV_PY_BOUNDARY(pyjmonitor_enter), METH_NOARGS, "__enter__ for Python ContextManager that locks"},
    {"__exit__", KIV_PY_BOUNDARY(pyjmonitor_exit), METH_VARARGS, "__exit__ for Python ContextManager that unlocks"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot pyjmonitor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjmonitor_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmonitor_traverse)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_methods, pyjmonitor_methods},
    {Py_tp_doc, const_cast<char*>("jmonitor")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJMonitor_Spec = {
    "kiv.PyJMonitor",
    sizeof(PyJMonitor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjmonitor_slots,
};

KIV_API PyObject* PyJMonitor_New(jobject obj) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  kiv::GlobalRef<jobject> lock = kiv::GlobalRef<jobject>::make(env, obj);
  if (!lock) {
    if (!process_java_exception(env)) PyErr_NoMemory();
    return nullptr;
  }
  PyTypeObject* type = state->PyJMonitor_Type;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<PyJMonitor*>(self)->lock = lock.release();  // until pyjmonitor_dealloc
  return self;
}
