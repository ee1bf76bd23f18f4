// convert/numpy_to_python.cpp: kiv.NDArray and kiv.DirectNDArray to ndarrays, the
// bodies of the _to_python hooks that convert/numpy.cpp installs.
//
// A kiv.NDArray is copied once into a new ndarray.  A kiv.DirectNDArray becomes an
// ndarray over its buffer's memory, whose base object is the wrapper of the
// kiv.DirectNDArray: the wrapper's global reference keeps the Java object, and so the
// buffer, alive as long as the ndarray.  The Java classes check their dimensions, but
// objects made without their constructors exist too: everything is checked again here
// before any memory is touched.
#include "convert/numpy.h"

#include <Python.h>
#include <jni.h>

#include <atomic>
#include <cstdint>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/to_java.h"
#include "embed/state.h"

using kiv::LocalRef;
using kiv::PyRef;

#if KIV_HAVE_NUMPY

namespace {

// The three accessors of kiv.NDArray or kiv.DirectNDArray, looked up on first use.
struct Accessors {
  jclass cls;
  jmethodID* dims;
  jmethodID* data;
  jmethodID* isUnsigned;
};

bool method_id(JNIEnv* env, jclass cls, jmethodID* slot, const char* name, const char* sig) noexcept {
  if (KIV_LIKELY(*slot != nullptr)) return true;
  jmethodID id = env->GetMethodID(cls, name, sig);
  if (!id) {
    kiv::java_failure(env);
    return false;
  }
  *slot = id;
  return true;
}

bool look_up(JNIEnv* env, const Accessors& a) noexcept {
  return method_id(env, a.cls, a.dims, "getDimensions", "()[I") &&
         method_id(env, a.cls, a.data, "getData", "()Ljava/lang/Object;") &&
         method_id(env, a.cls, a.isUnsigned, "isUnsigned", "()Z");
}

// The dimensions of a kiv.NDArray or kiv.DirectNDArray, checked: at least one, at most
// NumPy's limit, none negative, and a product that fits NumPy's index type.
struct Shape {
  int nd = 0;
  npy_intp dims[NPY_MAXDIMS];
  npy_intp total = 1;
};

bool read_shape(JNIEnv* env, jintArray jdims, const char* owner, Shape* shape) noexcept {
  if (!jdims) {
    PyErr_Format(PyExc_ValueError, "%s has no dimensions", owner);
    return false;
  }
  jsize nd = env->GetArrayLength(jdims);
  if (nd < 1) {
    PyErr_SetString(PyExc_ValueError, "ndarrays must have at least one dimension");
    return false;
  }
  if (nd > NPY_MAXDIMS) {
    PyErr_Format(PyExc_ValueError, "%s has %d dimensions; NumPy allows at most %d", owner, static_cast<int>(nd),
                 NPY_MAXDIMS);
    return false;
  }
  jint dims[NPY_MAXDIMS];
  env->GetIntArrayRegion(jdims, 0, nd, dims);
  if (kiv::java_failed(env)) return false;
  shape->nd = static_cast<int>(nd);
  shape->total = 1;
  for (int i = 0; i < shape->nd; ++i) {
    if (dims[i] < 0) {
      PyErr_Format(PyExc_ValueError, "%s has a negative dimension: %d", owner, static_cast<int>(dims[i]));
      return false;
    }
    shape->dims[i] = dims[i];
    if (__builtin_mul_overflow(shape->total, static_cast<npy_intp>(dims[i]), &shape->total)) {
      PyErr_Format(PyExc_ValueError, "%s has dimensions whose product overflows", owner);
      return false;
    }
  }
  return true;
}

// The element type code of a kiv.NDArray's data array, or -1 for any other object.
int data_code(JNIEnv* env, jobject data) noexcept {
  static constexpr int kCodes[] = {JTYPE_BOOLEAN, JTYPE_BYTE, JTYPE_SHORT, JTYPE_INT,
                                   JTYPE_LONG,    JTYPE_FLOAT, JTYPE_DOUBLE};
  for (int code : kCodes) {
    if (env->IsInstanceOf(data, kiv::numpy::array_class_of(code))) return code;
  }
  return -1;
}

// What a _to_python hook reads from its kiv.NDArray or kiv.DirectNDArray.
struct JavaArray {
  JNIEnv* env = nullptr;
  bool isUnsigned = false;
  Shape shape;
  LocalRef<> data;  // the array or buffer; may be null
};

// NumPy ready, the accessors known, and the unsigned flag, checked dimensions and data of
// the object whose wrapper a _to_python hook was called on.
bool read_array(PyObject* self, const Accessors& a, const char* owner, JavaArray* in) noexcept {
  JNIEnv* env = in->env = kiv::env_or_error();
  if (!env) return false;
  jobject obj = reinterpret_cast<PyJObject*>(self)->object;
  if (!obj) {
    PyErr_SetString(PyExc_TypeError, "_to_python needs an instance, not a class");
    return false;
  }
  if (!kiv::numpy::ready() || !look_up(env, a)) return false;
  in->isUnsigned = env->CallBooleanMethod(obj, *a.isUnsigned) == JNI_TRUE;
  if (kiv::java_failed(env)) return false;
  LocalRef<jintArray> dims(env, static_cast<jintArray>(env->CallObjectMethod(obj, *a.dims)));
  if (kiv::java_failed(env) || !read_shape(env, dims.get(), owner, &in->shape)) return false;
  in->data = LocalRef<>(env, env->CallObjectMethod(obj, *a.data));
  return !kiv::java_failed(env);
}

// ---- kiv.DirectNDArray --------------------------------------------------------------

// A buffer class that has an ndarray form: its element type and its order() wrapper.
struct BufferRow {
  jclass* cls;
  int code;
  jobject (*order)(JNIEnv*, jobject);
};
const BufferRow kBuffers[] = {
    {&JBYTEBUFFER_TYPE, JTYPE_BYTE, java_nio_ByteBuffer_order},
    {&JSHORTBUFFER_TYPE, JTYPE_SHORT, java_nio_ShortBuffer_order},
    {&JINTBUFFER_TYPE, JTYPE_INT, java_nio_IntBuffer_order},
    {&JLONGBUFFER_TYPE, JTYPE_LONG, java_nio_LongBuffer_order},
    {&JFLOATBUFFER_TYPE, JTYPE_FLOAT, java_nio_FloatBuffer_order},
    {&JDOUBLEBUFFER_TYPE, JTYPE_DOUBLE, java_nio_DoubleBuffer_order},
};

// java.nio.ByteOrder.nativeOrder(), kept for the life of the process (borrowed), or
// nullptr with a Python error set.
jobject native_order(JNIEnv* env) noexcept {
  static std::atomic<jobject> cached{nullptr};
  if (jobject order = cached.load(std::memory_order_acquire)) return order;
  LocalRef<> order(env, java_nio_ByteOrder_nativeOrder(env));
  if (kiv::java_failed(env)) return nullptr;
  if (!order) {
    PyErr_SetString(PyExc_RuntimeError, "java.nio.ByteOrder.nativeOrder() gave null");
    return nullptr;
  }
  // Kept until the process ends, like the class references; a thread that loses the race
  // to store it lets its own copy go.
  jobject global = env->NewGlobalRef(order.get());
  if (!global) return kiv::java_failure(env);
  jobject expected = nullptr;
  if (!cached.compare_exchange_strong(expected, global, std::memory_order_acq_rel)) {
    env->DeleteGlobalRef(global);
    return expected;
  }
  return global;
}

uintptr_t element_size(int code) noexcept {
  return kiv::with_primitive(
      code, [](auto p) -> uintptr_t { return sizeof(typename decltype(p)::type); }, []() -> uintptr_t { return 1; });
}

const char kDirectDataError[] = "kiv.DirectNDArray data must be a direct Byte/Short/Int/Long/Float/DoubleBuffer";

}  // namespace

