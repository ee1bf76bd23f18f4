// Objects/pyjfield.cpp: Java fields as Python descriptors.
#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

void pyjfield_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* f = reinterpret_cast<PyJField*>(self);
  kiv::delete_global_ref(f->rfield);
  kiv::delete_global_ref(f->fieldType);
  f->rfield = nullptr;
  f->fieldType = nullptr;
  Py_CLEAR(f->pyFieldName);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjfield_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyJField*>(self)->pyFieldName);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjfield_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjfield_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjfield_traverse)},
    {Py_tp_doc, const_cast<char*>("jfield")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJField_Spec = {
    "kiv.PyJField",
    sizeof(PyJField),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjfield_slots,
};
