// Objects/pyjlist.cpp: java.util.List as a Python sequence: indexing with negative
// indexes, slices (Java sub-list views), item and slice assignment, deletion,
// concatenation and repetition.  Length, `in` and iteration come from the Collection
// and Iterable types, its bases.
//
// Java lists are indexed by int: every index, bound and count is checked against that
// range before it is narrowed, so a large Python number never reaches another element.
#include <Python.h>
#include <jni.h>

#include <climits>

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

using kiv::LocalFrame;
using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr const char* kList = "java.util.List";
constexpr jint kFrame = 16;

// The Java list self stands for, and this thread's environment; nullptr with an error.
jobject list_of(PyObject* self, JNIEnv** env) {
  *env = kiv::env_or_error();
  return *env ? kiv::java_self(*env, self, JLIST_TYPE, kList) : nullptr;
}

Py_ssize_t list_size(JNIEnv* env, jobject list) {
  return kiv::checked_size(env, java_util_Collection_size(env, list), "java.util.Collection.size()");
}

// True (and the exception cleared) when the pending Java exception is an
// IndexOutOfBoundsException; any other stays pending.  Makes only JNI calls.
bool out_of_bounds(JNIEnv* env) {
  LocalRef<jthrowable> e(env, env->ExceptionOccurred());
  env->ExceptionClear();
  if (env->IsInstanceOf(e.get(), INDEX_EXC_TYPE)) return true;
  env->Throw(e.get());
  return false;
}

KIV_NOINLINE std::nullptr_t out_of_range(Py_ssize_t i, Py_ssize_t size) {
  PyErr_Format(PyExc_IndexError, "list index %zd out of range, size %zd", i, size);
  return nullptr;
}

// Element i of the list, a negative i counted from the end once, with the interpreter
// lock released once for the Java calls.  A negative i needs size() first; any other is
// asked of get() at once, and only when get() refuses it (IndexOutOfBoundsException, as
// List defines) is size() read for the IndexError.
PyObject* get_at(JNIEnv* env, jobject list, Py_ssize_t i) {
  jint size = 0;
  bool sized = i < 0 || i > INT_MAX;
  bool refused = false;
  LocalRef<jobject> item;
  {
    kiv::AllowThreads nogil;
    if (sized) size = kiv::keep_lock::java_util_Collection_size(env, list);
    if (!env->ExceptionCheck()) {
      if (i < 0) i += size;
      if (i >= 0 && i <= INT_MAX && (!sized || i < size)) {
        item = LocalRef<jobject>(env, kiv::keep_lock::java_util_List_get(env, list, static_cast<jint>(i)));
        refused = env->ExceptionCheck() && !sized && out_of_bounds(env);
      }
      if (refused || (sized && (i < 0 || i >= size))) {
        sized = true;
        size = kiv::keep_lock::java_util_Collection_size(env, list);
      }
    }
  }
  if (sized && kiv::checked_size(env, size, "java.util.Collection.size()") < 0) return nullptr;
  if (refused || (sized && (i < 0 || i >= size))) return out_of_range(i, size);
  if (process_java_exception(env)) return nullptr;
  return jobject_As_PyObject(env, item.get());
}

// Stores value at i (counted from the front), or with no value removes element i.  An
// index beyond a Java int is refused here; inside that range the list decides.
int set_at(JNIEnv* env, jobject list, Py_ssize_t i, PyObject* value) {
  if (i < 0 || i > INT_MAX) {
    Py_ssize_t size = list_size(env, list);
    if (size >= 0) out_of_range(i, size);
    return -1;
  }
  if (!value) {
    LocalRef<jobject> removed(env, java_util_List_remove(env, list, static_cast<jint>(i)));
    return process_java_exception(env) ? -1 : 0;
  }
  LocalRef<jobject> v(env, PyObject_As_jobject(env, value, JOBJECT_TYPE));
  if (!v && PyErr_Occurred()) return -1;
  LocalRef<jobject> previous(env, java_util_List_set(env, list, static_cast<jint>(i), v.get()));
  return process_java_exception(env) ? -1 : 0;
}

// An index key as a position counted from the front (a negative one has the size added
// once); false with an error set.
bool position_of(JNIEnv* env, jobject list, PyObject* key, Py_ssize_t* i, Py_ssize_t* size) {
  *i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (*i == -1 && PyErr_Occurred()) return false;
  *size = -1;
  if (*i < 0) {
    *size = list_size(env, list);
    if (*size < 0) return false;
    *i += *size;
  }
  return true;
}

