// convert/numpy.cpp: NumPy's set-up, the checks for NumPy values, NumPy scalars and
// ndarrays to Java, and the _to_python hooks that bring kiv.NDArray and
// kiv.DirectNDArray to Python (their bodies are in numpy_to_python.cpp).
//
// NumPy is never imported to answer whether a value is a NumPy value: no such value can
// exist before NumPy was imported.  It is imported when a kiv.NDArray or a
// kiv.DirectNDArray is converted.  Built without NumPy's headers, the library converts
// no NumPy value and says so when one of those two is converted.
#define KIV_NUMPY_TABLE_HERE 1
#include "convert/numpy.h"

#include <Python.h>
#include <jni.h>

#include <atomic>
#include <initializer_list>
#include <type_traits>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/boxes.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/to_java.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

// ---- the _to_python hooks -------------------------------------------------------------

namespace {

PyMethodDef kNDArrayToPython = {"_to_python",
                                reinterpret_cast<PyCFunction>(KIV_PY_BOUNDARY(kiv::numpy::ndarray_from_java)),
                                METH_NOARGS, "Convert a Java NDArray to a Python NDArray"};
PyMethodDef kDirectNDArrayToPython = {
    "_to_python", reinterpret_cast<PyCFunction>(KIV_PY_BOUNDARY(kiv::numpy::ndarray_from_direct_buffer)),
    METH_NOARGS, "Convert a Java DirectNDArray to a Python NDArray"};

int install_to_python(JNIEnv* env, jclass cls, PyMethodDef* def) {
  PyRef type = PyRef::steal(PyJType_Get(env, cls));
  if (!type) return -1;
  PyRef method = PyRef::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
  if (!method) return -1;
  return PyObject_SetAttrString(type.get(), "_to_python", method.get());
}

}  // namespace

KIV_API int load_numpy_conversions(JNIEnv* env) {
  if (install_to_python(env, KIV_NDARRAY_TYPE, &kNDArrayToPython) < 0) return -1;
  return install_to_python(env, KIV_DNDARRAY_TYPE, &kDirectNDArrayToPython);
}

#if KIV_HAVE_NUMPY

static_assert(sizeof(npy_long) == sizeof(jlong) && sizeof(npy_longlong) == sizeof(jlong) &&
                  sizeof(npy_int) == sizeof(jint) && sizeof(npy_short) == sizeof(jshort) &&
                  sizeof(npy_bool) == sizeof(jboolean),
              "NumPy's long, long long, int and short are Java's long, long, int and short");

namespace {

// Set once the interface table is filled, never reset.  Only interpreters that share the
// main interpreter's lock can import NumPy, so the table is never filled by two threads
// at once.
std::atomic<bool> g_tableFilled{false};

// The module "numpy" of this interpreter: a new reference, or nullptr (with an error
// set only when the look-up itself failed).  None in sys.modules, which blocks the
// import, counts as absent.  Never imports.
PyObject* numpy_module_here() noexcept {
  PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
  PyRef module = PyRef::steal(name ? PyImport_GetModule(name.get()) : nullptr);
  return module.get() == Py_None ? nullptr : module.release();
}

// Replaces the pending error by ImportError(message) whose cause is that error.
void raise_import_error_from(PyObject* cause, PyObject* message) noexcept {
  if (!message) {
    Py_DECREF(cause);
    return;  // the error of formatting the message stays
  }
  PyErr_SetObject(PyExc_ImportError, message);
  Py_DECREF(message);
  PyObject* exc = PyErr_GetRaisedException();
  PyException_SetCause(exc, cause);  // steals cause
  PyErr_SetRaisedException(exc);
}

// The pending error of importing NumPy, explained: NumPy missing from the environment,
// or an interpreter that cannot load it.  Other failures keep NumPy's own error.
void explain_import_failure() noexcept {
  PyObject* cause = PyErr_GetRaisedException();
  bool missing = false;
  if (PyErr_GivenExceptionMatches(cause, PyExc_ModuleNotFoundError)) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(cause, "name"));
    missing = name && PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "numpy") == 0;
    PyErr_Clear();
  }
  if (missing) {
    PyObject* exe = PySys_GetObject("executable");  // borrowed
    PyObject* prefix = PySys_GetObject("prefix");
    raise_import_error_from(
        cause, PyUnicode_FromFormat(
                   "NumPy is not installed in the Python environment Kiv runs (%S): install it there "
                   "(%S -m pip install numpy), or start Kiv with the system property kiv.python.executable "
                   "naming the python of an environment that has NumPy",
                   prefix ? prefix : Py_None, exe ? exe : Py_None));
  } else if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    raise_import_error_from(
        cause, PyUnicode_FromString(
                   "NumPy cannot be loaded in this sub-interpreter: NumPy loads into one interpreter of a "
                   "process only, and never into one with its own interpreter lock or one that loads only "
                   "extension modules made for sub-interpreters. Use a SharedInterpreter, or a SubInterpreter "
                   "made with SubInterpreterOptions.legacy() in a process where no other interpreter loaded "
                   "NumPy"));
  } else {
    PyErr_SetRaisedException(cause);
  }
}

