// Objects/pyjmethod.cpp: Java methods in Python.
#include <cstddef>

#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

void pyjmethod_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* m = reinterpret_cast<PyJMethod*>(self);
  kiv::delete_global_ref(m->parameters);
  kiv::delete_global_ref(m->rmethod);
  m->parameters = nullptr;
  m->rmethod = nullptr;
  Py_CLEAR(m->pyMethodName);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjmethod_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyJMethod*>(self)->pyMethodName);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyMemberDef pyjmethod_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(PyJMethod, pyMethodName), Py_READONLY, "method name"},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot pyjmethod_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjmethod_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmethod_traverse)},
    {Py_tp_members, pyjmethod_members},
    {Py_tp_doc, const_cast<char*>("jmethod")},
    {0, nullptr}};

PyType_Slot pyjconstructor_slots[] = {
    {Py_tp_doc, const_cast<char*>("jconstructor")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJMethod_Spec = {
    "kiv.PyJMethod",
    sizeof(PyJMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjmethod_slots,
};

KIV_EXPORT PyType_Spec PyJConstructor_Spec = {
    "kiv.PyJConstructor",
    sizeof(PyJMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjconstructor_slots,
};
