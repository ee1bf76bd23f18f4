// convert/to_java_scalars.cpp: Python values to Java primitives, strings and
// primitive arrays, and buffers to primitive arrays.  None of this calls a Java method,
// so the interpreter lock stays held throughout.
#include <Python.h>
#include <jni.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "access/access.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/to_java.h"
#include "exceptions/exceptions.h"

using kiv::PyRef;

namespace {

// A PyMem block of at least one element (so empty sequences need no special case),
// freed on every path.  Requires the interpreter lock.
template <class T>
class PyMemArray {
 public:
  explicit PyMemArray(size_t n) noexcept : p_(static_cast<T*>(PyMem_Malloc(sizeof(T) * (n > 0 ? n : 1)))) {
    if (!p_) PyErr_NoMemory();
  }
  ~PyMemArray() { PyMem_Free(p_); }
  PyMemArray(const PyMemArray&) = delete;
  PyMemArray& operator=(const PyMemArray&) = delete;
  T* get() const noexcept { return p_; }

 private:
  T* p_;
};

// value's integer (through __index__) when it lies in [lo, hi]; otherwise -1 with
// OverflowError "<value> is outside the valid range of a Java <name>.", or with the
// error of __index__ or of PyLong_AsLong.
long index_in_range(PyObject* value, long lo, long hi, const char* name) noexcept {
  long v;
  if (PyLong_CheckExact(value)) {
    v = PyLong_AsLong(value);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return -1;
    v = PyLong_AsLong(index.get());
  }
  if (v == -1 && PyErr_Occurred()) return -1;
  if (KIV_UNLIKELY(v < lo || v > hi)) {
    PyErr_Format(PyExc_OverflowError, "%ld is outside the valid range of a Java %s.", v, name);
    return -1;
  }
  return v;
}

// IEEE round-to-nearest from double to float, written out so that no out-of-range
// conversion (undefined in C++) happens: magnitudes from halfway between FLT_MAX and
// 2**128 upwards become infinities, exactly as Java's (float) cast does.
jfloat narrow_to_float(double d) noexcept {
  constexpr double kFirstInfinite = 0x1.ffffffp127;  // FLT_MAX + half an ulp
  if (std::fabs(d) >= kFirstInfinite) return static_cast<jfloat>(std::copysign(HUGE_VAL, d));
  return static_cast<jfloat>(d);  // NaN and in-range values
}

// ---- primitive arrays from sequences ------------------------------------------------

// The n items of a tuple converted one by one into a native buffer, then copied into a
// new Java array of P's type with one region copy.
template <class P>
jarray items_to_primitive_array(JNIEnv* env, PyObject* items, jsize n) noexcept {
  using T = typename P::type;
  PyMemArray<T> buf(static_cast<size_t>(n));
  if (!buf.get()) return nullptr;
  for (jsize i = 0; i < n; ++i) {
    T v = P::from_python(PyTuple_GET_ITEM(items, i));
    if (v == P::failure && PyErr_Occurred()) return nullptr;
    buf.get()[i] = v;
  }
  typename P::array array = P::new_array(env, n);
  if (!array) return static_cast<jarray>(kiv::java_failure(env));
  if (n > 0) P::set_region(env, array, 0, n, buf.get());
  if (KIV_UNLIKELY(env->ExceptionCheck())) {
    env->DeleteLocalRef(array);
    return static_cast<jarray>(kiv::java_failure(env));
  }
  return array;
}

// ---- buffers ------------------------------------------------------------------------

struct BufferRow {
  int code;               // of the Java element type
  const char* java_name;  // for messages: "byte" gives "... a byte[]."
  Py_ssize_t itemsize;
  const char* formats[2];
  bool accepts_no_format;
};

template <class P>
constexpr BufferRow buffer_row(const char* format, const char* alternative, bool accepts_no_format) {
  return {P::code, P::name, sizeof(typename P::type), {format, alternative}, accepts_no_format};
}

// Indexed by kiv::BufferKind.
constexpr BufferRow kBufferRows[] = {
    buffer_row<kiv::JPrimitive<JTYPE_BYTE>>("b", "B", true),
    buffer_row<kiv::JPrimitive<JTYPE_SHORT>>("h", nullptr, false),
    buffer_row<kiv::JPrimitive<JTYPE_INT>>("i", "l", false),
    buffer_row<kiv::JPrimitive<JTYPE_LONG>>("l", "q", false),
    buffer_row<kiv::JPrimitive<JTYPE_FLOAT>>("f", nullptr, false),
    buffer_row<kiv::JPrimitive<JTYPE_DOUBLE>>("d", nullptr, false),
};

const BufferRow& row_of(kiv::BufferKind kind) noexcept { return kBufferRows[static_cast<int>(kind)]; }

// n elements of P's type from contiguous memory as a new Java array, or nullptr with
// a Python error set.
template <class P>
jarray copy_to_array(JNIEnv* env, Py_buffer* view, jsize n) noexcept {
  typename P::array array = P::new_array(env, n);
  if (!array) return static_cast<jarray>(kiv::java_failure(env));
  if (n > 0) {
    if (PyBuffer_IsContiguous(view, 'C')) {
      P::set_region(env, array, 0, n, static_cast<const typename P::type*>(view->buf));
    } else {
      // Strided, Fortran-ordered or indirect: gather the elements in row-major order first.
      PyMemArray<char> flat(static_cast<size_t>(view->len));
      if (!flat.get() || PyBuffer_ToContiguous(flat.get(), view, view->len, 'C') < 0) {
        env->DeleteLocalRef(array);
        return nullptr;
      }
      P::set_region(env, array, 0, n, reinterpret_cast<const typename P::type*>(flat.get()));
    }
    if (KIV_UNLIKELY(env->ExceptionCheck())) {
      env->DeleteLocalRef(array);
      return static_cast<jarray>(kiv::java_failure(env));
    }
  }
  return array;
}

}  // namespace

