// Objects/pyjarray.cpp: Java arrays in Python, and their iterator.
//
// A wrapper of a primitive array pins the array's elements once, when it is made, and
// keeps that memory until it dies: element reads, writes, searches and slice copies
// work on it without a JNI call per element.  Python's writes reach the Java array when
// the wrapper is committed (commit(), or passed to Java as an argument or field value);
// only the range Python wrote is copied back, so Java's writes to the other elements
// survive.  Java's writes reach Python when the wrapper is pinned again (after a Java
// call that took it as an argument).  The pinned memory never moves, so a buffer view
// of it (memoryview, NumPy) stays valid for as long as the view lives.
//
// Arrays of references (String, objects, arrays, classes) read and write the Java array
// directly, one JNI call per element.
#include <Python.h>
#include <jni.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <vector>

#include "Objects/objects.h"
#include "Objects/protocols.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/jtype.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

namespace {

PyJArray* as_array(PyObject* o) noexcept { return reinterpret_cast<PyJArray*>(o); }
jarray java_array(PyJArray* a) noexcept { return static_cast<jarray>(a->base.object); }

bool is_primitive(int code) noexcept {
  return kiv::with_primitive(code, [](auto) { return true; }, [] { return false; });
}

// A pending Java exception set aside for the scope (a deallocator may run while one is
// pending, and most JNI functions must not be called then).
class JavaExceptionAside {
 public:
  explicit JavaExceptionAside(JNIEnv* env) noexcept : env_(env), pending_(env->ExceptionOccurred()) {
    if (pending_) env_->ExceptionClear();
  }
  ~JavaExceptionAside() {
    if (!pending_) return;
    env_->Throw(pending_);
    env_->DeleteLocalRef(pending_);
  }
  JavaExceptionAside(const JavaExceptionAside&) = delete;
  JavaExceptionAside& operator=(const JavaExceptionAside&) = delete;