// The bounds and length of a slice key over the list; false with an error set.  A step
// other than 1 is refused for a non-empty range.
bool unit_slice(JNIEnv* env, jobject list, PyObject* key, Py_ssize_t* start, Py_ssize_t* stop, Py_ssize_t* count) {
  Py_ssize_t step;
  if (PySlice_Unpack(key, start, stop, &step) < 0) return false;
  Py_ssize_t size = list_size(env, list);
  if (size < 0) return false;
  *count = PySlice_AdjustIndices(size, start, stop, step);
  if (*count > 0 && step != 1) {
    PyErr_SetString(PyExc_TypeError, "pyjlist slices must have step of 1");
    return false;
  }
  if (*count <= 0) *start = *stop = 0;
  return true;
}

// list.subList(start, stop): a local reference, or nullptr with an error set.
jobject sub_list(JNIEnv* env, jobject list, Py_ssize_t start, Py_ssize_t stop) {
  jobject view = java_util_List_subList(env, list, static_cast<jint>(start), static_cast<jint>(stop));
  if (kiv::null_or_failed(env, view, "List.subList()")) return nullptr;
  return view;
}

// lst[start:stop] = value, the same number of elements.  Every value is converted before
// the first is stored, so one that cannot be converted changes nothing.
int assign_slice(JNIEnv* env, jobject list, Py_ssize_t start, Py_ssize_t stop, PyObject* value) {
  // A snapshot: the value may be a view of this very list (lst[1:3] = lst[0:2]).
  PyRef items = PyRef::steal(kiv::slice_values(value, start, stop, "PyJList"));
  if (!items) return -1;
  Py_ssize_t count = stop - start;
  if (count == 0) return 0;
  LocalFrame frame(env, kFrame);
  if (!frame.ok()) return process_java_exception(env), -1;
  LocalRef<jobjectArray> staged(env, env->NewObjectArray(static_cast<jsize>(count), JOBJECT_TYPE, nullptr));
  if (!staged) return process_java_exception(env), -1;
  PyObject** values = PySequence_Fast_ITEMS(items.get());
  for (Py_ssize_t j = 0; j < count; ++j) {
    LocalRef<jobject> v(env, PyObject_As_jobject(env, values[j], JOBJECT_TYPE));
    if (!v && PyErr_Occurred()) return -1;
    env->SetObjectArrayElement(staged.get(), static_cast<jsize>(j), v.get());
    if (process_java_exception(env)) return -1;
  }
  for (Py_ssize_t j = 0; j < count; ++j) {
    LocalRef<jobject> v(env, env->GetObjectArrayElement(staged.get(), static_cast<jsize>(j)));
    LocalRef<jobject> previous(env, java_util_List_set(env, list, static_cast<jint>(start + j), v.get()));
    if (process_java_exception(env)) return -1;
  }
  return 0;
}

// A new list of the same class holding the same elements (newInstance(), then addAll),
// wrapped with the same Python type.
PyObject* copy_list(JNIEnv* env, PyObject* self, jobject list) {
  jclass cls = reinterpret_cast<PyJObject*>(self)->clazz;
  LocalRef<jobject> copy(env, java_lang_Class_newInstance(env, cls));
  if (kiv::null_or_failed(env, copy.get(), "Class.newInstance()")) return nullptr;
  java_util_List_addAll(env, copy.get(), list);
  if (process_java_exception(env)) return nullptr;
  return jobject_As_PyJObject(env, copy.get(), cls);
}

// list.addAll(other converted for java.util.Collection).
int extend(JNIEnv* env, jobject list, PyObject* other) {
  LocalRef<jobject> items(env, PyObject_As_jobject(env, other, JCOLLECTION_TYPE));
  if (!items) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Expected java.util.Collection but received null.");
    return -1;
  }
  java_util_List_addAll(env, list, items.get());
  return process_java_exception(env) ? -1 : 0;
}

// Refuses a repetition whose result no Java list can hold; false with OverflowError.
bool repeat_fits(Py_ssize_t size, Py_ssize_t n) {
  if (n <= 1 || size == 0 || size <= INT_MAX / n) return true;
  PyErr_Format(PyExc_OverflowError, "a Java list of %zd elements repeated %zd times is too long", size, n);
  return false;
}