// ---- scalars ----------------------------------------------------------------------------

KIV_API jboolean PyObject_As_jboolean(PyObject* value) {
  // An error of the truth test (-1) gives true, with the error set.
  return PyObject_IsTrue(value) != 0 ? JNI_TRUE : JNI_FALSE;
}

KIV_API jbyte PyObject_As_jbyte(PyObject* value) {
  return static_cast<jbyte>(index_in_range(value, SCHAR_MIN, SCHAR_MAX, "byte"));
}

KIV_API jshort PyObject_As_jshort(PyObject* value) {
  return static_cast<jshort>(index_in_range(value, SHRT_MIN, SHRT_MAX, "short"));
}

KIV_API jint PyObject_As_jint(PyObject* value) {
  return static_cast<jint>(index_in_range(value, INT_MIN, INT_MAX, "int"));
}

KIV_API jlong PyObject_As_jlong(PyObject* value) {
  if (PyLong_CheckExact(value)) return PyLong_AsLongLong(value);
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return -1;
  return PyLong_AsLongLong(index.get());
}

KIV_API jfloat PyObject_As_jfloat(PyObject* value) {
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return -1.0f;
  return narrow_to_float(d);
}

KIV_API jdouble PyObject_As_jdouble(PyObject* value) { return PyFloat_AsDouble(value); }

KIV_API jchar PyObject_As_jchar(PyObject* value) {
  // A one-character str fits a UTF-16 code unit when its storage is one or two bytes.
  if (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 1 && PyUnicode_KIND(value) != PyUnicode_4BYTE_KIND) {
    return static_cast<jchar>(PyUnicode_READ_CHAR(value, 0));
  }
  PyErr_Format(PyExc_TypeError, "Expected char but received a %s.", Py_TYPE(value)->tp_name);
  return 0;
}

// ---- strings ------------------------------------------------------------------------

KIV_API jstring pyunicode_as_jstring(JNIEnv* env, PyObject* str) {
  if (KIV_UNLIKELY(!PyUnicode_Check(str))) {
    PyErr_Format(PyExc_TypeError, "Expected str but received a %s.", Py_TYPE(str)->tp_name);
    return nullptr;
  }
  Py_ssize_t len = PyUnicode_GET_LENGTH(str);
  jstring result;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_2BYTE_KIND: {
      // Already UTF-16 code units, lone surrogates included.
      jsize n;
      if (!kiv::to_jsize(len, &n)) return nullptr;
      result = env->NewString(reinterpret_cast<const jchar*>(PyUnicode_2BYTE_DATA(str)), n);
      break;
    }
    case PyUnicode_1BYTE_KIND: {
      jsize n;
      if (!kiv::to_jsize(len, &n)) return nullptr;
      const Py_UCS1* data = PyUnicode_1BYTE_DATA(str);
      if (PyUnicode_IS_ASCII(str) && std::strlen(reinterpret_cast<const char*>(data)) == static_cast<size_t>(len)) {
        // ASCII without NUL reads the same in modified UTF-8, and saves the widening.
        result = env->NewStringUTF(reinterpret_cast<const char*>(data));
        break;
      }
      // Latin-1: each character is its own code unit.
      jchar small[128] = {};
      jchar* units = n <= 128 ? small : static_cast<jchar*>(PyMem_Malloc(sizeof(jchar) * static_cast<size_t>(n)));
      if (!units) {
        PyErr_NoMemory();
        return nullptr;
      }
      for (jsize i = 0; i < n; ++i) units[i] = data[i];
      result = env->NewString(units, n);
      if (units != small) PyMem_Free(units);
      break;
    }
    default: {
      // Characters above U+FFFF become surrogate pairs; a lone surrogate next to them
      // stays a lone code unit, as Java allows.  The codec writes a byte-order mark
      // first, which is skipped.
      PyRef utf16 = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-16", "surrogatepass"));
      if (!utf16) return nullptr;
      jsize n;
      if (!kiv::to_jsize((PyBytes_GET_SIZE(utf16.get()) - 2) / 2, &n)) return nullptr;
      result = env->NewString(reinterpret_cast<const jchar*>(PyBytes_AS_STRING(utf16.get()) + 2), n);
      break;
    }
  }
  if (KIV_UNLIKELY(!result)) return static_cast<jstring>(kiv::java_failure(env));
  return result;
}