 private:
  JNIEnv* env_;
  jthrowable pending_;
};

KIV_NOINLINE PyObject* index_error(Py_ssize_t i) {
  PyErr_Format(PyExc_IndexError, "array assignment index out of range: %zd", i);
  return nullptr;
}

KIV_NOINLINE std::nullptr_t pinned_null() {
  PyErr_SetString(PyExc_RuntimeError, "Pinned array shouldn't be null.");
  return nullptr;
}

KIV_NOINLINE bool type_error(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

// ---- pinned elements and what Python wrote to them ---------------------------------------

void mark_written(PyJArray* a, Py_ssize_t low, Py_ssize_t high) noexcept {
  if (low >= high) return;
  if (a->dirtyLow >= a->dirtyHigh) {
    a->dirtyLow = static_cast<int>(low);
    a->dirtyHigh = static_cast<int>(high);
    return;
  }
  if (low < a->dirtyLow) a->dirtyLow = static_cast<int>(low);
  if (high > a->dirtyHigh) a->dirtyHigh = static_cast<int>(high);
}

void forget_written(PyJArray* a) noexcept { a->dirtyLow = a->dirtyHigh = 0; }

// Copies what Python wrote into the pinned elements (everything while a buffer view is
// out) back into the Java array.  Memory that is the array's own needs no copy.
void commit_written(JNIEnv* env, PyJArray* a) noexcept {
  int low = a->exports > 0 ? 0 : a->dirtyLow;
  int high = a->exports > 0 ? a->length : a->dirtyHigh;
  forget_written(a);
  if (!a->elements || !a->elementsCopied || low >= high) return;
  kiv::with_primitive(
      a->elemType,
      [&](auto p) {
        using P = decltype(p);
        auto* e = static_cast<typename P::type*>(a->elements);
        P::set_region(env, static_cast<typename P::array>(java_array(a)), low, high - low, e + low);
      },
      [] {});
}

// Pins the elements of a primitive array, or reads the Java array's current values into
// the memory pinned before (which therefore never moves).  Nonzero with the Python error
// set when the JVM refused.
int pin(JNIEnv* env, PyJArray* a) noexcept {
  forget_written(a);
  kiv::with_primitive(
      a->elemType,
      [&](auto p) {
        using P = decltype(p);
        auto arr = static_cast<typename P::array>(java_array(a));
        if (!a->elements) {
          jboolean copied = JNI_FALSE;
          a->elements = P::get_elements(env, arr, &copied);
          a->elementsCopied = copied;
        } else if (a->elementsCopied && a->length > 0) {
          P::get_region(env, arr, 0, a->length, static_cast<typename P::type*>(a->elements));
        }
      },
      [] {});
  return process_java_exception(env);
}

// ---- Python values as elements --------------------------------------------------------------

// A float as a Java float: out-of-range values become infinities, as Java's (float)
// cast makes them (the C++ conversion would be undefined).
jfloat narrow_float(double d) noexcept {
  if (d > FLT_MAX) return HUGE_VALF;
  if (d < -FLT_MAX) return -HUGE_VALF;
  return static_cast<jfloat>(d);
}

// The low bits of an int that fits in 64 bits; false with OverflowError for a larger one.
bool low_bits(PyObject* v, long long* out) noexcept {
  *out = PyLong_AsLongLong(v);
  return !(*out == -1 && PyErr_Occurred());
}

// A one-character str as a UTF-16 code unit (a character beyond U+FFFF needs two).
bool one_char(PyObject* v, jchar* out) noexcept {
  if (!PyUnicode_Check(v) || PyUnicode_GET_LENGTH(v) != 1) return false;
  Py_UCS4 c = PyUnicode_READ_CHAR(v, 0);
  if (c > 0xFFFF) return false;
  *out = static_cast<jchar>(c);
  return true;
}

// Why a value cannot be an element: writes and searches share these messages except
// for short arrays.
const char* mismatch_message(int code, bool search) noexcept {
  switch (code) {
    case JTYPE_BOOLEAN: return "Expected boolean.";
    case JTYPE_BYTE: return "Expected byte.";
    case JTYPE_SHORT: return search ? "Expected int (short)." : "Expected int.";
    case JTYPE_INT: return "Expected int.";
    case JTYPE_LONG: return "Expected long.";
    case JTYPE_FLOAT:
    case JTYPE_DOUBLE: return "Expected float.";
    default: return "Expected char.";
  }
}

// v as an element of a primitive array P, for a write or a search: booleans, bytes,
// shorts, ints and longs from an int (the low bits of one that fits in 64 bits), floats
// and doubles from a float, chars from an int or a one-character str.  False with
// TypeError, or OverflowError for an int beyond 64 bits.
template <class P>
bool element_from(PyObject* v, typename P::type* out, bool search) noexcept {
  using T = typename P::type;
  constexpr int code = P::code;
  if constexpr (code == JTYPE_FLOAT) {
    if (!PyFloat_Check(v)) return type_error(mismatch_message(code, search));
    *out = narrow_float(PyFloat_AS_DOUBLE(v));
  } else if constexpr (code == JTYPE_DOUBLE) {
    if (!PyFloat_Check(v)) return type_error(mismatch_message(code, search));
    *out = PyFloat_AS_DOUBLE(v);
  } else if constexpr (code == JTYPE_CHAR) {
    long long bits;
    if (PyLong_Check(v)) {
      if (!low_bits(v, &bits)) return false;
      *out = static_cast<jchar>(bits);
    } else if (!one_char(v, out)) {
      return type_error(mismatch_message(code, search));
    }
  } else if constexpr (code == JTYPE_BOOLEAN) {
    if (!PyLong_Check(v)) return type_error(mismatch_message(code, search));
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return false;
    *out = truth ? JNI_TRUE : JNI_FALSE;
  } else {
    long long bits;
    if (!PyLong_Check(v)) return type_error(mismatch_message(code, search));
    if (!low_bits(v, &bits)) return false;
    *out = static_cast<T>(bits);
  }
  return true;
}

// Fills every element from v, for jarray: an int fills integral and boolean arrays, a
// float floating ones, a str a char array (its UTF-16 code units, up to the end of the
// string or the array) and an int a char array.  Any other value fills nothing.
template <class P>
bool fill_elements(PyJArray* a, PyObject* v) noexcept {
  using T = typename P::type;
  auto* e = static_cast<T*>(a->elements);
  Py_ssize_t n = a->length;
  if constexpr (P::code == JTYPE_CHAR) {
    if (PyUnicode_Check(v)) {
      Py_ssize_t len = PyUnicode_GET_LENGTH(v);
      Py_ssize_t at = 0;
      for (Py_ssize_t k = 0; k < len && at < n; ++k) {
        Py_UCS4 c = PyUnicode_READ_CHAR(v, k);
        if (c > 0xFFFF) {
          c -= 0x10000;
          e[at++] = static_cast<jchar>(0xD800 + (c >> 10));
          if (at < n) e[at++] = static_cast<jchar>(0xDC00 + (c & 0x3FF));
        } else {
          e[at++] = static_cast<jchar>(c);
        }
      }
      mark_written(a, 0, at);
      return true;
    }
    if (!PyLong_Check(v)) return true;
  } else if constexpr (P::code == JTYPE_FLOAT || P::code == JTYPE_DOUBLE) {
    if (!PyFloat_Check(v)) return true;
  } else {
    if (!PyLong_Check(v)) return true;
  }
  T value{};
  if (!element_from<P>(v, &value, false)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) e[i] = value;
  mark_written(a, 0, n);
  return true;
}

// ---- making wrappers ----------------------------------------------------------------------

// Learns the component type (unless known), the length, pins the elements and, for
// jarray, fills them.  A fill is committed at once, so that the new Java array holds
// it.  False with a Python error set.
bool setup(JNIEnv* env, PyJArray* a, PyObject* fill) {
  if (a->elemType < 0) {
    LocalRef<jclass> component(env, java_lang_Class_getComponentType(env, a->base.clazz));
    if (process_java_exception(env)) return false;
    if (!component) {
      PyErr_SetString(PyExc_TypeError, "Object is not a Java array.");
      return false;
    }
    int code = get_jtype(env, component.get());
    if (code < 0) {
      if (!process_java_exception(env)) PyErr_SetString(PyExc_RuntimeError, "Unknown type.");
      return false;
    }
    a->elemClass = kiv::GlobalRef<jclass>::make(env, component.get()).release();  // the record owns it
    if (!a->elemClass) {
      env->ExceptionClear();
      PyErr_NoMemory();
      return false;
    }
    a->elemType = code;
  }
  if (a->length < 0) a->length = env->GetArrayLength(java_array(a));
  if (pin(env, a) != 0) return false;
  if (!is_primitive(a->elemType)) return true;
  // A zero-length array may pin to null on some VMs; nothing is ever read from it.
  if (!a->elements && a->length > 0) return pinned_null(), false;
  if (!fill) return true;
  bool filled = kiv::with_primitive(
      a->elemType, [&](auto p) { return fill_elements<decltype(p)>(a, fill); }, [] { return true; });
  if (!filled) return false;
  commit_written(env, a);
  return !process_java_exception(env);
}

// A wrapper of arr.  code and component are the element type and class when the caller
// knows them (component is then referenced anew), or -1 and null.  New reference, or
// nullptr with a Python error set (a half-built wrapper is destroyed).
PyObject* wrap(JNIEnv* env, jarray arr, int code, jclass component, PyObject* fill) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  PyRef self = PyRef::steal(PyJObject_New(env, state->PyJArray_Type, arr, nullptr));
  if (!self) return nullptr;
  PyJArray* a = as_array(self.get());
  a->elemType = code;
  a->elemClass = nullptr;
  a->length = -1;
  a->elements = nullptr;
  a->elementsCopied = JNI_FALSE;
  forget_written(a);
  a->exports = 0;
  if (component) {
    a->elemClass = kiv::GlobalRef<jclass>::make(env, component).release();  // the record owns it
    if (!a->elemClass) {
      env->ExceptionClear();
      return PyErr_NoMemory();
    }
  }
  if (!setup(env, a, fill)) return nullptr;
  return self.release();
}

// ---- elements --------------------------------------------------------------------------

PyObject* get_reference(PyJArray* a, Py_ssize_t i) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  LocalRef<jobject> e(env, env->GetObjectArrayElement(static_cast<jobjectArray>(java_array(a)), static_cast<jsize>(i)));
  if (process_java_exception(env)) return nullptr;
  if (!e) Py_RETURN_NONE;
  switch (a->elemType) {
    case JTYPE_STRING: return jstring_As_PyString(env, static_cast<jstring>(e.get()));
    case JTYPE_ARRAY: return pyjarray_new(env, static_cast<jarray>(e.get()));
    case JTYPE_OBJECT:
    case JTYPE_CLASS: return jobject_As_PyObject(env, e.get());
    default:
      PyErr_Format(PyExc_TypeError, "Unknown type %i.", a->elemType);
      return nullptr;
  }
}