namespace kiv::numpy {

PyObject* ndarray_from_java(PyObject* self, PyObject*) {
  JavaArray in;
  if (!read_array(self, {KIV_NDARRAY_TYPE, &ndarrayGetDims, &ndarrayGetData, &ndarrayIsUnsigned}, "kiv.NDArray",
                  &in)) {
    return nullptr;
  }
  JNIEnv* env = in.env;
  const LocalRef<>& data = in.data;
  const Shape& shape = in.shape;
  int code = data ? data_code(env, data.get()) : -1;
  if (code < 0) {
    PyErr_SetString(PyExc_TypeError,
                    "kiv.NDArray data must be a boolean, byte, short, int, long, float or double array");
    return nullptr;
  }
  jsize length = env->GetArrayLength(static_cast<jarray>(data.get()));
  if (shape.total != length) {
    PyErr_Format(PyExc_ValueError, "kiv.NDArray dimensions need %zd elements but its data holds %d",
                 static_cast<Py_ssize_t>(shape.total), static_cast<int>(length));
    return nullptr;
  }
  PyRef arr = PyRef::steal(PyArray_SimpleNew(shape.nd, shape.dims, kiv::numpy::typenum_of(code, in.isUnsigned)));
  if (!arr) return nullptr;
  void* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get()));
  size_t bytes = static_cast<size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(arr.get())));
  if (bytes > 0 && !kiv::numpy::copy_elements(env, static_cast<jarray>(data.get()), out, bytes, false)) {
    kiv::java_failure(env);
    return nullptr;
  }
  return arr.release();
}

