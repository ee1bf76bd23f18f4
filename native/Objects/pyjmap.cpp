// Objects/pyjmap.cpp: java.util.Map as a Python mapping: len(), `in`, m[k], m[k] = v,
// del m[k], iteration over the keys, keys() and items().  Keys and values cross with
// the ordinary conversions (a Python key is looked up by the Java equals and hashCode
// of its converted form), so a key mapped to null reads as None and an absent key
// raises KeyError.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr const char* kMap = "java.util.Map";

jobject map_of(PyObject* self, JNIEnv** env) {
  *env = kiv::env_or_error();
  return *env ? kiv::java_self(*env, self, JMAP_TYPE, kMap) : nullptr;
}

// A key or value converted for java.lang.Object: a local reference, or nullptr for None
// (no error) or a failure (error set).
jobject to_java(JNIEnv* env, PyObject* value) { return PyObject_As_jobject(env, value, JOBJECT_TYPE); }

// KeyError "KeyError: <str(key)>".  str() of the key stays a Python string, so any key
// (one with lone surrogates too) makes a message, and an error from str() wins.
KIV_NOINLINE void key_error(PyObject* key) { PyErr_Format(PyExc_KeyError, "KeyError: %S", key); }

// containsKey(key): 1, 0, or -1 with the Java exception translated.
int contains_key(JNIEnv* env, jobject map, jobject key) {
  jboolean found = java_util_Map_containsKey(env, map, key);
  if (process_java_exception(env)) return -1;
  return found ? 1 : 0;
}

Py_ssize_t map_length(PyObject* self) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return -1;
  return kiv::checked_size(env, java_util_Map_size(env, map), "java.util.Map.size()");
}

int map_contains(PyObject* self, PyObject* key) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return -1;
  LocalRef<jobject> k(env, to_java(env, key));
  if (!k && PyErr_Occurred()) return -1;
  return contains_key(env, map, k.get());
}

// get(key); a null answer is told apart from an absent key by containsKey, asked with
// the same converted key.
PyObject* map_subscript(PyObject* self, PyObject* key) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return nullptr;
  LocalRef<jobject> k(env, to_java(env, key));
  if (!k && PyErr_Occurred()) return nullptr;
  LocalRef<jobject> value;
  jboolean present = JNI_TRUE;
  {
    kiv::AllowThreads nogil;  // once around both calls
    value = LocalRef<jobject>(env, kiv::keep_lock::java_util_Map_get(env, map, k.get()));
    if (!value && !env->ExceptionCheck()) present = kiv::keep_lock::java_util_Map_containsKey(env, map, k.get());
  }
  if (process_java_exception(env)) return nullptr;
  if (!present) {
    key_error(key);
    return nullptr;
  }
  return jobject_As_PyObject(env, value.get());
}

int map_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return -1;
  if (value) {
    LocalRef<jobject> v(env, to_java(env, value));
    if (!v && PyErr_Occurred()) return -1;
    LocalRef<jobject> k(env, to_java(env, key));
    if (!k && PyErr_Occurred()) return -1;
    LocalRef<jobject> previous(env, java_util_Map_put(env, map, k.get(), v.get()));
    return process_java_exception(env) ? -1 : 0;
  }
  LocalRef<jobject> k(env, to_java(env, key));
  if (!k && PyErr_Occurred()) return -1;
  int present = contains_key(env, map, k.get());
  if (present <= 0) {
    if (present == 0) key_error(key);
    return -1;
  }
  LocalRef<jobject> previous(env, java_util_Map_remove(env, map, k.get()));
  return process_java_exception(env) ? -1 : 0;
}

// An iterator over the keys: keySet().iterator(), as its Java wrapper.
PyObject* map_iter(PyObject* self) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return nullptr;
  LocalRef<jobject> keys(env, java_util_Map_keySet(env, map));
  if (kiv::null_or_failed(env, keys.get(), "Map.keySet()")) return nullptr;
  LocalRef<jobject> it(env, java_lang_Iterable_iterator(env, keys.get()));
  if (kiv::null_or_failed(env, it.get(), "Map.keySet().iterator()")) return nullptr;
  return jobject_As_PyObject(env, it.get());
}

// The live key set (a Java Set: iterable, with len() and `in`).
PyObject* map_keys(PyObject* self, PyObject*) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  if (!map) return nullptr;
  LocalRef<jobject> keys(env, java_util_Map_keySet(env, map));
  if (process_java_exception(env)) return nullptr;
  return jobject_As_PyObject(env, keys.get());
}

PyObject* map_items(PyObject* self, PyObject*) {
  JNIEnv* env;
  jobject map = map_of(self, &env);
  return map ? kiv::java_map_items(env, map) : nullptr;
}

PyMethodDef map_methods[] = {
    {"keys", KIV_PY_BOUNDARY(map_keys), METH_NOARGS, "Returns a list of keys in the map"},
    {"items", KIV_PY_BOUNDARY(map_items), METH_NOARGS,
     "Returns a list of the items in the map, where each item is a tuple containing a key-value pair"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot map_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(KIV_PY_BOUNDARY(map_iter))},
    {Py_sq_contains, reinterpret_cast<void*>(KIV_PY_BOUNDARY(map_contains))},
    {Py_mp_length, reinterpret_cast<void*>(KIV_PY_BOUNDARY(map_length))},
    {Py_mp_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(map_subscript))},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(map_ass_subscript))},
    {Py_tp_methods, map_methods},
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Map")},
    {0, nullptr}};

}  // namespace

namespace kiv {

// Walks entrySet() for as long as hasNext() is true, not size() times: the size of a
// concurrent map and what its iterator yields may disagree.
PyObject* java_map_items(JNIEnv* env, jobject map) noexcept {
  LocalRef<jobject> entries(env, java_util_Map_entrySet(env, map));
  if (null_or_failed(env, entries.get(), "Map.entrySet()")) return nullptr;
  LocalRef<jobject> it(env, java_lang_Iterable_iterator(env, entries.get()));
  if (null_or_failed(env, it.get(), "Map.entrySet().iterator()")) return nullptr;
  PyRef items = PyRef::steal(PyList_New(0));
  if (!items) return nullptr;
  for (;;) {
    jboolean more = java_util_Iterator_hasNext(env, it.get());
    if (process_java_exception(env)) return nullptr;
    if (!more) return items.release();
    LocalRef<jobject> entry(env, java_util_Iterator_next(env, it.get()));
    if (null_or_failed(env, entry.get(), "Map.entrySet().iterator().next()")) return nullptr;
    LocalRef<jobject> k(env, java_util_Map_Entry_getKey(env, entry.get()));
    if (process_java_exception(env)) return nullptr;
    PyRef key = PyRef::steal(jobject_As_PyObject(env, k.get()));
    if (!key) return nullptr;
    k.reset();
    LocalRef<jobject> v(env, java_util_Map_Entry_getValue(env, entry.get()));
    if (process_java_exception(env)) return nullptr;
    PyRef value = PyRef::steal(jobject_As_PyObject(env, v.get()));
    if (!value) return nullptr;
    PyRef pair = PyRef::steal(PyTuple_Pack(2, key.get(), value.get()));
    if (!pair || PyList_Append(items.get(), pair.get()) < 0) return nullptr;
  }
}

}  // namespace kiv

// An interface type: no record of its own (size 0: the base's).
KIV_EXPORT PyType_Spec PyJMap_Spec = {"java.util.Map", 0, 0, kiv::kProtocolFlags, map_slots};
