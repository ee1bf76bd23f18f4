// Objects/pyjarray.cpp: Java arrays in Python, and their iterator.
#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

void pyjarray_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* a = reinterpret_cast<PyJArray*>(self);
  kiv::delete_global_ref(a->elemClass);
  kiv::delete_global_ref(a->base.object);
  kiv::delete_global_ref(a->base.clazz);
  a->elemClass = nullptr;
  a->base.object = nullptr;
  a->base.clazz = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjarray_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjarray_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjarray_dealloc)},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjarrayiter_dealloc)},
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