// The list repeated n times in place (emptied for n <= 0).  The copies are appended from
// a snapshot that doubles, so n costs about log2(n) addAll calls.
int repeat_in_place(JNIEnv* env, jobject list, Py_ssize_t n, Py_ssize_t size) {
  if (n <= 0) {
    java_util_List_clear(env, list);
    return process_java_exception(env) ? -1 : 0;
  }
  if (n == 1 || size == 0) return 0;
  LocalRef<jobject> chunk(env, java_util_ArrayList_new_I(env, static_cast<jint>(size)));
  if (kiv::null_or_failed(env, chunk.get(), "new ArrayList()")) return -1;
  java_util_List_addAll(env, chunk.get(), list);
  if (process_java_exception(env)) return -1;
  for (Py_ssize_t left = n - 1;;) {
    if (left & 1) {
      java_util_List_addAll(env, list, chunk.get());
      if (process_java_exception(env)) return -1;
    }
    left >>= 1;
    if (left == 0) return 0;
    java_util_List_addAll(env, chunk.get(), chunk.get());  // ArrayList copies its argument first
    if (process_java_exception(env)) return -1;
  }
}

// ---- slots ---------------------------------------------------------------------------------

PyObject* list_item(PyObject* self, Py_ssize_t i) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return nullptr;
  // Already counted from the front by the sequence protocol: still negative, it is out
  // of range.
  if (i < 0) {
    Py_ssize_t size = list_size(env, list);
    return size < 0 ? nullptr : out_of_range(i, size);
  }
  return get_at(env, list, i);
}

int list_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  return list ? set_at(env, list, i, value) : -1;
}

PyObject* list_subscript(PyObject* self, PyObject* key) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return nullptr;
  if (PyIndex_Check(key)) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    return get_at(env, list, i);
  }
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, count;
    if (!unit_slice(env, list, key, &start, &stop, &count)) return nullptr;
    LocalRef<jobject> view(env, sub_list(env, list, start, stop));
    return view ? jobject_As_PyObject(env, view.get()) : nullptr;
  }
  PyErr_SetString(PyExc_TypeError, "list indices must be integers, longs, or slices");
  return nullptr;
}

int list_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return -1;
  if (PyIndex_Check(key)) {
    Py_ssize_t i, size;
    if (!position_of(env, list, key, &i, &size)) return -1;
    return set_at(env, list, i, value);
  }
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, count;
    if (!unit_slice(env, list, key, &start, &stop, &count)) return -1;
    if (value) return assign_slice(env, list, start, stop, value);
    if (count <= 0) return 0;
    // del lst[i:j]: the range goes, as from a Python list.
    LocalRef<jobject> view(env, sub_list(env, list, start, stop));
    if (!view) return -1;
    java_util_List_clear(env, view.get());
    return process_java_exception(env) ? -1 : 0;
  }
  PyErr_SetString(PyExc_TypeError, "list indices must be integers, longs, or slices");
  return -1;
}

PyObject* list_concat(PyObject* self, PyObject* other) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return nullptr;
  PyRef copy = PyRef::steal(copy_list(env, self, list));
  if (!copy) return nullptr;
  if (extend(env, reinterpret_cast<PyJObject*>(copy.get())->object, other) < 0) return nullptr;
  return copy.release();
}

PyObject* list_inplace_concat(PyObject* self, PyObject* other) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list || extend(env, list, other) < 0) return nullptr;
  return Py_NewRef(self);
}

PyObject* list_repeat(PyObject* self, Py_ssize_t n) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return nullptr;
  Py_ssize_t size = list_size(env, list);
  if (size < 0 || !repeat_fits(size, n)) return nullptr;
  PyRef copy = PyRef::steal(copy_list(env, self, list));
  if (!copy) return nullptr;
  if (repeat_in_place(env, reinterpret_cast<PyJObject*>(copy.get())->object, n, size) < 0) return nullptr;
  return copy.release();
}

PyObject* list_inplace_repeat(PyObject* self, Py_ssize_t n) {
  JNIEnv* env;
  jobject list = list_of(self, &env);
  if (!list) return nullptr;
  Py_ssize_t size = list_size(env, list);
  if (size < 0 || !repeat_fits(size, n)) return nullptr;
  if (repeat_in_place(env, list, n, size) < 0) return nullptr;
  return Py_NewRef(self);
}

PyType_Slot list_slots[] = {
    {Py_sq_concat, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_concat))},
    {Py_sq_repeat, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_repeat))},
    {Py_sq_item, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_item))},
    {Py_sq_ass_item, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_ass_item))},
    {Py_sq_inplace_concat, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_inplace_concat))},
    {Py_sq_inplace_repeat, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_inplace_repeat))},
    {Py_mp_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_subscript))},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(list_ass_subscript))},
    {Py_tp_doc, const_cast<char*>("Kiv java.util.List")},
    {0, nullptr}};

}  // namespace

// An interface type: no record of its own (size 0: the base's).
KIV_EXPORT PyType_Spec PyJList_Spec = {"java.util.List", 0, 0, kiv::kProtocolFlags, list_slots};
