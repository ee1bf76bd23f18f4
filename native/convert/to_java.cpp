// convert/to_java.cpp: any Python value as a Java object of an expected class: boxed
// values, strings, collections, arrays, functional-interface proxies, and wrappers that
// hand the Python object itself to Java.
//
// The expected class steers the result (5 becomes a Long, an Integer or a BigInteger);
// the value's kind is tested in a fixed order and the first kind that matches decides.
// Java calls that build collections or wrappers release the interpreter lock, so every
// container is converted from a snapshot holding strong references to its items.
#include <Python.h>
#include <jni.h>

#include <cstdint>
#include <utility>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/boxes.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/to_java.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::BufferKind;
using kiv::LocalFrame;
using kiv::LocalRef;
using kiv::PyRef;

namespace {

// Local references a collection or reflection walk holds at once.
constexpr jint kFrameCapacity = 16;

// The class a conversion must produce.  Whether it is java.lang.Object is decided once
// per conversion: then every candidate class fits and no JNI test is needed.
struct Expected {
  jclass cls;
  bool any;  // cls is java.lang.Object
  // True when a value of class c may be used where cls is wanted.
  bool fits(JNIEnv* env, jclass c) const noexcept { return any || kiv::assignable(env, c, cls); }
};

Expected expect(JNIEnv* env, jclass cls) noexcept {
  return {cls, cls == JOBJECT_TYPE || kiv::same(env, cls, JOBJECT_TYPE)};
}

// Collection items and map keys and values.
Expected any_object() noexcept { return {JOBJECT_TYPE, true}; }

jobject convert(JNIEnv* env, PyObject* value, Expected e) noexcept;

jobject refuse(JNIEnv* env, PyObject* value, jclass expected) noexcept {
  pyobject_type_mismatch(env, value, expected);
  return nullptr;
}

// The result of a Java constructor or factory, or the translated failure.
jobject made(JNIEnv* env, jobject result) noexcept { return result ? result : kiv::java_failure(env); }

jobject new_local(JNIEnv* env, jobject ref) noexcept { return made(env, env->NewLocalRef(ref)); }

// Hands value to a Java object made by make(caller, address), which owns one reference
// to it from then on.  The reference is taken only once the object exists.
template <class Make>
jobject hand_to_java(JNIEnv* env, PyObject* value, Make make) noexcept {
  KivThread* rec = pyembed_get_kivthread();
  if (!rec) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Invalid KivThread pointer.");
    return nullptr;
  }
  jobject wrapper = make(rec->caller, static_cast<jlong>(reinterpret_cast<intptr_t>(value)));
  if (KIV_UNLIKELY(!wrapper || env->ExceptionCheck())) {
    if (wrapper) env->DeleteLocalRef(wrapper);
    return kiv::java_failure(env);
  }
  Py_INCREF(value);
  return wrapper;
}

// ---- wrappers of Java objects ---------------------------------------------------------

// A class wrapper, an array wrapper or any other PyJObject: the Java object it stands for.
jobject convert_wrapper(JNIEnv* env, PyObject* value, Expected e) noexcept {
  auto* w = reinterpret_cast<PyJObject*>(value);
  if (PyJClass_Check(value)) {
    if (e.fits(env, JCLASS_TYPE)) return new_local(env, w->clazz);
  } else if (pyjarray_check(value)) {
    if (e.fits(env, w->clazz)) {
      // Elements pinned and changed on the Python side must reach Java first.
      pyjarray_release_pinned(reinterpret_cast<PyJArray*>(value), JNI_COMMIT);
      return new_local(env, w->object);
    }
  } else if (e.fits(env, w->clazz)) {
    return new_local(env, w->object);
  }
  return refuse(env, value, e.cls);
}

// ---- scalars ------------------------------------------------------------------------