// Element i as Python; IndexError outside 0..length-1.  Primitive elements come from
// the pinned memory, with no JNI call.
PyObject* get_element(PyJArray* a, Py_ssize_t i) {
  if (i < 0 || i >= a->length) return index_error(i);
  return kiv::with_primitive(
      a->elemType,
      [&](auto p) -> PyObject* {
        using P = decltype(p);
        if (KIV_UNLIKELY(!a->elements)) return pinned_null();
        return P::to_python(static_cast<typename P::type*>(a->elements)[i]);
      },
      [&]() -> PyObject* { return get_reference(a, i); });
}

// v as a reference to store into an array of references: a new local reference, or
// nullptr for Java null (no error) or a failure (error set).
jobject reference_from(JNIEnv* env, PyJArray* a, PyObject* v) {
  if (v == Py_None) return nullptr;
  switch (a->elemType) {
    case JTYPE_STRING:
      if (!PyUnicode_Check(v)) return type_error("Expected string."), nullptr;
      return pyunicode_as_jstring(env, v);
    case JTYPE_ARRAY:
      if (!pyjarray_check(v)) return type_error("Expected jarray."), nullptr;
      // What Python wrote into the inner array must be there when the outer one is read.
      pyjarray_release_pinned(as_array(v), JNI_COMMIT);
      return env->NewLocalRef(as_array(v)->base.object);
    case JTYPE_OBJECT:
    case JTYPE_CLASS:
      return PyObject_As_jobject(env, v, a->elemClass);
    default:
      return type_error("Unknown type."), nullptr;
  }
}

