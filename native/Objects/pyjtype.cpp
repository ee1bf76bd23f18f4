// Objects/pyjtype.cpp: PyJType, the metatype of the Python types made for Java classes.
#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

PyType_Slot pyjtype_slots[] = {
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJType_Spec = {
    "PyJType",
    0,
    0,
    Py_TPFLAGS_DEFAULT,
    pyjtype_slots,
};

// Every Java object is, for now, an instance of the java.lang.Object type: its str(),
// hash(), comparisons and monitor follow the Java object.  Types of their own per Java
// class replace this.
KIV_API PyObject* PyJType_Get(JNIEnv*, jclass) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  return Py_NewRef(reinterpret_cast<PyObject*>(state->PyJObject_Type));
}