jobject convert_str(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (e.fits(env, JSTRING_TYPE)) return pyunicode_as_jstring(env, value);
  if (e.fits(env, JCHAR_OBJ_TYPE)) {
    jchar c = PyObject_As_jchar(value);
    if (c == 0 && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_CHAR>>(env, c));
  }
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

jobject convert_bool(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (e.fits(env, JBOOL_OBJ_TYPE)) return made(env, kiv::box<kiv::JPrimitive<JTYPE_BOOLEAN>>(env, value == Py_True));
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

// The BigInteger of an int, through its two's-complement bytes: no limit on the number
// of digits (as text would have), and never the __str__ of a subclass.
jobject big_integer(JNIEnv* env, PyObject* value) noexcept {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return nullptr;
  // One sign bit more than the magnitude needs, rounded up to whole bytes.
  size_t bits = _PyLong_NumBits(index.get());
  if (bits == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
  size_t size = bits / 8 + 1;
  jsize length;
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX) || !kiv::to_jsize(static_cast<Py_ssize_t>(size), &length)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "int too large for a java.math.BigInteger");
    return nullptr;
  }
  LocalRef<jbyteArray> bytes(env, env->NewByteArray(length));
  if (!bytes || env->ExceptionCheck()) return kiv::java_failure(env);
  jbyte* data = env->GetByteArrayElements(bytes.get(), nullptr);
  if (!data) return kiv::java_failure(env);
  int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(index.get()), reinterpret_cast<unsigned char*>(data),
                               size, /*little_endian=*/0, /*is_signed=*/1);
  env->ReleaseByteArrayElements(bytes.get(), data, rc < 0 ? JNI_ABORT : 0);
  if (rc < 0) return nullptr;
  return made(env, java_math_BigInteger_new_BArray(env, bytes.get()));
}

jobject convert_int(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (e.fits(env, JLONG_OBJ_TYPE)) {
    jlong v = PyObject_As_jlong(value);
    if (v == -1 && PyErr_Occurred()) {
      // Beyond 64 bits: a BigInteger when one may be used instead.
      if (!PyErr_ExceptionMatches(PyExc_OverflowError) || !e.fits(env, JBIGINTEGER_TYPE)) return nullptr;
      PyErr_Clear();
      return big_integer(env, value);
    }
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_LONG>>(env, v));
  }
  if (e.fits(env, JINT_OBJ_TYPE)) {
    jint v = PyObject_As_jint(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_INT>>(env, v));
  }
  if (e.fits(env, JBYTE_OBJ_TYPE)) {
    jbyte v = PyObject_As_jbyte(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_BYTE>>(env, v));
  }
  if (e.fits(env, JSHORT_OBJ_TYPE)) {
    jshort v = PyObject_As_jshort(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_SHORT>>(env, v));
  }
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  if (e.fits(env, JBIGINTEGER_TYPE)) return big_integer(env, value);
  return refuse(env, value, e.cls);
}

jobject convert_float(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (e.fits(env, JDOUBLE_OBJ_TYPE)) {
    jdouble v = PyObject_As_jdouble(value);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_DOUBLE>>(env, v));
  }
  if (e.fits(env, JFLOAT_OBJ_TYPE)) {
    jfloat v = PyObject_As_jfloat(value);
    if (v == -1.0f && PyErr_Occurred()) return nullptr;
    return made(env, kiv::box<kiv::JPrimitive<JTYPE_FLOAT>>(env, v));
  }
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