int set_reference(PyJArray* a, Py_ssize_t i, PyObject* v) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return -1;
  LocalRef<jobject> value(env, reference_from(env, a, v));
  if (!value && PyErr_Occurred()) return -1;
  env->SetObjectArrayElement(static_cast<jobjectArray>(java_array(a)), static_cast<jsize>(i), value.get());
  return process_java_exception(env) ? -1 : 0;
}

// Stores v at i (in range); a value that does not fit leaves the element as it was.
int set_element(PyJArray* a, Py_ssize_t i, PyObject* v) {
  return kiv::with_primitive(
      a->elemType,
      [&](auto p) -> int {
        using P = decltype(p);
        typename P::type value{};
        if (!element_from<P>(v, &value, false)) return -1;
        if (KIV_UNLIKELY(!a->elements)) return pinned_null(), -1;
        static_cast<typename P::type*>(a->elements)[i] = value;
        mark_written(a, i, i + 1);
        return 0;
      },
      [&]() -> int { return set_reference(a, i, v); });
}

// The first index at which an element matches v (see the rules below), or -1 when none
// does or with an error set.  Primitive elements compare by value after v is narrowed
// like a written value; strings compare as Python strings; objects and arrays by
// identity, None matching a null element.
Py_ssize_t find_reference(PyJArray* a, PyObject* v) {
  bool str = a->elemType == JTYPE_STRING;
  if (v != Py_None) {
    switch (a->elemType) {
      case JTYPE_STRING:
        if (!PyUnicode_Check(v)) return type_error("Expected str."), -1;
        break;
      case JTYPE_ARRAY:
        if (!pyjarray_check(v)) return type_error("Expected jarray."), -1;
        break;
      case JTYPE_OBJECT:
      case JTYPE_CLASS:
        if (!PyJObject_Check(v)) return type_error("Expected jobject."), -1;
        break;
      default:
        PyErr_Format(PyExc_RuntimeError, "Unknown type %i.", a->elemType);
        return -1;
    }
  }
  JNIEnv* env = kiv::env_or_error();
  if (!env) return -1;
  jobject target = v == Py_None || str ? nullptr : reinterpret_cast<PyJObject*>(v)->object;
  for (Py_ssize_t i = 0; i < a->length; ++i) {
    LocalRef<jobject> e(env, env->GetObjectArrayElement(static_cast<jobjectArray>(java_array(a)), static_cast<jsize>(i)));
    if (process_java_exception(env)) return -1;
    if (!e || v == Py_None) {
      if (!e && v == Py_None) return i;
      continue;
    }
    if (str) {
      PyRef text = PyRef::steal(jstring_As_PyString(env, static_cast<jstring>(e.get())));
      if (!text) return -1;
      int eq = PyObject_RichCompareBool(v, text.get(), Py_EQ);
      if (eq != 0) return eq < 0 ? -1 : i;
    } else if (target && kiv::same(env, e.get(), target)) {
      return i;
    }
  }
  return -1;
}

Py_ssize_t find(PyJArray* a, PyObject* v) {
  return kiv::with_primitive(
      a->elemType,
      [&](auto p) -> Py_ssize_t {
        using P = decltype(p);
        using T = typename P::type;
        T value{};
        if (!element_from<P>(v, &value, true)) return -1;
        if (a->length == 0) return -1;
        if (KIV_UNLIKELY(!a->elements)) return pinned_null(), -1;
        const T* e = static_cast<const T*>(a->elements);
        for (Py_ssize_t i = 0; i < a->length; ++i) {
          if (e[i] == value) return i;  // NaN never matches
        }
        return -1;
      },
      [&]() -> Py_ssize_t { return find_reference(a, v); });
}

// ---- slices ------------------------------------------------------------------------------

// A new Java array holding elements [low, high) (0 <= low <= high <= length), wrapped.
PyObject* slice_copy(PyJArray* a, Py_ssize_t low, Py_ssize_t high) {
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  auto count = static_cast<jsize>(high - low);
  LocalRef<jarray> made;
  kiv::with_primitive(
      a->elemType,
      [&](auto p) {
        using P = decltype(p);
        auto arr = P::new_array(env, count);
        made = LocalRef<jarray>(env, arr);
        // The new Java array holds the values before it is wrapped (and pinned).
        if (arr && count > 0) {
          if (!a->elements) return (void)pinned_null();
          P::set_region(env, arr, 0, count, static_cast<typename P::type*>(a->elements) + low);
        }
      },
      [&] {
        jclass component = a->elemType == JTYPE_STRING ? JSTRING_TYPE : a->elemClass;
        auto from = static_cast<jobjectArray>(java_array(a));
        auto arr = env->NewObjectArray(count, component, nullptr);
        made = LocalRef<jarray>(env, arr);
        for (jsize j = 0; arr && j < count && !env->ExceptionCheck(); ++j) {
          LocalRef<jobject> e(env, env->GetObjectArrayElement(from, static_cast<jsize>(low + j)));
          if (!env->ExceptionCheck()) env->SetObjectArrayElement(arr, j, e.get());
        }
      });
  if (PyErr_Occurred()) return nullptr;
  if (process_java_exception(env)) return nullptr;
  if (!made) {
    PyErr_SetString(PyExc_RuntimeError, "Could not make the Java array of a slice");
    return nullptr;
  }
  return wrap(env, made.get(), a->elemType, a->elemClass, nullptr);
}

