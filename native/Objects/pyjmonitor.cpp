// Objects/pyjmonitor.cpp: with-statements over Java monitors.
#include "Objects/objects.h"
#include "embed/embed.h"

KIV_API void pyjmonitor_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* m = reinterpret_cast<PyJMonitor*>(self);
  kiv::delete_global_ref(m->lock);
  m->lock = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

namespace {

int pyjmonitor_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjmonitor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjmonitor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjmonitor_traverse)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_doc, const_cast<char*>("jmonitor")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJMonitor_Spec = {
    "kiv.PyJMonitor",
    sizeof(PyJMonitor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjmonitor_slots,
};