// True when the interface table is filled and NumPy's values can be tested for; never
// leaves an error set.
bool numpy_available() noexcept {
  if (KIV_LIKELY(g_tableFilled.load(std::memory_order_acquire))) return true;
  PyRef numpy = PyRef::steal(numpy_module_here());
  if (numpy && kiv::numpy::ready()) return true;
  PyErr_Clear();
  return false;
}

// For the conversions of NumPy values, which only exist where NumPy was imported: the
// interface table, without looking for NumPy in this interpreter on every value.
bool table_ready() noexcept {
  return KIV_LIKELY(g_tableFilled.load(std::memory_order_acquire)) || kiv::numpy::ready();
}

// ---- scalars --------------------------------------------------------------------------

// The scalar (of C type C) in the first box class of `order` that fits `expected`.  A
// box at least as wide as the scalar takes its value; a narrower box takes it through
// the scalar conversion (range-checked for integers, whose OverflowError fails; rounded
// for float).  nullptr with no error when no box fits.
template <class C>
jobject box_scalar(JNIEnv* env, PyObject* value, jclass expected, std::initializer_list<int> order) noexcept {
  C v;
  PyArray_ScalarAsCtype(value, &v);
  for (int code : order) {
    bool fits = false;
    jobject result = kiv::with_primitive(
        code,
        [&](auto p) -> jobject {
          using P = decltype(p);
          using T = typename P::type;
          if constexpr (P::code == JTYPE_BOOLEAN || P::code == JTYPE_CHAR) {
            return nullptr;
          } else {
            if (!kiv::assignable(env, P::boxed_class(), expected)) return nullptr;
            fits = true;
            T out;
            if constexpr (sizeof(T) < sizeof(C)) {
              out = P::from_python(value);
              if (out == P::failure && PyErr_Occurred()) return nullptr;
            } else {
              out = static_cast<T>(v);
            }
            jobject box = kiv::box<P>(env, out);
            return box ? box : kiv::java_failure(env);
          }
        },
        []() -> jobject { return nullptr; });
    if (fits) return result;
  }
  return nullptr;
}

// ---- ndarrays ---------------------------------------------------------------------------