// A NumPy scalar as a box of its kind; a kind no box of which fits is wrapped or refused.
jobject convert_npy_scalar(JNIEnv* env, PyObject* value, Expected e) noexcept {
  jobject box = convert_npy_scalar_jobject(env, value, e.cls);
  if (box || PyErr_Occurred()) return box;
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

// ---- collections ----------------------------------------------------------------------
// The builders below are kept out of convert() so that the frame a nesting level puts on
// the C stack stays small.

// ---- columns of plain values ------------------------------------------------------------
// Python values all of one plain kind go to Java as one array, and a collection of them
// is built from it by one Java call (kiv.internal.NativeSupport) instead of one call per
// element: exact ints that fit 64 bits as a long[] (boxed as Long), exact floats as a
// double[] (boxed as Double), exact strs as a String[].  These are the values each would
// be converted to for java.lang.Object.

enum class Column { None, Long, Double, String };

// The kind of items[0], items[stride], ... (n of them): None unless all have one plain
// type.  Whether ints fit is found out when the array is filled.
Column column_kind(PyObject* const* items, Py_ssize_t n, Py_ssize_t stride) noexcept {
  if (n == 0) return Column::None;
  PyTypeObject* type = Py_TYPE(items[0]);
  Column kind = type == &PyLong_Type      ? Column::Long
                : type == &PyFloat_Type   ? Column::Double
                : type == &PyUnicode_Type ? Column::String
                                          : Column::None;
  for (Py_ssize_t i = 1; i < n && kind != Column::None; ++i) {
    if (Py_TYPE(items[i * stride]) != type) kind = Column::None;
  }
  return kind;
}

// The primitive column as a new Java array; nullptr with no error when an int does not
// fit 64 bits (then the caller converts item by item), or with the Java failure
// translated.  No JNI call runs while the elements are written in place.
template <class P>
jobject primitive_column(JNIEnv* env, PyObject* const* items, jsize n, Py_ssize_t stride) noexcept {
  LocalRef<typename P::array> array(env, P::new_array(env, n));
  if (!array) return kiv::java_failure(env);
  auto* out = static_cast<typename P::type*>(env->GetPrimitiveArrayCritical(array.get(), nullptr));
  if (!out) return kiv::java_failure(env);
  bool fits = true;
  for (jsize i = 0; i < n && fits; ++i) {
    PyObject* item = items[i * stride];
    if constexpr (P::code == JTYPE_LONG) {
      int overflow = 0;
      out[i] = PyLong_AsLongLongAndOverflow(item, &overflow);  // exact int: cannot fail otherwise
      fits = overflow == 0;
    } else {
      out[i] = PyFloat_AS_DOUBLE(item);
    }
  }
  env->ReleasePrimitiveArrayCritical(array.get(), out, fits ? 0 : JNI_ABORT);
  return fits ? array.release() : nullptr;
}

// The str column as a new String[], each str converted as convert_str converts it;
// nullptr with a Python error set.
jobject string_column(JNIEnv* env, PyObject* const* items, jsize n, Py_ssize_t stride) noexcept {
  LocalRef<jobjectArray> array(env, env->NewObjectArray(n, JSTRING_TYPE, nullptr));
  if (!array) return kiv::java_failure(env);
  for (jsize i = 0; i < n; ++i) {
    LocalRef<jstring> s(env, pyunicode_as_jstring(env, items[i * stride]));
    if (!s) return nullptr;
    env->SetObjectArrayElement(array.get(), i, s.get());  // in range, and a String: cannot throw
  }
  return array.release();
}

// The column of `kind` (not None) as a new Java array; nullptr with no error when the
// items must be converted one by one after all, or with a Python error set.
jobject column_array(JNIEnv* env, PyObject* const* items, jsize n, Py_ssize_t stride, Column kind) noexcept {
  switch (kind) {
    case Column::Long: return primitive_column<kiv::JPrimitive<JTYPE_LONG>>(env, items, n, stride);
    case Column::Double: return primitive_column<kiv::JPrimitive<JTYPE_DOUBLE>>(env, items, n, stride);
    case Column::String: return string_column(env, items, n, stride);
    default: return nullptr;
  }
}

// A list or tuple as a new ArrayList of its items converted for java.lang.Object; for a
// tuple, an unmodifiable view of it.
KIV_NOINLINE jobject sequence_to_list(JNIEnv* env, PyObject* seq, bool unmodifiable) noexcept {
  kiv::RecursionGuard depth;
  if (!depth.ok()) return nullptr;
  PyRef items = PyRef::steal(kiv::sequence_snapshot(seq));
  if (!items) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  jsize capacity;
  if (!kiv::to_jsize(n, &capacity)) return nullptr;
  LocalFrame frame(env, kFrameCapacity);
  if (!frame.ok()) return kiv::java_failure(env);
  PyObject* const* all = &PyTuple_GET_ITEM(items.get(), 0);
  Column kind = column_kind(all, n, 1);
  if (kind != Column::None) {
    LocalRef<> column(env, column_array(env, all, capacity, 1, kind));
    if (column) {
      jobject list = kiv_internal_NativeSupport_list(env, column.get(), unmodifiable ? JNI_TRUE : JNI_FALSE);
      if (!list || env->ExceptionCheck()) return kiv::java_failure(env);
      column.reset();  // before the frame that holds it goes
      return frame.keep(list);
    }
    if (PyErr_Occurred()) return nullptr;
  }
  jobject list = java_util_ArrayList_new_I(env, capacity);
  if (!list) return kiv::java_failure(env);
  for (Py_ssize_t i = 0; i < n; ++i) {
    LocalRef<> item(env, convert(env, PyTuple_GET_ITEM(items.get(), i), any_object()));
    if (!item && PyErr_Occurred()) return nullptr;
    kiv::list_add_keeping_lock(env, list, item.get());
    item.reset();
    if (kiv::java_failed(env)) return nullptr;
  }
  if (unmodifiable) {
    list = java_util_Collections_unmodifiableList(env, list);
    if (!list || env->ExceptionCheck()) return kiv::java_failure(env);
  }
  return frame.keep(list);
}

// A list or tuple as a new Java array of array_class: items converted for its component
// class, or a primitive array.
KIV_NOINLINE jobject sequence_to_array(JNIEnv* env, PyObject* seq, jclass array_class) noexcept {
  kiv::RecursionGuard depth;
  if (!depth.ok()) return nullptr;
  LocalFrame frame(env, kFrameCapacity);
  if (!frame.ok()) return kiv::java_failure(env);
  jclass component = java_lang_Class_getComponentType(env, array_class);
  if (!component || env->ExceptionCheck()) return kiv::java_failure(env);
  if (!kiv::assignable(env, component, JOBJECT_TYPE)) {
    jarray primitive = pysequence_as_jprimitive_array(env, seq, component);
    return primitive ? frame.keep(primitive) : nullptr;
  }
  PyRef items = PyRef::steal(kiv::sequence_snapshot(seq));
  if (!items) return nullptr;
  jsize n;
  if (!kiv::to_jsize(PyTuple_GET_SIZE(items.get()), &n)) return nullptr;
  jobjectArray array = env->NewObjectArray(n, component, nullptr);
  if (!array) return kiv::java_failure(env);
  Expected element = expect(env, component);
  for (jsize i = 0; i < n; ++i) {
    LocalRef<> item(env, convert(env, PyTuple_GET_ITEM(items.get(), i), element));
    if (!item && PyErr_Occurred()) return nullptr;
    env->SetObjectArrayElement(array, i, item.get());
    item.reset();
    if (kiv::java_failed(env)) return nullptr;
  }
  return frame.keep(array);
}

// A dict as a new HashMap whose keys and values are converted for java.lang.Object.
KIV_NOINLINE jobject dict_to_map(JNIEnv* env, PyObject* dict) noexcept {
  kiv::RecursionGuard depth;
  if (!depth.ok()) return nullptr;
  Py_ssize_t n = PyDict_GET_SIZE(dict);
  jsize size;
  if (!kiv::to_jsize(n, &size)) return nullptr;
  // Keys and values side by side, held strongly: the walk runs no Python code, so the
  // dict cannot change under it.
  PyRef pairs = PyRef::steal(PyTuple_New(2 * n));
  if (!pairs) return nullptr;
  Py_ssize_t count = 0, pos = 0;
  PyObject *key, *val;
  while (count < n && PyDict_Next(dict, &pos, &key, &val)) {
    PyTuple_SET_ITEM(pairs.get(), 2 * count, Py_NewRef(key));
    PyTuple_SET_ITEM(pairs.get(), 2 * count + 1, Py_NewRef(val));
    ++count;
  }
  LocalFrame frame(env, kFrameCapacity);
  if (!frame.ok()) return kiv::java_failure(env);
  if (count == n) {
    PyObject* const* all = &PyTuple_GET_ITEM(pairs.get(), 0);
    Column keyKind = column_kind(all, n, 2);
    Column valueKind = keyKind == Column::None ? Column::None : column_kind(all + 1, n, 2);
    if (valueKind != Column::None) {
      LocalRef<> keys(env, column_array(env, all, size, 2, keyKind));
      LocalRef<> values(env, keys ? column_array(env, all + 1, size, 2, valueKind) : nullptr);
      if (values) {
        // JDK keys: nothing the map runs reaches Python.
        jobject map = kiv_internal_NativeSupport_map(env, keys.get(), values.get());
        if (!map || env->ExceptionCheck()) return kiv::java_failure(env);
        values.reset();  // before the frame that holds them goes
        keys.reset();
        return frame.keep(map);
      }
      if (PyErr_Occurred()) return nullptr;
    }
  }
  // Sized so that filling it never rehashes.
  double wanted = size / 0.75 + 1.0;
  jobject map = java_util_HashMap_new_I(env, wanted < INT32_MAX ? static_cast<jint>(wanted) : INT32_MAX);
  if (!map) return kiv::java_failure(env);
  for (Py_ssize_t i = 0; i < count; ++i) {
    LocalRef<> k(env, convert(env, PyTuple_GET_ITEM(pairs.get(), 2 * i), any_object()));
    if (!k && PyErr_Occurred()) return nullptr;
    LocalRef<> v(env, convert(env, PyTuple_GET_ITEM(pairs.get(), 2 * i + 1), any_object()));
    if (!v && PyErr_Occurred()) return nullptr;
    // A key made from a Python str, number, bool or None is a JDK value whose hashCode
    // and equals cannot reach Python; any other key may run user code.
    PyObject* pyKey = PyTuple_GET_ITEM(pairs.get(), 2 * i);
    bool jdkKey = pyKey == Py_None || PyUnicode_CheckExact(pyKey) || PyLong_CheckExact(pyKey) ||
                  PyFloat_CheckExact(pyKey) || PyBool_Check(pyKey);
    LocalRef<> previous(env, jdkKey ? kiv::map_put_keeping_lock(env, map, k.get(), v.get())
                                    : java_util_Map_put(env, map, k.get(), v.get()));
    if (kiv::java_failed(env)) return nullptr;
  }
  return frame.keep(map);
}

jobject convert_sequence(JNIEnv* env, PyObject* value, Expected e) noexcept {
  bool is_tuple = PyTuple_Check(value);
  if (e.fits(env, JLIST_TYPE) || (!is_tuple && e.fits(env, JARRAYLIST_TYPE))) {
    return sequence_to_list(env, value, is_tuple);
  }
  jboolean is_array = java_lang_Class_isArray(env, e.cls);
  if (kiv::java_failed(env)) return nullptr;
  if (is_array) return sequence_to_array(env, value, e.cls);
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

jobject convert_dict(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (e.fits(env, JHASHMAP_TYPE)) return dict_to_map(env, value);
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

// ---- callables and buffers --------------------------------------------------------------

jobject convert_callable(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (!e.any) {  // java.lang.Object is no interface
    if (isFunctionalInterfaceType(env, e.cls)) return PyCallable_as_functional_interface(env, value, e.cls);
    if (PyErr_Occurred()) return nullptr;
  }
  if (e.fits(env, JPYCALLABLE_TYPE)) {
    return hand_to_java(env, value, [env](jobject caller, jlong address) {
      return kiv_python_PyCallable_new_Kiv_J(env, caller, address);
    });
  }
  if (e.fits(env, JSTRING_TYPE)) return PyObject_As_jstring(env, value);
  return refuse(env, value, e.cls);
}

// The buffer export of a value, released on every path.
class BufferView {
 public:
  explicit BufferView(PyObject* exporter) noexcept : ok_(PyObject_GetBuffer(exporter, &view_, PyBUF_FULL_RO) == 0) {}
  ~BufferView() { release(); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  // False: the exporter's error is set.
  bool ok() const noexcept { return ok_; }
  Py_buffer* get() noexcept { return &view_; }
  void release() noexcept {
    if (ok_) PyBuffer_Release(&view_);
    ok_ = false;
  }

 private:
  Py_buffer view_;
  bool ok_;
};

KIV_NOINLINE jobject convert_buffer(JNIEnv* env, PyObject* value, Expected e) noexcept {
  BufferView buffer(value);
  if (!buffer.ok()) return nullptr;
  if (e.any) {
    BufferKind kind;
    if (kiv::infer_buffer_kind(buffer.get(), &kind)) return kiv::buffer_to_jarray(env, buffer.get(), kind);
    buffer.release();
    return pyobject_as_jpyobject(env, value);
  }
  static constexpr BufferKind kTargets[] = {BufferKind::Byte,  BufferKind::Int,   BufferKind::Short,
                                            BufferKind::Long,  BufferKind::Float, BufferKind::Double};
  for (BufferKind kind : kTargets) {
    if (kiv::assignable(env, kiv::buffer_array_class(kind), e.cls)) {
      if (!kiv::buffer_fits(buffer.get(), kind)) {
        kiv::buffer_format_error(buffer.get(), kind);
        return nullptr;
      }
      return kiv::buffer_to_jarray(env, buffer.get(), kind);
    }
  }
  buffer.release();
  if (kiv::assignable(env, JPYOBJECT_TYPE, e.cls)) return pyobject_as_jpyobject(env, value);
  return refuse(env, value, e.cls);
}

// ---- the decision ---------------------------------------------------------------------

jobject convert(JNIEnv* env, PyObject* value, Expected e) noexcept {
  if (value == Py_None) return nullptr;
  // Exact built-in types are neither wrappers of Java objects nor NumPy values, which
  // spares those look-ups for the most common values.
  PyTypeObject* type = Py_TYPE(value);
  bool plain = type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
               type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type || type == &PyBytes_Type;
  // Class and array wrappers are PyJObjects too.
  if (!plain && PyJObject_Check(value)) return convert_wrapper(env, value, e);
  if (PyUnicode_Check(value)) return convert_str(env, value, e);
  if (PyBool_Check(value)) return convert_bool(env, value, e);
  if (!plain && npy_scalar_check(value)) return convert_npy_scalar(env, value, e);
  if (PyLong_Check(value)) return convert_int(env, value, e);
  if (PyFloat_Check(value)) return convert_float(env, value, e);
  if (PyList_Check(value) || PyTuple_Check(value)) return convert_sequence(env, value, e);
  if (PyDict_Check(value)) return convert_dict(env, value, e);
  if (PyCallable_Check(value)) return convert_callable(env, value, e);
  if (!e.any && kiv::same(env, e.cls, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  if (!plain && npy_array_check(value)) return convert_pyndarray_jobject(env, value, e.cls);
  if (PyObject_CheckBuffer(value)) return convert_buffer(env, value, e);
  if (e.fits(env, JPYOBJECT_TYPE)) return pyobject_as_jpyobject(env, value);
  if (e.fits(env, JSTRING_TYPE)) return PyObject_As_jstring(env, value);
  return refuse(env, value, e.cls);
}

}  // namespace

KIV_API jobject PyObject_As_jobject(JNIEnv* env, PyObject* value, jclass expected) {
  if (value == Py_None) return nullptr;
  if (KIV_UNLIKELY(!expected)) {
    PyErr_SetString(PyExc_TypeError, "No Java class was given to convert to.");
    return nullptr;
  }
  return convert(env, value, expect(env, expected));
}

KIV_API jvalue PyObject_As_jvalue(JNIEnv* env, PyObject* value, jclass type) {
  jvalue result;
  result.j = 0;
  if (kiv::assignable(env, type, JOBJECT_TYPE)) {
    result.l = PyObject_As_jobject(env, value, type);
    return result;
  }
  kiv::with_primitive(
      kiv::primitive_code_of(env, type),
      [&](auto p) {
        using P = decltype(p);
        P::of(result) = P::from_python(value);
      },
      [&] {
        if (kiv::same(env, type, JVOID_TYPE)) {
          PyErr_SetString(PyExc_TypeError, "Cannot convert any PyObject to Void");
        } else {
          PyErr_SetString(PyExc_TypeError, "Unrecognized java type.");
        }
      });
  return result;
}

namespace {

// The reflection behind isFunctionalInterfaceType.
jboolean functional_interface(JNIEnv* env, jclass cls) {
  LocalFrame frame(env, kFrameCapacity);
  if (!frame.ok()) {
    kiv::java_failure(env);
    return JNI_FALSE;
  }
  jboolean is_interface = java_lang_Class_isInterface(env, cls);
  if (kiv::java_failed(env) || !is_interface) return JNI_FALSE;
  jobjectArray methods = java_lang_Class_getMethods(env, cls);
  if (!methods || env->ExceptionCheck()) {
    kiv::java_failure(env);
    return JNI_FALSE;
  }
  // Public methods, inherited ones included; Object's methods that the interface
  // declares again abstractly count too (so Comparator, with equals, is not functional).
  jsize n = env->GetArrayLength(methods);
  int abstract = 0;
  for (jsize i = 0; i < n && abstract < 2; ++i) {
    LocalRef<> method(env, env->GetObjectArrayElement(methods, i));
    if (kiv::java_failed(env)) return JNI_FALSE;
    jint modifiers = java_lang_reflect_Member_getModifiers(env, method.get());
    if (kiv::java_failed(env)) return JNI_FALSE;
    jboolean is_abstract = java_lang_reflect_Modifier_isAbstract(env, modifiers);
    if (kiv::java_failed(env)) return JNI_FALSE;
    if (is_abstract) ++abstract;
  }
  return abstract == 1 ? JNI_TRUE : JNI_FALSE;
}

}  // namespace

KIV_API jboolean isFunctionalInterfaceType(JNIEnv* env, jclass cls) {
  // A class's methods never change: the answer is kept for the last few classes asked.
  ModuleCaches* c = kiv::module_caches();
  if (!c) {
    PyErr_Clear();
    return functional_interface(env, cls);
  }
  for (int i = 0; i < ModuleCaches::kFunctionalSlots; ++i) {
    jclass key = c->functionalKeys[i].get();
    if (key && kiv::same(env, key, cls)) return c->functionalValues[i] ? JNI_TRUE : JNI_FALSE;
  }
  jboolean answer = functional_interface(env, cls);
  if (PyErr_Occurred()) return answer;
  kiv::GlobalRef<jclass> key = kiv::GlobalRef<jclass>::make(env, cls);
  if (!key) {
    env->ExceptionClear();  // not kept: asked again next time
    return answer;
  }
  int slot = c->functionalNext;
  c->functionalKeys[slot] = std::move(key);
  c->functionalValues[slot] = answer == JNI_TRUE;
  c->functionalNext = (slot + 1) % ModuleCaches::kFunctionalSlots;
  return answer;
}

KIV_API jobject PyCallable_as_functional_interface(JNIEnv* env, PyObject* callable, jclass iface) {
  // The proxy is made on the calling thread's environment: the record's own belongs to
  // the thread that created the record, and callables may be converted on others.
  return hand_to_java(env, callable, [env, iface](jobject caller, jlong address) {
    return kiv_Proxy_newDirectProxyInstance(env, caller, address, iface);
  });
}

KIV_API jobject pyobject_as_jpyobject(JNIEnv* env, PyObject* value) {
  return hand_to_java(env, value, [env](jobject caller, jlong address) {
    return kiv_python_PyObject_new_Kiv_J(env, caller, address);
  });
}

KIV_API void pyobject_type_mismatch(JNIEnv* env, PyObject* value, jclass expected) {
  LocalRef<jstring> name(env, java_lang_Class_getName(env, expected));
  if (kiv::java_failed(env)) return;
  const char* type_name = PyJClass_Check(value) ? "java.lang.Class" : Py_TYPE(value)->tp_name;
  kiv::JavaString chars(env, name.get());
  if (!chars.c_str()) {
    env->ExceptionClear();
    PyErr_Format(PyExc_TypeError, "Expected %s but received a %s.", "<unknown>", type_name);
    return;
  }
  PyErr_Format(PyExc_TypeError, "Expected %s but received a %s.", chars.c_str(), type_name);
}
