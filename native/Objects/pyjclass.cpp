// Objects/pyjclass.cpp: java.lang.Class objects in Python.
#include <cstddef>

#include "Objects/objects.h"
#include "common/pyref.h"
#include "embed/embed.h"

namespace {

void pyjclass_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* c = reinterpret_cast<PyJClass*>(self);
  Py_CLEAR(c->constructor);
  Py_CLEAR(c->dict);
  kiv::delete_global_ref(c->base.object);
  kiv::delete_global_ref(c->base.clazz);
  c->base.object = nullptr;
  c->base.clazz = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjclass_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* c = reinterpret_cast<PyJClass*>(self);
  Py_VISIT(c->constructor);
  Py_VISIT(c->dict);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int pyjclass_clear(PyObject* self) {
  auto* c = reinterpret_cast<PyJClass*>(self);
  Py_CLEAR(c->constructor);
  Py_CLEAR(c->dict);
  return 0;
}

PyMemberDef pyjclass_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(PyJClass, dict), Py_READONLY, nullptr},
    {"__dict__", Py_T_OBJECT_EX, offsetof(PyJClass, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot pyjclass_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjclass_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjclass_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pyjclass_clear)},
    {Py_tp_members, pyjclass_members},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Class")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJClass_Spec = {
    "kiv.PyJClass",
    sizeof(PyJClass),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjclass_slots,
};

// Until class wrappers get their own attributes, a wrapper is a PyJClass record that
// knows its class: str(), hash() and comparisons act on the java.lang.Class object.
KIV_API PyObject* PyJClass_Wrap(JNIEnv* env, jclass cls) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  return PyJObject_New(env, state->PyJClass_Type, nullptr, cls);
}

KIV_API int PyJClass_Check(PyObject* obj) {
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  ModuleState* state = m ? static_cast<ModuleState*>(PyModule_GetState(m)) : nullptr;
  if (!state || !state->PyJClass_Type) return 0;
  return PyObject_TypeCheck(obj, state->PyJClass_Type);
}