// TypeError naming an ndarray's dtype, which has no Java counterpart.
void unsupported_dtype(PyArrayObject* arr) noexcept {
  PyErr_Format(PyExc_TypeError, "Unable to determine corresponding Java type for ndarray: %d (dtype %S)",
               PyArray_TYPE(arr), reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
}

bool size_as_jsize(npy_intp n, jsize* out) noexcept {
  if (n > INT32_MAX) {
    PyErr_Format(PyExc_ValueError, "ndarray too large for a Java array: %zd elements", static_cast<Py_ssize_t>(n));
    return false;
  }
  *out = static_cast<jsize>(n);
  return true;
}

// The elements of arr, in row-major order and with their values, as a new Java array of
// the element type `code` (which matches arr's dtype).
jarray ndarray_to_java_array(JNIEnv* env, PyArrayObject* arr, int code) noexcept {
  jsize n;
  if (!size_as_jsize(PyArray_SIZE(arr), &n)) return nullptr;
  // Strided, Fortran-ordered or byte-swapped arrays are copied once by NumPy into native
  // byte order and row-major order; the rest is copied straight from its memory.
  PyRef copy;
  if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISNOTSWAPPED(arr)) {
    PyArray_Descr* native = PyArray_DescrNewByteorder(PyArray_DESCR(arr), NPY_NATIVE);
    if (!native) return nullptr;
    copy = PyRef::steal(PyArray_FromArray(arr, native, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (!copy) return nullptr;
    arr = reinterpret_cast<PyArrayObject*>(copy.get());
  }
  const void* data = PyArray_DATA(arr);
  return kiv::with_primitive(
      code,
      [&](auto p) -> jarray {
        using P = decltype(p);
        using T = typename P::type;
        LocalRef<typename P::array> out(env, P::new_array(env, n));
        if (!out) return static_cast<jarray>(kiv::java_failure(env));
        if (n == 0) return out.release();
        if constexpr (P::code == JTYPE_BOOLEAN) {
          // A NumPy bool is any byte; a Java boolean must be 0 or 1.
          auto* dst = static_cast<jboolean*>(env->GetPrimitiveArrayCritical(out.get(), nullptr));
          if (!dst) return static_cast<jarray>(kiv::java_failure(env));
          const auto* src = static_cast<const unsigned char*>(data);
          for (jsize i = 0; i < n; ++i) dst[i] = src[i] != 0;
          env->ReleasePrimitiveArrayCritical(out.get(), dst, 0);
        } else {
          if (!kiv::numpy::copy_elements(env, out.get(), const_cast<void*>(data), sizeof(T) * n, true)) {
            return static_cast<jarray>(kiv::java_failure(env));
          }
        }
        if (KIV_UNLIKELY(env->ExceptionCheck())) {
          env->ExceptionClear();
          PyErr_SetString(PyExc_RuntimeError, "Error setting Java primitive array region");
          return nullptr;
        }
        return out.release();
      },
      []() -> jarray { return nullptr; });
}

// A new kiv.NDArray holding a copy of arr.
jobject ndarray_to_ndarray_object(JNIEnv* env, PyArrayObject* arr, const kiv::numpy::DtypeRow& row) noexcept {
  int nd = PyArray_NDIM(arr);
  if (nd < 1) {
    PyErr_SetString(PyExc_ValueError, "ndarrays must have at least one dimension");
    return nullptr;
  }
  jint dims[NPY_MAXDIMS];
  for (int i = 0; i < nd; ++i) {
    npy_intp d = PyArray_DIM(arr, i);
    if (d > INT32_MAX) {
      PyErr_Format(PyExc_ValueError, "ndarray too large for a Java array: dimension %d is %zd", i,
                   static_cast<Py_ssize_t>(d));
      return nullptr;
    }
    dims[i] = static_cast<jint>(d);
  }
  if (!ndarrayInit) {
    ndarrayInit = env->GetMethodID(KIV_NDARRAY_TYPE, "<init>", "(Ljava/lang/Object;Z[I)V");
    if (!ndarrayInit) return kiv::java_failure(env);
  }
  LocalRef<jintArray> jdims(env, env->NewIntArray(nd));
  if (!jdims) return kiv::java_failure(env);
  env->SetIntArrayRegion(jdims.get(), 0, nd, dims);
  LocalRef<jarray> data(env, ndarray_to_java_array(env, arr, row.code));
  if (!data) return nullptr;
  jvalue args[3];
  args[0].l = data.get();
  args[1].z = row.isUnsigned ? JNI_TRUE : JNI_FALSE;
  args[2].l = jdims.get();
  jobject result = env->NewObjectA(KIV_NDARRAY_TYPE, ndarrayInit, args);
  if (!result || env->ExceptionCheck()) {
    if (result) env->DeleteLocalRef(result);
    return kiv::java_failure(env);
  }
  return result;
}

}  // namespace

namespace kiv::numpy {

int ready() noexcept {
  PyRef numpy = PyRef::steal(numpy_module_here());
  if (!numpy) {
    if (!PyErr_Occurred()) {
      PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
      if (name) numpy = PyRef::steal(PyImport_Import(name.get()));
    }
    if (!numpy) {
      explain_import_failure();
      return 0;
    }
  }
  if (KIV_LIKELY(g_tableFilled.load(std::memory_order_acquire))) return 1;
  if (_import_array() < 0) {
    PyObject* cause = PyErr_GetRaisedException();
    raise_import_error_from(cause, PyUnicode_FromString("NumPy is installed but its C interface cannot be used"));
    return 0;
  }
  g_tableFilled.store(true, std::memory_order_release);
  return 1;
}

}  // namespace kiv::numpy

KIV_API int npy_scalar_check(PyObject* value) {
  return numpy_available() && PyArray_IsScalar(value, Number);
}

KIV_API int npy_array_check(PyObject* value) { return numpy_available() && PyArray_Check(value); }

KIV_API jobject convert_npy_scalar_jobject(JNIEnv* env, PyObject* value, jclass expected) {
  if (!table_ready()) return nullptr;
  if (PyArray_IsScalar(value, Double)) return box_scalar<npy_double>(env, value, expected, {JTYPE_DOUBLE, JTYPE_FLOAT});
  if (PyArray_IsScalar(value, Float)) return box_scalar<npy_float>(env, value, expected, {JTYPE_FLOAT, JTYPE_DOUBLE});
  if (PyArray_IsScalar(value, Long)) {
    return box_scalar<npy_long>(env, value, expected, {JTYPE_LONG, JTYPE_INT, JTYPE_SHORT, JTYPE_BYTE});
  }
  if (PyArray_IsScalar(value, LongLong)) {
    return box_scalar<npy_longlong>(env, value, expected, {JTYPE_LONG, JTYPE_INT, JTYPE_SHORT, JTYPE_BYTE});
  }
  if (PyArray_IsScalar(value, Int)) {
    return box_scalar<npy_int>(env, value, expected, {JTYPE_INT, JTYPE_LONG, JTYPE_SHORT, JTYPE_BYTE});
  }
  if (PyArray_IsScalar(value, Short)) {
    return box_scalar<npy_short>(env, value, expected, {JTYPE_SHORT, JTYPE_INT, JTYPE_LONG, JTYPE_BYTE});
  }
  if (PyArray_IsScalar(value, Byte)) {
    return box_scalar<npy_byte>(env, value, expected, {JTYPE_BYTE, JTYPE_SHORT, JTYPE_INT, JTYPE_LONG});
  }
  // Unsigned, half, long double and complex scalars: the caller's other rules.
  return nullptr;
}

KIV_API jobject convert_pyndarray_jobject(JNIEnv* env, PyObject* value, jclass expected) {
  if (!table_ready()) return nullptr;
  if (!PyArray_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "convert_pyndarray must receive an ndarray");
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(value);
  // An ndarray over a kiv.DirectNDArray's buffer, made by its _to_python: that object.
  if (kiv::assignable(env, KIV_DNDARRAY_TYPE, expected)) {
    PyObject* base = PyArray_BASE(arr);
    if (base && PyJObject_Check(base)) {
      jobject owner = reinterpret_cast<PyJObject*>(base)->object;
      if (owner && env->IsInstanceOf(owner, KIV_DNDARRAY_TYPE)) {
        jobject result = env->NewLocalRef(owner);
        return result ? result : kiv::java_failure(env);
      }
    }
  }
  const kiv::numpy::DtypeRow* row = kiv::numpy::dtype_row(PyArray_TYPE(arr));
  if (!row) {
    unsupported_dtype(arr);
    return nullptr;
  }
  if (kiv::assignable(env, KIV_NDARRAY_TYPE, expected)) return ndarray_to_ndarray_object(env, arr, *row);
  jclass arrayClass = kiv::numpy::array_class_of(row->code);
  if (!kiv::assignable(env, arrayClass, expected)) {
    PyErr_SetString(PyExc_RuntimeError, "Error matching ndarray.dtype to Java primitive type");
    return nullptr;
  }
  return ndarray_to_java_array(env, arr, row->code);
}

#else  // built without NumPy's headers

namespace kiv::numpy {

int ready() noexcept {
  PyErr_SetString(PyExc_ImportError,
                  "This Kiv library was built without NumPy support: NumPy was not installed for the Python it "
                  "was built with. Run bin/setup, which installs NumPy into .venv and builds the library again");
  return 0;
}

}  // namespace kiv::numpy

KIV_API int npy_scalar_check(PyObject*) { return 0; }
KIV_API int npy_array_check(PyObject*) { return 0; }

KIV_API jobject convert_npy_scalar_jobject(JNIEnv*, PyObject*, jclass) {
  kiv::numpy::ready();
  return nullptr;
}

KIV_API jobject convert_pyndarray_jobject(JNIEnv*, PyObject*, jclass) {
  kiv::numpy::ready();
  return nullptr;
}

#endif