// a[start:stop] = seq for a slice of step 1 and a sequence of the slice's size.  Every
// value is converted before anything is stored: a value that does not fit leaves the
// whole array as it was.
int assign_slice(PyJArray* a, Py_ssize_t start, Py_ssize_t stop, PyObject* seq) {
  Py_ssize_t count = stop - start;
  PyRef items = PyRef::steal(kiv::slice_values(seq, start, stop, "PyJArray"));
  if (!items) return -1;
  if (count == 0) return 0;
  PyObject** values = PySequence_Fast_ITEMS(items.get());
  return kiv::with_primitive(
      a->elemType,
      [&](auto p) -> int {
        using P = decltype(p);
        using T = typename P::type;
        std::vector<T> converted(static_cast<size_t>(count));
        for (Py_ssize_t j = 0; j < count; ++j) {
          if (!element_from<P>(values[j], &converted[j], false)) return -1;
        }
        if (!a->elements) return pinned_null(), -1;
        std::memcpy(static_cast<T*>(a->elements) + start, converted.data(), sizeof(T) * count);
        mark_written(a, start, stop);
        return 0;
      },
      [&]() -> int {
        JNIEnv* env = kiv::env_or_error();
        if (!env) return -1;
        kiv::LocalFrame frame(env, 16);
        if (!frame.ok()) return process_java_exception(env), -1;
        // The converted values wait in an array of the same component class, which also
        // refuses values the target would refuse (an int[] into a long[][]).
        jclass component = a->elemType == JTYPE_STRING ? JSTRING_TYPE : a->elemClass;
        jobjectArray staged = env->NewObjectArray(static_cast<jsize>(count), component, nullptr);
        if (!staged) return process_java_exception(env), -1;
        for (Py_ssize_t j = 0; j < count; ++j) {
          LocalRef<jobject> value(env, reference_from(env, a, values[j]));
          if (!value && PyErr_Occurred()) return -1;
          env->SetObjectArrayElement(staged, static_cast<jsize>(j), value.get());
          if (process_java_exception(env)) return -1;
        }
        auto to = static_cast<jobjectArray>(java_array(a));
        for (Py_ssize_t j = 0; j < count; ++j) {
          LocalRef<jobject> value(env, env->GetObjectArrayElement(staged, static_cast<jsize>(j)));
          env->SetObjectArrayElement(to, static_cast<jsize>(start + j), value.get());
          if (process_java_exception(env)) return -1;
        }
        return 0;
      });
}

// The start and stop of a slice key over n elements and its length (<= 0: empty); false
// with an error set.  A step other than 1 is refused for a non-empty range.
bool unit_slice(PyObject* key, Py_ssize_t n, Py_ssize_t* start, Py_ssize_t* stop, Py_ssize_t* count) {
  Py_ssize_t step;
  if (PySlice_Unpack(key, start, stop, &step) < 0) return false;
  *count = PySlice_AdjustIndices(n, start, stop, step);
  if (*count > 0 && step != 1) {
    PyErr_SetString(PyExc_TypeError, "pyjarray slices must have step of 1");
    return false;
  }
  return true;
}

// ---- slots and methods -----------------------------------------------------------------

Py_ssize_t pyjarray_length(PyObject* self) { return as_array(self)->length; }

PyObject* pyjarray_item(PyObject* self, Py_ssize_t i) { return get_element(as_array(self), i); }

int pyjarray_ass_item(PyObject* self, Py_ssize_t i, PyObject* v) {
  PyJArray* a = as_array(self);
  if (!v) {
    PyErr_SetString(PyExc_TypeError, "Java arrays do not support item deletion");
    return -1;
  }
  if (i < 0 || i >= a->length) return index_error(i), -1;
  return set_element(a, i, v);
}

// An index key as a position, a negative one counted from the end once; -1 with
// IndexError when it cannot be a position at all (beyond the index width).
bool position_of(PyObject* key, Py_ssize_t length, Py_ssize_t* out) {
  Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return false;
  *out = i < 0 ? i + length : i;
  return true;
}