KIV_API jstring PyObject_As_jstring(JNIEnv* env, PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) return nullptr;
  return pyunicode_as_jstring(env, text.get());
}

// ---- arrays -------------------------------------------------------------------------

KIV_API jarray pysequence_as_jprimitive_array(JNIEnv* env, PyObject* seq, jclass component) {
  PyRef items = PyRef::steal(kiv::sequence_snapshot(seq));
  if (!items) return nullptr;
  jsize n;
  if (!kiv::to_jsize(PyTuple_GET_SIZE(items.get()), &n)) return nullptr;
  PyObject* t = items.get();
  return kiv::with_primitive(
      kiv::primitive_code_of(env, component),
      [&](auto p) { return items_to_primitive_array<decltype(p)>(env, t, n); },
      [&]() -> jarray {
        PyErr_SetString(PyExc_TypeError, "Unsupported primitive array component type.");
        return nullptr;
      });
}

KIV_API jarray pybuffer_as_jarray(JNIEnv* env, Py_buffer* view, jclass element) {
  int code = kiv::primitive_code_of(env, element);
  for (int k = 0; k <= static_cast<int>(kiv::BufferKind::Double); ++k) {
    if (kBufferRows[k].code == code) return kiv::buffer_to_jarray(env, view, static_cast<kiv::BufferKind>(k));
  }
  PyErr_SetString(PyExc_TypeError, "Buffers convert only to byte, short, int, long, float or double arrays.");
  return nullptr;
}

namespace kiv {

bool to_jsize(Py_ssize_t n, jsize* out) noexcept {
  if (KIV_UNLIKELY(n < 0 || n > INT32_MAX)) {
    PyErr_Format(PyExc_OverflowError, "%zd elements do not fit in a Java array or string (at most 2147483647).", n);
    return false;
  }
  *out = static_cast<jsize>(n);
  return true;
}

jobject java_failure(JNIEnv* env) noexcept {
  process_java_exception(env);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "A Java call failed without an exception.");
  return nullptr;
}

PyObject* sequence_snapshot(PyObject* seq) noexcept {
  if (PyTuple_Check(seq)) return Py_NewRef(seq);  // immutable: holding it holds its items
  if (PyList_Check(seq)) return PyList_AsTuple(seq);
  return PySequence_Tuple(seq);
}

bool buffer_fits(const Py_buffer* view, BufferKind kind) noexcept {
  const BufferRow& row = row_of(kind);
  if (view->itemsize != row.itemsize) return false;
  if (!view->format) return row.accepts_no_format;
  for (const char* f : row.formats) {
    if (f && std::strcmp(view->format, f) == 0) return true;
  }
  return false;
}

bool infer_buffer_kind(const Py_buffer* view, BufferKind* out) noexcept {
  for (int k = 0; k <= static_cast<int>(BufferKind::Double); ++k) {
    if (buffer_fits(view, static_cast<BufferKind>(k))) {
      *out = static_cast<BufferKind>(k);
      return true;
    }
  }
  return false;
}

void buffer_format_error(const Py_buffer* view, BufferKind kind) noexcept {
  PyErr_Format(PyExc_TypeError, "Buffer format '%s' is not valid for a %s[].", view->format ? view->format : "B",
               row_of(kind).java_name);
}

jclass buffer_array_class(BufferKind kind) noexcept {
  return with_primitive(
      row_of(kind).code, [](auto p) { return decltype(p)::array_class(); }, []() -> jclass { return nullptr; });
}

jarray buffer_to_jarray(JNIEnv* env, Py_buffer* view, BufferKind kind) noexcept {
  const BufferRow& row = row_of(kind);
  // The copy reads itemsize bytes per Java element: anything else would read past the
  // buffer or mix elements.
  if (KIV_UNLIKELY(view->itemsize != row.itemsize)) {
    PyErr_Format(PyExc_TypeError, "Buffer items of %zd bytes do not fit a %s[].", view->itemsize, row.java_name);
    return nullptr;
  }
  jsize n;
  if (!to_jsize(view->len / view->itemsize, &n)) return nullptr;
  return with_primitive(
      row.code, [&](auto p) { return copy_to_array<decltype(p)>(env, view, n); }, []() -> jarray { return nullptr; });
}

}  // namespace kiv