PyObject* ndarray_from_direct_buffer(PyObject* self, PyObject*) {
  JavaArray in;
  if (!read_array(self, {KIV_DNDARRAY_TYPE, &dndarrayGetDims, &dndarrayGetData, &dndarrayIsUnsigned},
                  "kiv.DirectNDArray", &in)) {
    return nullptr;
  }
  JNIEnv* env = in.env;
  const LocalRef<>& buffer = in.data;
  const Shape& shape = in.shape;
  const BufferRow* row = nullptr;
  for (const BufferRow& r : kBuffers) {
    if (buffer && env->IsInstanceOf(buffer.get(), *r.cls)) {
      row = &r;
      break;
    }
  }
  void* address = row ? env->GetDirectBufferAddress(buffer.get()) : nullptr;
  if (!address) {
    PyErr_SetString(PyExc_TypeError, kDirectDataError);
    return nullptr;
  }
  jlong capacity = env->GetDirectBufferCapacity(buffer.get());  // in elements
  if (shape.total > capacity) {
    PyErr_Format(PyExc_ValueError, "kiv.DirectNDArray dimensions need %zd elements but its buffer holds %lld",
                 static_cast<Py_ssize_t>(shape.total), static_cast<long long>(capacity));
    return nullptr;
  }
  LocalRef<> order(env, row->order(env, buffer.get()));
  if (kiv::java_failed(env)) return nullptr;
  jboolean readOnly = java_nio_Buffer_isReadOnly(env, buffer.get());
  if (kiv::java_failed(env)) return nullptr;
  jobject nativeOrder = native_order(env);
  if (!nativeOrder) return nullptr;

  PyArray_Descr* descr = PyArray_DescrFromType(kiv::numpy::typenum_of(row->code, in.isUnsigned));
  if (!descr) return nullptr;
  if (!order || !kiv::same(env, order.get(), nativeOrder)) {
    PyArray_Descr* swapped = PyArray_DescrNewByteorder(descr, NPY_SWAP);
    Py_DECREF(descr);
    if (!swapped) return nullptr;
    descr = swapped;
  }
  int flags = NPY_ARRAY_C_CONTIGUOUS;
  // A slice of a byte buffer may start anywhere: claim alignment only where it holds.
  if (reinterpret_cast<uintptr_t>(address) % element_size(row->code) == 0) flags |= NPY_ARRAY_ALIGNED;
  if (!readOnly) flags |= NPY_ARRAY_WRITEABLE;
  // Steals descr, also on failure.
  PyRef arr = PyRef::steal(
      PyArray_NewFromDescr(&PyArray_Type, descr, shape.nd, shape.dims, nullptr, address, flags, nullptr));
  if (!arr) return nullptr;
  // Steals the reference to self, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), Py_NewRef(self)) < 0) return nullptr;
  return arr.release();
}

}  // namespace kiv::numpy

#else  // built without NumPy's headers: the hooks say so

namespace kiv::numpy {

PyObject* ndarray_from_java(PyObject*, PyObject*) {
  ready();
  return nullptr;
}

PyObject* ndarray_from_direct_buffer(PyObject*, PyObject*) {
  ready();
  return nullptr;
}

}  // namespace kiv::numpy

#endif
