// Objects/pyjtype.cpp: the Python types of Java classes.
//
// Every Java class gets one Python type per interpreter, made by calling the metatype
// PyJType with the class's short name, the types of its superclass and interfaces as
// bases, and a dictionary of method and field descriptors.  The types are cached by
// class name in __javaTypeCache__; a small table of recently used classes answers most
// requests without asking Java for the name.  The protocol types (and java.lang.Object)
// are put into the cache first, so classes that implement java.util.List and the like
// get their Python behaviour through their bases.
//
// The reflection wrappers used here release the interpreter lock, so another thread
// may build the same type meanwhile: a type is complete before it is published, and the
// first one published wins.
#include <Python.h>
#include <jni.h>

#include <utility>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalFrame;
using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr jint kFrame = 16;

// Reports a failed reflection step: the pending Java exception, translated, or (when
// the call merely returned null) a RuntimeError naming it.
void reflection_failed(JNIEnv* env, const char* what) {
  if (!process_java_exception(env) && !PyErr_Occurred()) {
    PyErr_Format(PyExc_RuntimeError, "%s returned null", what);
  }
}

// ---- the metatype ---------------------------------------------------------------------

bool list_holds(PyObject* list, PyObject* item) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyList_GET_ITEM(list, i) == item) return true;
  }
  return false;
}

// The type, then each base followed by the entries of its own order that are not
// listed yet.  Unlike C3 this cannot fail on Java's mix of one superclass and several
// interfaces; for a class it lists the superclass chain (and `object`) before the
// interfaces.
PyObject* pyjtype_mro(PyObject* self, PyObject*) {
  PyRef order = PyRef::steal(PyList_New(0));
  if (!order || PyList_Append(order.get(), self) < 0) return nullptr;
  PyObject* bases = reinterpret_cast<PyTypeObject*>(self)->tp_bases;
  Py_ssize_t nbases = bases && PyTuple_Check(bases) ? PyTuple_GET_SIZE(bases) : 0;
  for (Py_ssize_t b = 0; b < nbases; ++b) {
    PyObject* base = PyTuple_GET_ITEM(bases, b);
    if (!list_holds(order.get(), base) && PyList_Append(order.get(), base) < 0) return nullptr;
    PyObject* baseOrder = PyType_Check(base) ? reinterpret_cast<PyTypeObject*>(base)->tp_mro : nullptr;
    if (!baseOrder || !PyTuple_Check(baseOrder)) {
      PyErr_SetString(PyExc_TypeError, "Invalid mro in base type.");
      return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(baseOrder);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* entry = PyTuple_GET_ITEM(baseOrder, i);
      if (!list_holds(order.get(), entry) && PyList_Append(order.get(), entry) < 0) return nullptr;
    }
  }
  return PyList_AsTuple(order.get());
}

PyMethodDef pyjtype_methods[] = {
    {"mro", KIV_PY_BOUNDARY(pyjtype_mro), METH_NOARGS,
     "Implements a custom MRO algorithm compatible with all Java Class hierarchies"},
    {nullptr, nullptr, 0, nullptr}};

// A per-class type lets go of its class reference, then goes as any type does.
void pyjtype_dealloc(PyObject* self) {
  auto* t = reinterpret_cast<PyJTypeObject*>(self);
  kiv::delete_global_ref(t->clazz);
  t->clazz = nullptr;
  PyType_Type.tp_dealloc(self);
}

PyType_Slot pyjtype_slots[] = {
    {Py_tp_methods, pyjtype_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjtype_dealloc))},
    {0, nullptr}};

// ---- dictionaries of descriptors ---------------------------------------------------------

// Adds one method to dict under its name: alone, or grouped with the methods of that
// name already there.  An entry of another kind keeps its place.
int add_method(ModuleState* state, PyObject* dict, PyObject* method) {
  PyObject* name = reinterpret_cast<PyJMethod*>(method)->pyMethodName;
  PyObject* existing = PyDict_GetItemWithError(dict, name);  // borrowed
  if (!existing) return PyErr_Occurred() ? -1 : PyDict_SetItem(dict, name, method);
  if (PyJMethod_Check(state, existing)) {
    PyRef group = PyRef::steal(PyJMultiMethod_New(state, method, existing));
    return group ? PyDict_SetItem(dict, name, group.get()) : -1;
  }
  if (PyJMultiMethod_Check(state, existing)) return PyJMultiMethod_Append(state, existing, method);
  return 0;
}

