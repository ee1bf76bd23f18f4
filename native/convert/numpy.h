// convert/numpy.h: what the two NumPy units (numpy.cpp: set-up, checks, NumPy values to
// Java; numpy_to_python.cpp: kiv.NDArray and kiv.DirectNDArray to ndarrays) share.
// Library-private.  Only these units include NumPy's headers: its interface table is
// one variable, filled by numpy.cpp and declared extern in the other unit.
#pragma once

#include <Python.h>
#include <jni.h>

#include <cstring>

#include "convert/jprimitive.h"
#include "convert/jtype.h"

#if KIV_HAVE_NUMPY
#define PY_ARRAY_UNIQUE_SYMBOL kiv_PyArray_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef KIV_NUMPY_TABLE_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
#endif

namespace kiv::numpy {

#if KIV_HAVE_NUMPY
// The dtypes that have a Java array type: NumPy type number, Java element type (JTYPE_*)
// and the unsigned flag of a kiv.NDArray.  long long is the same 64-bit type as long
// here and prints as int64 too (arrays made from 'q' buffers have it).
struct DtypeRow {
  int typenum;
  int code;
  bool isUnsigned;
};
inline constexpr DtypeRow kDtypes[] = {
    {NPY_BOOL, JTYPE_BOOLEAN, false},  {NPY_BYTE, JTYPE_BYTE, false},       {NPY_UBYTE, JTYPE_BYTE, true},
    {NPY_SHORT, JTYPE_SHORT, false},   {NPY_USHORT, JTYPE_SHORT, true},     {NPY_INT, JTYPE_INT, false},
    {NPY_UINT, JTYPE_INT, true},       {NPY_LONG, JTYPE_LONG, false},       {NPY_ULONG, JTYPE_LONG, true},
    {NPY_LONGLONG, JTYPE_LONG, false}, {NPY_ULONGLONG, JTYPE_LONG, true},   {NPY_FLOAT, JTYPE_FLOAT, false},
    {NPY_DOUBLE, JTYPE_DOUBLE, false},
};

inline const DtypeRow* dtype_row(int typenum) noexcept {
  for (const DtypeRow& row : kDtypes) {
    if (row.typenum == typenum) return &row;
  }
  return nullptr;
}

// The type number for a Java element type and unsigned flag; the flag is ignored where
// the element type has no unsigned form (boolean, float, double).
inline int typenum_of(int code, bool isUnsigned) noexcept {
  int any = -1;
  for (const DtypeRow& row : kDtypes) {
    if (row.code != code) continue;
    if (row.isUnsigned == isUnsigned) return row.typenum;
    if (any < 0) any = row.typenum;
  }
  return any;
}
#endif

// Copies `bytes` bytes from native memory into a Java primitive array (to_java), or from
// the array into native memory: one memcpy in a critical section.  (The JVM's region
// calls copy element by element: 8 MB took 20 to 30% longer that way.)  The section holds
// up the garbage collector for the copy alone.  False with an OutOfMemoryError pending.
inline bool copy_elements(JNIEnv* env, jarray array, void* native, size_t bytes, bool to_java) noexcept {
  void* elements = env->GetPrimitiveArrayCritical(array, nullptr);
  if (!elements) return false;
  if (to_java) {
    std::memcpy(elements, native, bytes);
  } else {
    std::memcpy(native, elements, bytes);
  }
  env->ReleasePrimitiveArrayCritical(array, elements, to_java ? 0 : JNI_ABORT);
  return true;
}

// boolean[] ... double[] for a primitive type code; nullptr for any other code.
inline jclass array_class_of(int code) noexcept {
  return kiv::with_primitive(
      code, [](auto p) { return decltype(p)::array_class(); }, []() -> jclass { return nullptr; });
}

// 1 when NumPy's interface can be used in the current interpreter: NumPy is imported
// here (imported now if it was not) and the process-wide interface table is filled.
// 0 with a Python ImportError otherwise, whose message says why and what to do (install
// NumPy into the environment kiv.python.executable names; use a SharedInterpreter or a
// legacy sub-interpreter), with NumPy's own error as its cause.
int ready() noexcept;

// The two _to_python methods (self is the wrapper of a kiv.NDArray / kiv.DirectNDArray).
PyObject* ndarray_from_java(PyObject* self, PyObject* unused);
PyObject* ndarray_from_direct_buffer(PyObject* self, PyObject* unused);

}  // namespace kiv::numpy
