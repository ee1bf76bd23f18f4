// convert/numpy.cpp: NumPy arrays and scalars.
#include <Python.h>
#include <jni.h>

#include "convert/convert.h"

// Registers the converters that turn kiv.NDArray and kiv.DirectNDArray into NumPy
// arrays in the interpreter being set up.  They need the per-class types of those
// classes, which this build does not make yet: nothing is registered.
KIV_API int load_numpy_conversions(JNIEnv*) { return 0; }

// NumPy values are not converted specially yet: arrays still cross as buffers.
KIV_API int npy_scalar_check(PyObject*) { return 0; }
KIV_API int npy_array_check(PyObject*) { return 0; }
