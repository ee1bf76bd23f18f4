// convert/numpy.cpp: NumPy arrays and scalars.
#include <Python.h>
#include <jni.h>

#include "embed/embed.h"

// Registers the converters that turn kiv.NDArray and kiv.DirectNDArray into NumPy
// arrays in the interpreter being set up.  They need the per-class types of those
// classes, which this build does not make yet: nothing is registered.
KIV_API int load_numpy_conversions(JNIEnv*) { return 0; }