PyObject* pyjarray_subscript(PyObject* self, PyObject* key) {
  PyJArray* a = as_array(self);
  if (PyIndex_Check(key)) {
    Py_ssize_t i;
    if (!position_of(key, a->length, &i)) return nullptr;
    return get_element(a, i);
  }
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, count;
    if (!unit_slice(key, a->length, &start, &stop, &count)) return nullptr;
    return count > 0 ? slice_copy(a, start, stop) : slice_copy(a, 0, 0);
  }
  PyErr_SetString(PyExc_TypeError, "pyjarray indices must be integers, longs, or slices");
  return nullptr;
}

int pyjarray_ass_subscript(PyObject* self, PyObject* key, PyObject* v) {
  PyJArray* a = as_array(self);
  if (!v) {
    PyErr_SetString(PyExc_TypeError, "Java arrays do not support item deletion");
    return -1;
  }
  if (PyIndex_Check(key)) {
    Py_ssize_t i;
    if (!position_of(key, a->length, &i)) return -1;
    if (i < 0 || i >= a->length) return index_error(i), -1;
    return set_element(a, i, v);
  }
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, count;
    if (!unit_slice(key, a->length, &start, &stop, &count)) return -1;
    if (count <= 0) stop = start;
    return assign_slice(a, start, stop, v);
  }
  PyErr_SetString(PyExc_TypeError, "pyjarray indices must be integers, longs, or slices");
  return -1;
}

int pyjarray_contains(PyObject* self, PyObject* v) {
  Py_ssize_t at = find(as_array(self), v);
  if (at < 0) return PyErr_Occurred() ? -1 : 0;
  return 1;
}

PyObject* pyjarray_index(PyObject* self, PyObject* args) {
  PyObject* v;
  if (!PyArg_ParseTuple(args, "O", &v)) return nullptr;
  Py_ssize_t at = find(as_array(self), v);
  if (at >= 0) return PyLong_FromSsize_t(at);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "list.index(x): x not in array");
  return nullptr;
}

PyObject* pyjarray_commit(PyObject* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, "")) return nullptr;
  pyjarray_release_pinned(as_array(self), JNI_COMMIT);
  Py_RETURN_NONE;
}

PyObject* pyjarray_iter(PyObject* self) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  PyTypeObject* type = state->PyJArrayIter_Type;
  auto* it = reinterpret_cast<PyJArrayIter*>(type->tp_alloc(type, 0));
  if (!it) return nullptr;
  it->index = 0;
  it->array = Py_NewRef(self);
  return reinterpret_cast<PyObject*>(it);
}

// ---- the buffer protocol ---------------------------------------------------------------------

// The struct format of each primitive element type, in native byte order (the pinned
// memory is the JVM's, in the machine's order).
template <class P>
constexpr const char* format_of() noexcept {
  switch (P::code) {
    case JTYPE_BOOLEAN: return "?";
    case JTYPE_BYTE: return "b";
    case JTYPE_CHAR: return "H";
    case JTYPE_SHORT: return "h";
    case JTYPE_INT: return "i";
    case JTYPE_LONG: return "q";
    case JTYPE_FLOAT: return "f";
    default: return "d";
  }
}

// A one-dimensional, writable view of the pinned elements, without a copy.  While any
// view is out, a commit copies every element back (the views may have written
// anywhere); releasing the last one marks every element as written.
int pyjarray_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  PyJArray* a = as_array(self);
  view->obj = nullptr;
  const char* format = nullptr;
  Py_ssize_t itemsize = kiv::with_primitive(
      a->elemType,
      [&](auto p) -> Py_ssize_t {
        using P = decltype(p);
        format = format_of<P>();
        return static_cast<Py_ssize_t>(sizeof(typename P::type));
      },
      [] { return Py_ssize_t{0}; });
  if (itemsize == 0) {
    PyErr_SetString(PyExc_BufferError, "Python buffer access is only allowed for Java arrays of primitive types.");
    return -1;
  }
  if (!a->elements && a->length > 0) return pinned_null(), -1;
  // An empty view still needs an address; nothing is ever read from it.
  static char empty[8];
  view->buf = a->length > 0 ? a->elements : empty;
  view->obj = Py_NewRef(self);
  view->len = a->length * itemsize;
  view->readonly = 0;
  view->itemsize = itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(format) : nullptr;
  view->ndim = 1;
  // The shape lives in the view itself (view->internal), the stride is the item size.
  static_assert(sizeof(view->internal) == sizeof(Py_ssize_t), "the shape is kept in the view's internal field");
  Py_ssize_t shape = a->length;
  std::memcpy(&view->internal, &shape, sizeof shape);
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? reinterpret_cast<Py_ssize_t*>(&view->internal) : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
  view->suboffsets = nullptr;
  ++a->exports;
  return 0;
}

void pyjarray_releasebuffer(PyObject* self, Py_buffer*) {
  PyJArray* a = as_array(self);
  if (a->exports > 0) --a->exports;
  mark_written(a, 0, a->length);
}