// Adds a descriptor for every public method of cls (getMethods(): inherited and static
// ones included).  An interface with exactly one abstract method also gets that method
// as __call__, so its implementations can be called like functions.
int add_methods(JNIEnv* env, ModuleState* state, PyObject* dict, jclass cls, bool isInterface) {
  LocalFrame frame(env, kFrame);
  if (!frame.ok()) {
    reflection_failed(env, "PushLocalFrame");
    return -1;
  }
  LocalRef<jobjectArray> methods(env, java_lang_Class_getMethods(env, cls));
  if (!methods || env->ExceptionCheck()) {
    reflection_failed(env, "Class.getMethods()");
    return -1;
  }
  PyRef single;                    // the one abstract method seen so far
  bool searching = isInterface;    // until a second abstract method turns up
  jsize n = env->GetArrayLength(methods.get());
  for (jsize i = 0; i < n; ++i) {
    LocalRef<jobject> m(env, env->GetObjectArrayElement(methods.get(), i));
    if (!m || env->ExceptionCheck()) {
      reflection_failed(env, "Class.getMethods() element");
      return -1;
    }
    PyRef method = PyRef::steal(PyJMethod_New(env, state, m.get()));
    if (!method) return -1;
    if (searching) {
      jint modifiers = java_lang_reflect_Member_getModifiers(env, m.get());
      jboolean abstract = env->ExceptionCheck() ? JNI_FALSE : java_lang_reflect_Modifier_isAbstract(env, modifiers);
      if (env->ExceptionCheck()) {
        reflection_failed(env, "Method.getModifiers()");
        return -1;
      }
      if (abstract) {
        if (single) {
          single.reset();
          searching = false;
        } else {
          single = PyRef::borrow(method.get());
        }
      }
    }
    if (add_method(state, dict, method.get()) < 0) return -1;
  }
  if (single && PyDict_SetItemString(dict, "__call__", single.get()) < 0) return -1;
  return 0;
}

// Adds a PyJField for every public field that cls declares itself; a field replaces a
// method of the same name.
int add_fields(JNIEnv* env, ModuleState* state, PyObject* dict, jclass cls) {
  LocalFrame frame(env, kFrame);
  if (!frame.ok()) {
    reflection_failed(env, "PushLocalFrame");
    return -1;
  }
  LocalRef<jobjectArray> fields(env, java_lang_Class_getDeclaredFields(env, cls));
  if (!fields || env->ExceptionCheck()) {
    reflection_failed(env, "Class.getDeclaredFields()");
    return -1;
  }
  jsize n = env->GetArrayLength(fields.get());
  for (jsize i = 0; i < n; ++i) {
    LocalRef<jobject> f(env, env->GetObjectArrayElement(fields.get(), i));
    if (!f || env->ExceptionCheck()) {
      reflection_failed(env, "Class.getDeclaredFields() element");
      return -1;
    }
    jint modifiers = java_lang_reflect_Member_getModifiers(env, f.get());
    jboolean isPublic = env->ExceptionCheck() ? JNI_FALSE : java_lang_reflect_Modifier_isPublic(env, modifiers);
    if (env->ExceptionCheck()) {
      reflection_failed(env, "Field.getModifiers()");
      return -1;
    }
    if (!isPublic) continue;
    PyRef field = PyRef::steal(PyJField_New(env, state, f.get()));
    if (!field) return -1;
    PyObject* name = reinterpret_cast<PyJField*>(field.get())->pyFieldName;
    // A Java field may be called __slots__; it must not undo the layout of the type.
    if (PyUnicode_CompareWithASCIIString(name, "__slots__") == 0) continue;
    if (PyDict_SetItem(dict, name, field.get()) < 0) return -1;
  }
  return 0;
}

// ---- the type cache ------------------------------------------------------------------------

