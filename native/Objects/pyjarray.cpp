// Objects/pyjarray.cpp: Java arrays in Python, and their iterator.
#include "Objects/objects.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/jtype.h"
#include "embed/state.h"

namespace {

void pyjarray_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* a = reinterpret_cast<PyJArray*>(self);
  // Pinned elements go back without being copied: nothing was committed, nothing kept.
  pyjarray_release_pinned(a, JNI_ABORT);
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
    {Py_tp_doc, const_cast<char*>("jarray(size) -> new jarray of size")},
    {0, nullptr}};

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
    {0, nullptr}};

}  // namespace

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

// A wrapper of a Java array.  Element access comes with the array protocol; until then
// it knows its array and class only.
KIV_API PyObject* pyjarray_new(JNIEnv* env, jarray array) {
  if (!array) {
    PyErr_SetString(PyExc_RuntimeError, "Invalid array object.");
    return nullptr;
  }
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  PyObject* self = PyJObject_New(env, state->PyJArray_Type, array, nullptr);
  if (!self) return nullptr;
  auto* a = reinterpret_cast<PyJArray*>(self);
  a->elemType = -1;
  a->elemClass = nullptr;
  a->length = -1;
  a->elements = nullptr;
  return self;
}

KIV_API int pyjarray_check(PyObject* obj) {
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  ModuleState* state = m ? static_cast<ModuleState*>(PyModule_GetState(m)) : nullptr;
  if (!state || !state->PyJArray_Type) return 0;
  return PyObject_TypeCheck(obj, state->PyJArray_Type);
}

KIV_API void pyjarray_release_pinned(PyJArray* self, jint mode) {
  if (!self->elements || (!self->elementsCopied && mode == JNI_ABORT)) return;
  JNIEnv* env = kiv::current_env();
  if (!env) return;
  jarray arr = static_cast<jarray>(self->base.object);
  switch (self->elemType) {
    case JTYPE_BOOLEAN:
      env->ReleaseBooleanArrayElements(static_cast<jbooleanArray>(arr), static_cast<jboolean*>(self->elements), mode);
      break;
    case JTYPE_BYTE:
      env->ReleaseByteArrayElements(static_cast<jbyteArray>(arr), static_cast<jbyte*>(self->elements), mode);
      break;
    case JTYPE_CHAR:
      env->ReleaseCharArrayElements(static_cast<jcharArray>(arr), static_cast<jchar*>(self->elements), mode);
      break;
    case JTYPE_SHORT:
      env->ReleaseShortArrayElements(static_cast<jshortArray>(arr), static_cast<jshort*>(self->elements), mode);
      break;
    case JTYPE_INT:
      env->ReleaseIntArrayElements(static_cast<jintArray>(arr), static_cast<jint*>(self->elements), mode);
      break;
    case JTYPE_LONG:
      env->ReleaseLongArrayElements(static_cast<jlongArray>(arr), static_cast<jlong*>(self->elements), mode);
      break;
    case JTYPE_FLOAT:
      env->ReleaseFloatArrayElements(static_cast<jfloatArray>(arr), static_cast<jfloat*>(self->elements), mode);
      break;
    case JTYPE_DOUBLE:
      env->ReleaseDoubleArrayElements(static_cast<jdoubleArray>(arr), static_cast<jdouble*>(self->elements), mode);
      break;
    default:
      break;
  }
}