void pyjarray_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyJArray* a = as_array(self);
  if (a->elements) {
    // On a thread the JVM does not know the pinned memory has to leak.
    if (JNIEnv* env = kiv::current_env()) {
      JavaExceptionAside aside(env);
      // What Python wrote reaches Java also when the wrapper goes without a commit
      // (the inner wrapper of grid[i][j] = v lives for that one statement).
      commit_written(env, a);
      env->ExceptionClear();
      pyjarray_release_pinned(a, JNI_ABORT);
    }
  }
  a->elements = nullptr;
  kiv::delete_global_ref(a->elemClass);
  a->elemClass = nullptr;
  kiv::release_java_refs(&a->base);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjarray_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjarray_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjarray_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_iter))},
    {Py_tp_methods, pyjarray_methods},
    {Py_sq_length, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_length))},
    {Py_sq_item, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_item))},
    {Py_sq_ass_item, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_ass_item))},
    {Py_sq_contains, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_contains))},
    {Py_mp_length, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_length))},
    {Py_mp_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_subscript))},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_ass_subscript))},
    {Py_bf_getbuffer, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_getbuffer))},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarray_releasebuffer))},
    {Py_tp_doc, const_cast<char*>("jarray(size) -> new jarray of size")},
    {0, nullptr}};

// ---- the iterator ------------------------------------------------------------------------

PyObject* pyjarrayiter_next(PyObject* self) {
  auto* it = reinterpret_cast<PyJArrayIter*>(self);
  if (!it->array) return nullptr;
  PyJArray* a = as_array(it->array);
  if (it->index < a->length) return get_element(a, static_cast<Py_ssize_t>(it->index++));
  Py_CLEAR(it->array);
  return nullptr;
}

Py_ssize_t pyjarrayiter_length(PyObject* self) {
  auto* it = reinterpret_cast<PyJArrayIter*>(self);
  if (!it->array) return 0;
  long long left = as_array(it->array)->length - it->index;
  return left > 0 ? static_cast<Py_ssize_t>(left) : 0;
}

void pyjarrayiter_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<PyJArrayIter*>(self)->array);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjarrayiter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyJArrayIter*>(self)->array);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjarrayiter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarrayiter_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjarrayiter_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(KIV_PY_ITERNEXT_BOUNDARY(pyjarrayiter_next))},
    {Py_sq_length, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjarrayiter_length))},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyMethodDef pyjarray_methods[] = {
    {"__getitem__", reinterpret_cast<PyCFunction>(KIV_PY_BOUNDARY(pyjarray_subscript)), METH_O | METH_COEXIST,
     "x.__getitem__(y) <==> x[y]"},
    {"index", KIV_PY_BOUNDARY(pyjarray_index), METH_VARARGS, "L.index(value) -> integer -- return first index of value"},
    {"commit", KIV_PY_BOUNDARY(pyjarray_commit), METH_VARARGS, "x.commit() -- commit pinned array to Java memory"},
    {nullptr, nullptr, 0, nullptr}};

KIV_EXPORT PyType_Spec PyJArray_Spec = {
    "kiv.PyJArray",
    sizeof(PyJArray),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjarray_slots,
};