// The cached type for a class name: a new reference, or nullptr (a miss, or an error
// when the entry is not a type: the cache is visible to Python code).
PyObject* cached_type(ModuleState* state, PyObject* name) {
  PyObject* hit = PyDict_GetItemWithError(state->javaTypeCache, name);  // borrowed
  if (!hit) return nullptr;
  if (!PyType_Check(hit)) {
    PyErr_Format(PyExc_TypeError, "__javaTypeCache__['%U'] is not a type", name);
    return nullptr;
  }
  return Py_NewRef(hit);
}

// Stores a freshly built type unless another thread stored one for the name first;
// returns the one in the cache (new reference).  Steals type.
PyObject* publish(ModuleState* state, PyObject* name, PyRef type) {
  PyObject* winner = PyDict_SetDefault(state->javaTypeCache, name, type.get());  // borrowed
  if (!winner) {
    PyErr_Clear();  // the type works without the cache; the next request builds another
    return type.release();
  }
  return Py_NewRef(PyType_Check(winner) ? winner : type.get());
}

// The type of a recently requested class (borrowed), found without any reflection.
PyObject* recent_find(JNIEnv* env, ModuleCaches* c, jclass cls) {
  int slot = c->typeNext;
  for (int k = 0; k < ModuleCaches::kTypeSlots; ++k) {
    slot = (slot == 0 ? ModuleCaches::kTypeSlots : slot) - 1;  // newest first
    jclass key = c->typeKeys[slot].get();
    if (key && env->IsSameObject(key, cls)) return c->typeValues[slot];
  }
  return nullptr;
}

void recent_store(JNIEnv* env, ModuleCaches* c, jclass cls, PyObject* type) {
  kiv::GlobalRef<jclass> key = kiv::GlobalRef<jclass>::make(env, cls);
  if (!key) {
    env->ExceptionClear();  // out of memory: simply not remembered
    return;
  }
  int slot = c->typeNext;
  PyObject* oldType = c->typeValues[slot];
  c->typeKeys[slot].reset(env);
  c->typeKeys[slot] = std::move(key);
  c->typeValues[slot] = Py_NewRef(type);
  c->typeNext = (slot + 1) % ModuleCaches::kTypeSlots;
  Py_XDECREF(oldType);
}

// ---- protocol types --------------------------------------------------------------------

int add_methods_to_type(JNIEnv* env, ModuleState* state, PyObject* type, jclass cls, bool isInterface) {
  PyRef dict = PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
  if (!dict) return -1;
  int rc = add_methods(env, state, dict.get(), cls, isInterface);
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return rc;
}

struct ProtocolRow {
  PyType_Spec* spec;
  int base;  // index of an earlier row, kNoBase, or kObjectBase
  jclass* cls;
  bool isInterface;
};
constexpr int kNoBase = -1;
constexpr int kObjectBase = -2;
constexpr int kProtocols = 8;

// Builds the protocol types and registers them with java.lang.Object, unless the cache
// already has java.lang.Object.  Nothing is published until all are built, so a
// failure leaves the cache as it was and the next request tries again.
int ensure_protocols(JNIEnv* env, ModuleState* state) {
  PyRef objectName = PyRef::steal(PyUnicode_InternFromString("java.lang.Object"));
  if (!objectName) return -1;
  int present = PyDict_Contains(state->javaTypeCache, objectName.get());
  if (present != 0) return present < 0 ? -1 : 0;

  const ProtocolRow rows[kProtocols] = {
      {&PyJAutoCloseable_Spec, kNoBase, &JAUTOCLOSEABLE_TYPE, true},
      {&PyJIterator_Spec, kNoBase, &JITERATOR_TYPE, true},
      {&PyJIterable_Spec, kNoBase, &JITERABLE_TYPE, true},
      {&PyJCollection_Spec, 2, &JCOLLECTION_TYPE, true},
      {&PyJList_Spec, 3, &JLIST_TYPE, true},
      {&PyJMap_Spec, kNoBase, &JMAP_TYPE, true},
      {&PyJNumber_Spec, kObjectBase, &JNUMBER_TYPE, false},
      {&PyJBuffer_Spec, kObjectBase, &JBUFFER_TYPE, false},
  };
  PyObject* objectType = reinterpret_cast<PyObject*>(state->PyJObject_Type);
  PyRef types[kProtocols];
  for (int i = 0; i < kProtocols; ++i) {
    const ProtocolRow& row = rows[i];
    PyObject* base = row.base == kObjectBase ? objectType : row.base >= 0 ? types[row.base].get() : nullptr;
    types[i] = PyRef::steal(PyType_FromSpecWithBases(row.spec, base));
    if (!types[i] || add_methods_to_type(env, state, types[i].get(), *row.cls, row.isInterface) < 0) return -1;
  }
  if (add_methods_to_type(env, state, objectType, JOBJECT_TYPE, false) < 0) return -1;

  // The reflection above let other threads run; one of them may have finished first.
  present = PyDict_Contains(state->javaTypeCache, objectName.get());
  if (present != 0) return present < 0 ? -1 : 0;
  for (int i = 0; i < kProtocols; ++i) {
    if (PyDict_SetItemString(state->javaTypeCache, rows[i].spec->name, types[i].get()) < 0) return -1;
  }
  if (PyDict_SetItem(state->javaTypeCache, objectName.get(), objectType) < 0) return -1;
  // Types remembered from before (a cleared cache) belong to the old protocol types.
  kiv::forget_recent_types(kiv::caches_of(state));
  return 0;
}

