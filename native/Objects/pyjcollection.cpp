// Objects/pyjcollection.cpp: java.lang.Iterable, java.util.Iterator and
// java.util.Collection as Python protocols: for loops over Java iterables, next() on
// Java iterators, len() and `in` on Java collections.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;

namespace {

constexpr const char* kIterable = "java.lang.Iterable";
constexpr const char* kIterator = "java.util.Iterator";
constexpr const char* kCollection = "java.util.Collection";

// ---- java.lang.Iterable ----------------------------------------------------------------

// The Java iterator, as the wrapper of its class (which has the Iterator protocol).
PyObject* iterable_iter(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JITERABLE_TYPE, kIterable) : nullptr;
  if (!obj) return nullptr;
  LocalRef<jobject> it(env, java_lang_Iterable_iterator(env, obj));
  if (process_java_exception(env)) return nullptr;
  if (!it) {
    PyErr_SetString(PyExc_TypeError, "java.lang.Iterable returned a null value from iterator()");
    return nullptr;
  }
  return jobject_As_PyObject(env, it.get());
}

PyType_Slot iterable_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(KIV_PY_BOUNDARY(iterable_iter))},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Iterable")},
    {0, nullptr}};

// ---- java.util.Iterator ----------------------------------------------------------------

// hasNext(), then next(): the element converted, or nullptr with no error at the end.
// An exception from either (a concurrent modification, say) ends the loop with it.  Both
// run in one Java call (kiv.internal.NativeSupport.next), with the interpreter lock
// released around it.
PyObject* iterator_next(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JITERATOR_TYPE, kIterator) : nullptr;
  if (!obj) return nullptr;
  LocalRef<jobject> item(env, kiv_internal_NativeSupport_next(env, obj));
  if (process_java_exception(env)) return nullptr;
  if (item && env->IsInstanceOf(item.get(), KIV_SUPPORT_END_TYPE)) return nullptr;
  return jobject_As_PyObject(env, item.get());
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(KIV_PY_ITERNEXT_BOUNDARY(iterator_next))},
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Iterator")},
    {0, nullptr}};

// ---- java.util.Collection ----------------------------------------------------------------

Py_ssize_t collection_length(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JCOLLECTION_TYPE, kCollection) : nullptr;
  if (!obj) return -1;
  return kiv::checked_size(env, java_util_Collection_size(env, obj), "java.util.Collection.size()");
}

// contains() of the value converted for java.lang.Object (None as null).
int collection_contains(PyObject* self, PyObject* value) {
  JNIEnv* env = kiv::env_or_error();
  jobject obj = env ? kiv::java_self(env, self, JCOLLECTION_TYPE, kCollection) : nullptr;
  if (!obj) return -1;
  LocalRef<jobject> v(env, PyObject_As_jobject(env, value, JOBJECT_TYPE));
  if (!v && PyErr_Occurred()) return -1;
  jboolean found = java_util_Collection_contains(env, obj, v.get());
  if (process_java_exception(env)) return -1;
  return found ? 1 : 0;
}

PyType_Slot collection_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(KIV_PY_BOUNDARY(collection_length))},
    {Py_sq_contains, reinterpret_cast<void*>(KIV_PY_BOUNDARY(collection_contains))},
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Collection")},
    {0, nullptr}};

}  // namespace

// Interface types: no record of their own (size 0: the base's).
KIV_EXPORT PyType_Spec PyJIterator_Spec = {"java.util.Iterator", 0, 0, kiv::kProtocolFlags, iterator_slots};
KIV_EXPORT PyType_Spec PyJIterable_Spec = {"java.lang.Iterable", 0, 0, kiv::kProtocolFlags, iterable_slots};
KIV_EXPORT PyType_Spec PyJCollection_Spec = {"java.util.Collection", 0, 0, kiv::kProtocolFlags, collection_slots};
