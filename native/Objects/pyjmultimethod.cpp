// Objects/pyjmultimethod.cpp: overloaded Java methods in Python.
#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

void pyjmultimethod_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<PyJMultiMethod*>(self)->methodList);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjmultimethod_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyJMultiMethod*>(self)->methodList);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int pyjmultimethod_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<PyJMultiMethod*>(self)->methodList);
  return 0;
}

PyType_Slot pyjmultimethod_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjmultimethod_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmultimethod_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pyjmultimethod_clear)},
    {Py_tp_doc, const_cast<char*>("PyJMultiMethod wraps multiple java methods from the same class with the same\n"
                                  "name as a single callable python object.")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJMultiMethod_Spec = {
    "kiv.PyJMultiMethod",
    sizeof(PyJMultiMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjmultimethod_slots,
};