// ---- per-class types ----------------------------------------------------------------------

PyRef class_name(JNIEnv* env, jclass cls) {
  LocalRef<jstring> name(env, java_lang_Class_getName(env, cls));
  if (!name || env->ExceptionCheck()) {
    reflection_failed(env, "Class.getName()");
    return PyRef();
  }
  return PyRef::steal(jstring_As_PyString(env, name.get()));
}

PyObject* get_or_create(JNIEnv* env, ModuleState* state, jclass cls);

// The bases of cls: its superclass's type and its interfaces' types (an interface:
// only its super-interfaces' types, possibly none).
PyRef make_bases(JNIEnv* env, ModuleState* state, jclass cls, bool isInterface) {
  LocalRef<jobjectArray> interfaces(env, java_lang_Class_getInterfaces(env, cls));
  if (env->ExceptionCheck()) {
    reflection_failed(env, "Class.getInterfaces()");
    return PyRef();
  }
  jsize count = interfaces ? env->GetArrayLength(interfaces.get()) : 0;
  PyRef bases = PyRef::steal(PyTuple_New(count + (isInterface ? 0 : 1)));
  if (!bases) return PyRef();
  Py_ssize_t pos = 0;
  if (!isInterface) {
    LocalRef<jclass> super(env, java_lang_Class_getSuperclass(env, cls));
    if (env->ExceptionCheck()) {
      reflection_failed(env, "Class.getSuperclass()");
      return PyRef();
    }
    // Only java.lang.Object has no superclass; should its entry have been removed from
    // the cache, the library's own java.lang.Object type stands in.
    PyObject* base = super ? get_or_create(env, state, super.get())
                           : Py_NewRef(reinterpret_cast<PyObject*>(state->PyJObject_Type));
    if (!base) return PyRef();
    PyTuple_SET_ITEM(bases.get(), pos++, base);
  }
  for (jsize i = 0; i < count; ++i) {
    LocalRef<jclass> iface(env, static_cast<jclass>(env->GetObjectArrayElement(interfaces.get(), i)));
    if (!iface || env->ExceptionCheck()) {
      reflection_failed(env, "Class.getInterfaces() element");
      return PyRef();
    }
    PyObject* base = get_or_create(env, state, iface.get());
    if (!base) return PyRef();
    PyTuple_SET_ITEM(bases.get(), pos++, base);
  }
  return bases;
}

