// Objects/pyjprotocols.cpp: what the protocol types share, and java.lang.AutoCloseable,
// which makes every Java auto-closeable a Python context manager.
//
// Each interpreter makes its own protocol types from the specifications of this unit,
// pyjcollection.cpp, pyjlist.cpp, pyjmap.cpp, pyjnumber.cpp and pyjbuffer.cpp (see
// pyjtype.cpp) and puts them among the bases of the per-class types of the classes that
// extend or implement the Java type.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

namespace kiv {

namespace {

// The bit of a protocol interface in PyJTypeObject::checkedProtocols, or 0.
unsigned protocol_bit(jclass iface) noexcept {
  const jclass protocols[] = {JAUTOCLOSEABLE_TYPE, JITERATOR_TYPE, JITERABLE_TYPE, JCOLLECTION_TYPE,
                              JLIST_TYPE,          JMAP_TYPE,      JNUMBER_TYPE,   JBUFFER_TYPE};
  for (unsigned i = 0; i < sizeof protocols / sizeof protocols[0]; ++i) {
    if (iface == protocols[i]) return 1u << i;
  }
  return 0;
}

}  // namespace

jobject java_self(JNIEnv* env, PyObject* self, jclass iface, const char* what) noexcept {
  // Once one wrapper of its type's own class was found to implement iface, every such
  // wrapper of the type does.
  if (of_own_class(self)) {
    jobject own = reinterpret_cast<PyJObject*>(self)->object;
    auto* jtype = reinterpret_cast<PyJTypeObject*>(Py_TYPE(self));
    unsigned bit = protocol_bit(iface);
    if (KIV_LIKELY(own && bit)) {
      if (KIV_LIKELY(jtype->checkedProtocols & bit)) return own;
      if (env->IsInstanceOf(own, iface)) {
        jtype->checkedProtocols |= bit;
        return own;
      }
    }
  }
  jobject obj = PyJObject_Check(self) ? reinterpret_cast<PyJObject*>(self)->object : nullptr;
  if (KIV_LIKELY(obj && env->IsInstanceOf(obj, iface))) return obj;
  PyErr_Format(PyExc_TypeError, "%s requires a Java object", what);
  return nullptr;
}

bool null_or_failed(JNIEnv* env, jobject result, const char* what) noexcept {
  if (process_java_exception(env)) return true;
  if (result) return false;
  PyErr_Format(PyExc_RuntimeError, "%s returned null", what);
  return true;
}

Py_ssize_t checked_size(JNIEnv* env, jint size, const char* what) noexcept {
  if (process_java_exception(env)) return -1;
  if (size < 0) {
    PyErr_Format(PyExc_ValueError, "%s returned a negative value", what);
    return -1;
  }
  return size;
}

PyObject* slice_values(PyObject* value, Py_ssize_t start, Py_ssize_t stop, const char* kind) noexcept {
  PyObject* items = PySequence_Check(value) ? PySequence_Fast(value, "not a sequence") : nullptr;
  if (!items) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "%s can only slice assign a sequence", kind);
    }
    return nullptr;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  if (n != stop - start) {
    Py_DECREF(items);
    PyErr_Format(PyExc_IndexError,
                 "%s only supports assigning a sequence of the same size as the slice, slice = [%zd:%zd], "
                 "value size=%zd",
                 kind, start, stop, n);
    return nullptr;
  }
  return items;
}

}  // namespace kiv

namespace {

constexpr const char* kAutoCloseable = "java.lang.AutoCloseable";

PyObject* autocloseable_enter(PyObject* self, PyObject*) {
  JNIEnv* env = kiv::env_or_error();
  if (!env || !kiv::java_self(env, self, JAUTOCLOSEABLE_TYPE, kAutoCloseable)) return nullptr;
  return Py_NewRef(self);
}

// Closes the Java object, whatever the with block did; an exception from the block is
// never suppressed (the result is None), and one from close() is raised (chained to the
// block's, if any).
PyObject* autocloseable_exit(PyObject* self, PyObject*) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JAUTOCLOSEABLE_TYPE, kAutoCloseable) : nullptr;
  if (!obj) return nullptr;
  java_lang_AutoCloseable_close(env, obj);
  if (process_java_exception(env)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef autocloseable_methods[] = {
    {"__enter__", KIV_PY_BOUNDARY(autocloseable_enter), METH_NOARGS, "__enter__ for Python ContextManager"},
    {"__exit__", KIV_PY_BOUNDARY(autocloseable_exit), METH_VARARGS, "__exit__ for Python ContextManager"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot autocloseable_slots[] = {
    {Py_tp_methods, autocloseable_methods},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.AutoCloseable")},
    {0, nullptr}};

}  // namespace

// An interface type: no record of its own (size 0: the base's).
KIV_EXPORT PyType_Spec PyJAutoCloseable_Spec = {"java.lang.AutoCloseable", 0, 0, kiv::kProtocolFlags,
                                                autocloseable_slots};
