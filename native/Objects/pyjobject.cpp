// Objects/pyjobject.cpp: java.lang.Object, the root of every Java object type.
#include "Objects/objects.h"
#include "common/jref.h"
#include "embed/embed.h"

namespace kiv {

void delete_global_ref(jobject ref) noexcept {
  if (!ref) return;
  if (JNIEnv* env = current_env()) env->DeleteGlobalRef(ref);
}

}  // namespace kiv

namespace {

void pyjobject_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* o = reinterpret_cast<PyJObject*>(self);
  kiv::delete_global_ref(o->object);
  kiv::delete_global_ref(o->clazz);
  o->object = nullptr;
  o->clazz = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjobject_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjobject_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pyjobject_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjobject_traverse)},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Object")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJObject_Spec = {
    "java.lang.Object",
    sizeof(PyJObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjobject_slots,
};

KIV_API int PyJObject_Check(PyObject* obj) {
  bool hadError = PyErr_Occurred() != nullptr;
  ModuleState* state = pyembed_get_module_state();
  if (!state || !state->PyJObject_Type) {
    if (!hadError) PyErr_Clear();
    return 0;
  }
  return PyObject_TypeCheck(obj, state->PyJObject_Type);
}