// The type for cls from the cache, or built (with its missing ancestors) and cached.
// New reference, or nullptr with an error set.
PyObject* get_or_create(JNIEnv* env, ModuleState* state, jclass cls) {
  LocalFrame frame(env, kFrame);
  if (!frame.ok()) {
    reflection_failed(env, "PushLocalFrame");
    return nullptr;
  }
  PyRef name = class_name(env, cls);
  if (!name) return nullptr;
  if (PyObject* hit = cached_type(state, name.get())) return hit;
  if (PyErr_Occurred()) return nullptr;
  if (!kiv::assignable(env, cls, JOBJECT_TYPE)) {
    PyErr_Format(PyExc_TypeError, "Cannot create a pyjtype for primitive type: %U", name.get());
    return nullptr;
  }
  jboolean isInterface = java_lang_Class_isInterface(env, cls);
  if (env->ExceptionCheck()) {
    reflection_failed(env, "Class.isInterface()");
    return nullptr;
  }
  PyRef bases = make_bases(env, state, cls, isInterface);
  if (!bases) return nullptr;

  PyRef dict = PyRef::steal(PyDict_New());
  PyRef noSlots = PyRef::steal(PyTuple_New(0));
  if (!dict || !noSlots || PyDict_SetItemString(dict.get(), "__slots__", noSlots.get()) < 0) return nullptr;
  if (add_methods(env, state, dict.get(), cls, isInterface) < 0) return nullptr;
  if (add_fields(env, state, dict.get(), cls) < 0) return nullptr;

  // java.util.Map$Entry: module java.util, name Map$Entry; no package: module __kiv__.
  Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
  Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, length, -1);
  if (dot == -2) return nullptr;
  PyRef module = PyRef::steal(dot >= 0 ? PyUnicode_Substring(name.get(), 0, dot) : PyUnicode_FromString("__kiv__"));
  PyRef shortName = PyRef::steal(dot >= 0 ? PyUnicode_Substring(name.get(), dot + 1, length) : Py_NewRef(name.get()));
  if (!module || !shortName || PyDict_SetItemString(dict.get(), "__module__", module.get()) < 0) return nullptr;

  PyRef type = PyRef::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(state->PyJType_Type),
                                                         shortName.get(), bases.get(), dict.get(), nullptr));
  if (!type) return nullptr;
  // Instances come only from Java objects.  Interface types may have inherited
  // object.__new__ (from a base-less interface); classes and their Python subclasses
  // inherit the refusal from java.lang.Object.
  reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
  // The class reference the type's instances share (none when it cannot be made).
  if (Py_TYPE(type.get()) == state->PyJType_Type) {
    reinterpret_cast<PyJTypeObject*>(type.get())->clazz = kiv::GlobalRef<jclass>::make(env, cls).release();
    if (env->ExceptionCheck()) env->ExceptionClear();
  }
  return publish(state, name.get(), std::move(type));
}

}  // namespace

KIV_EXPORT PyType_Spec PyJType_Spec = {
    "PyJType",
    sizeof(PyJTypeObject),
    0,
    Py_TPFLAGS_DEFAULT,
    pyjtype_slots,
};

namespace kiv {

jclass class_of_type(PyTypeObject* type) noexcept {
  if (Py_TYPE(type)->tp_dealloc != KIV_PY_BOUNDARY(pyjtype_dealloc)) return nullptr;
  return reinterpret_cast<PyJTypeObject*>(type)->clazz;
}

bool of_own_class(PyObject* wrapper) noexcept {
  jclass own = class_of_type(Py_TYPE(wrapper));
  return own && reinterpret_cast<PyJObject*>(wrapper)->clazz == own;
}

void forget_recent_types(ModuleCaches* c) noexcept {
  for (int i = 0; i < ModuleCaches::kTypeSlots; ++i) {
    c->typeKeys[i].reset();
    Py_CLEAR(c->typeValues[i]);
  }
  c->typeNext = 0;
}

}  // namespace kiv

KIV_API PyObject* PyJType_Get(JNIEnv* env, jclass cls) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  if (!cls) {
    PyErr_SetString(PyExc_RuntimeError, "No Java class to make a Python type for");
    return nullptr;
  }
  ModuleCaches* caches = kiv::caches_of(state);
  // A cache smaller than the protocol set has been emptied by Python code: the types
  // remembered from before are then of the old set, and the protocols are built again.
  if (PyDict_GET_SIZE(state->javaTypeCache) > kProtocols) {
    if (PyObject* recent = recent_find(env, caches, cls)) return Py_NewRef(recent);
  }
  if (ensure_protocols(env, state) < 0) return nullptr;
  PyObject* type = get_or_create(env, state, cls);
  if (type) recent_store(env, caches, cls, type);
  return type;
}