KIV_EXPORT PyType_Spec PyJArrayIter_Spec = {
    "kiv.PyJArrayIter",
    sizeof(PyJArrayIter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjarrayiter_slots,
};

KIV_API PyObject* pyjarray_new(JNIEnv* env, jarray array) {
  if (!array) {
    PyErr_SetString(PyExc_RuntimeError, "Invalid array object.");
    return nullptr;
  }
  return wrap(env, array, -1, nullptr, nullptr);
}

namespace {

// The element type code of a jarray type code letter, or -1.
int code_of_letter(Py_UCS4 c) noexcept {
  switch (c) {
    case 'z': return JTYPE_BOOLEAN;
    case 'b': return JTYPE_BYTE;
    case 'c': return JTYPE_CHAR;
    case 's': return JTYPE_SHORT;
    case 'i': return JTYPE_INT;
    case 'j': return JTYPE_LONG;
    case 'f': return JTYPE_FLOAT;
    case 'd': return JTYPE_DOUBLE;
    default: return -1;
  }
}

// A new primitive array of the code's type, and its primitive class.
jarray new_primitive_array(JNIEnv* env, int code, jsize size, jclass* component) {
  return kiv::with_primitive(
      code,
      [&](auto p) -> jarray {
        using P = decltype(p);
        *component = P::primitive_class();
        return P::new_array(env, size);
      },
      []() -> jarray { return nullptr; });
}

constexpr const char* kBadTypeCode = "bad typecode (must be z, b, c, s, i, j, f or d)";

}  // namespace

KIV_API PyObject* pyjarray_new_v(PyObject*, PyObject* args) {
  PyObject* sizeArg;
  PyObject* type;
  PyObject* fill = nullptr;
  if (!PyArg_UnpackTuple(args, "ref", 2, 3, &sizeArg, &type, &fill)) return nullptr;
  if (!PyLong_Check(sizeArg)) {
    PyErr_SetString(PyExc_ValueError, "Unknown arg types.");
    return nullptr;
  }
  long long size = PyLong_AsLongLong(sizeArg);
  if (size == -1 && PyErr_Occurred()) return nullptr;
  // Beyond a Java array's length: refused before narrowing, which would give a
  // different (or negative) size.
  if (size > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "Invalid size %lld", size);
    return nullptr;
  }
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  auto n = static_cast<jsize>(size);
  int code = -1;
  jclass component = nullptr;
  LocalRef<jarray> made;
  const char* nullMessage = "Unknown type.";
  if (PyLong_Check(type)) {
    long long asked = PyLong_AsLongLong(type);
    if (asked == -1 && PyErr_Occurred()) PyErr_Clear();  // no such code: "Unknown type."
    if (size < 0) {
      PyErr_Format(PyExc_ValueError, "Invalid size %lld", size);
      return nullptr;
    }
    if (asked == JTYPE_STRING) {
      code = JTYPE_STRING;
      component = JSTRING_TYPE;
      made = LocalRef<jarray>(env, env->NewObjectArray(n, JSTRING_TYPE, nullptr));
    } else if (asked >= 0 && asked <= INT_MAX && is_primitive(static_cast<int>(asked))) {
      code = static_cast<int>(asked);
      made = LocalRef<jarray>(env, new_primitive_array(env, code, n, &component));
    }
  } else if (PyJObject_Check(type)) {
    jclass cls = reinterpret_cast<PyJObject*>(type)->clazz;
    if (kiv::assignable(env, cls, JOBJECT_TYPE)) {
      code = JTYPE_OBJECT;
      component = cls;
      made = LocalRef<jarray>(env, env->NewObjectArray(n, cls, nullptr));
    } else {
      code = kiv::primitive_code_of(env, cls);
      if (code < 0) {
        PyErr_SetString(PyExc_ValueError, "Unsupported jarray Component type");
        return nullptr;
      }
      made = LocalRef<jarray>(env, new_primitive_array(env, code, n, &component));
    }
  } else if (PyUnicode_Check(type)) {
    nullMessage = kBadTypeCode;
    if (PyUnicode_GET_LENGTH(type) == 1 && PyUnicode_KIND(type) == PyUnicode_1BYTE_KIND) {
      code = code_of_letter(PyUnicode_READ_CHAR(type, 0));
    }
    if (code < 0) {
      PyErr_SetString(PyExc_ValueError, kBadTypeCode);
      return nullptr;
    }
    made = LocalRef<jarray>(env, new_primitive_array(env, code, n, &component));
  } else {
    PyErr_SetString(PyExc_ValueError, "Unknown arg type: expected one of: J<foo>_ID, pyjobject, jarray");
    return nullptr;
  }
  // A negative size in the class and letter forms: Java's NegativeArraySizeException.
  if (process_java_exception(env)) return nullptr;
  if (!made) {
    PyErr_SetString(PyExc_ValueError, nullMessage);
    return nullptr;
  }
  return wrap(env, made.get(), code, component, fill);
}

KIV_API int pyjarray_check(PyObject* obj) {
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  ModuleState* state = m ? static_cast<ModuleState*>(PyModule_GetState(m)) : nullptr;
  if (!state || !state->PyJArray_Type) return 0;
  return PyObject_TypeCheck(obj, state->PyJArray_Type);
}

KIV_API int pyjarray_pin(PyJArray* self) {
  if (!is_primitive(self->elemType)) return 0;
  JNIEnv* env = kiv::attached_env();
  if (!env) return 0;
  return pin(env, self);
}

KIV_API void pyjarray_release_pinned(PyJArray* self, jint mode) {
  if (!self->elements) return;
  JNIEnv* env = kiv::attached_env();
  if (!env) return;
  if (mode != JNI_ABORT) commit_written(env, self);
  if (mode == JNI_COMMIT) return;
  // The memory goes back to the JVM also when it was not a copy: that unpins the array.
  kiv::with_primitive(
      self->elemType,
      [&](auto p) {
        using P = decltype(p);
        P::release_elements(env, static_cast<typename P::array>(java_array(self)),
                            static_cast<typename P::type*>(self->elements), JNI_ABORT);
      },
      [] {});
  self->elements = nullptr;
}

namespace kiv {

void repin_array_arguments(ModuleState* state, PyObject* const* args, Py_ssize_t first, Py_ssize_t nargs) noexcept {
  for (Py_ssize_t i = first; i < nargs; ++i) {
    if (Py_IS_TYPE(args[i], state->PyJArray_Type)) pyjarray_pin(as_array(args[i]));
  }
}

}  // namespace kiv
