// Objects/pyjclass.cpp: java.lang.Class objects in Python.
//
// A class wrapper behaves like the Java class in source code: its attributes are the
// class's public methods (bound to the wrapper, so static ones can be called), its
// public declared fields (read and written as static fields) and its public nested
// classes; calling it constructs an instance; isinstance() and issubclass() accept it
// in place of the class's Python type.
//
// Reads are the hot path (`Math.abs(x)`, `Integer.MAX_VALUE`): a method is bound to the
// wrapper once per name and kept in `bound`, a field is read directly, and calls reach
// the constructor through vectorcall without a bound method.
#include <Python.h>
#include <jni.h>

#include <cstddef>
#include <cstring>
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

PyJClass* as_class(PyObject* self) { return reinterpret_cast<PyJClass*>(self); }

// The wrapped class; nullptr with an error for a record that holds none.
jclass class_or_error(PyObject* self) {
  jclass cls = as_class(self)->base.clazz;
  if (!cls) PyErr_SetString(PyExc_RuntimeError, "This class wrapper holds no Java class");
  return cls;
}

// The Java name of the wrapped class (new reference), or nullptr with an error set.
PyObject* java_name(PyObject* self) {
  JNIEnv* env = kiv::env_or_error();
  jclass cls = env ? class_or_error(self) : nullptr;
  if (!cls) return nullptr;
  LocalRef<jstring> name(env, java_lang_Class_getName(env, cls));
  if (process_java_exception(env)) return nullptr;
  if (!name) {
    PyErr_SetString(PyExc_RuntimeError, "The Java class has no name");
    return nullptr;
  }
  return jstring_As_PyString(env, name.get());
}

// The per-class type of the wrapped class (new reference); a TypeError for a
// primitive class, which has none.
PyObject* pytype_of(PyObject* self) {
  PyJClass* c = as_class(self);
  if (c->pytype) return Py_NewRef(c->pytype);
  JNIEnv* env = kiv::env_or_error();
  jclass cls = env ? class_or_error(self) : nullptr;
  return cls ? PyJType_Get(env, cls) : nullptr;
}

// ---- construction ---------------------------------------------------------------------

// The constructor set of the class (borrowed): one PyJConstructor, or a PyJMultiMethod
// of them, built on first use.  nullptr with an error set when there is none.
PyObject* constructor_of(PyObject* self) {
  PyJClass* c = as_class(self);
  if (c->constructor) return c->constructor;
  JNIEnv* env = kiv::env_or_error();
  jclass cls = env ? class_or_error(self) : nullptr;
  ModuleState* state = cls ? pyembed_get_module_state() : nullptr;
  if (!state) return nullptr;
  LocalFrame frame(env, 16);
  LocalRef<jobjectArray> ctors(env, frame.ok() ? java_lang_Class_getConstructors(env, cls) : nullptr);
  if (process_java_exception(env)) return nullptr;
  if (!ctors) {
    PyErr_SetString(PyExc_RuntimeError, "Class.getConstructors() returned null");
    return nullptr;
  }
  PyRef result;
  jsize n = env->GetArrayLength(ctors.get());
  for (jsize i = 0; i < n; ++i) {
    LocalRef<jobject> k(env, env->GetObjectArrayElement(ctors.get(), i));
    if (process_java_exception(env)) return nullptr;
    if (!k) {
      PyErr_SetString(PyExc_RuntimeError, "Class.getConstructors() returned a null element");
      return nullptr;
    }
    PyRef ctor = PyRef::steal(PyJConstructor_New(env, state, k.get()));
    if (!ctor) return nullptr;
    if (!result) {
      result = std::move(ctor);
    } else if (PyJMultiMethod_Check(state, result.get())) {
      if (PyJMultiMethod_Append(state, result.get(), ctor.get()) < 0) return nullptr;
    } else {
      result = PyRef::steal(PyJMultiMethod_New(state, result.get(), ctor.get()));
      if (!result) return nullptr;
    }
  }
  if (!result) {
    PyErr_SetString(PyExc_TypeError, "No public constructor");
    return nullptr;
  }
  // getConstructors() let other threads run: one of them may have stored a set.
  if (!c->constructor) c->constructor = result.release();
  return c->constructor;
}

// Calls the constructor set with the wrapper in front of the arguments.
PyObject* pyjclass_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* found = constructor_of(self);
  if (!found) return nullptr;
  PyRef ctor = PyRef::borrow(found);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
    // The caller lends us the slot before args.
    PyObject** front = const_cast<PyObject**>(args) - 1;
    PyObject* saved = *front;
    *front = self;
    PyObject* result = PyObject_Vectorcall(ctor.get(), front, static_cast<size_t>(nargs + 1), kwnames);
    *front = saved;
    return result;
  }
  constexpr Py_ssize_t kSmall = 8;
  PyObject* small[kSmall];
  PyObject** stack = small;
  if (total + 1 > kSmall) {
    stack = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(total + 1) * sizeof(PyObject*)));
    if (!stack) return PyErr_NoMemory();
  }
  stack[0] = self;
  if (total > 0) std::memcpy(stack + 1, args, static_cast<size_t>(total) * sizeof(PyObject*));
  PyObject* result = PyObject_Vectorcall(ctor.get(), stack, static_cast<size_t>(nargs + 1), kwnames);
  if (stack != small) PyMem_Free(stack);
  return result;
}

// ---- attributes -----------------------------------------------------------------------

// Reads an attribute.  A method found in the wrapper's dict comes back bound to the
// wrapper, a field as its static value.  Both resolutions are remembered in `bound`
// and reused while the dict still holds the same entry.
PyObject* pyjclass_getattro(PyObject* self, PyObject* name) {
  PyJClass* c = as_class(self);
  if (c->bound && c->dict) {
    PyObject* hit = PyDict_GetItemWithError(c->bound, name);  // borrowed
    if (hit) {
      PyObject* entry = PyDict_GetItemWithError(c->dict, name);  // borrowed
      if (PyMethod_Check(hit)) {
        if (entry == PyMethod_GET_FUNCTION(hit)) return Py_NewRef(hit);
      } else if (entry == hit) {
        // Read through this wrapper before (see below): no need to check again.
        PyRef field = PyRef::borrow(hit);
        return kiv::static_field_get(reinterpret_cast<PyJField*>(field.get()));
      }
    }
    if (PyErr_Occurred()) return nullptr;
  }

  PyRef found = PyRef::steal(PyObject_GenericGetAttr(self, name));
  if (!found) return nullptr;
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  PyObject* f = found.get();
  bool isMethod = PyJMethod_Check(state, f) || PyJMultiMethod_Check(state, f);
  bool isField = !isMethod && PyJField_Check(state, f);
  if (!isMethod && !isField) return found.release();

  PyRef resolved = isMethod ? PyRef::steal(PyMethod_New(f, self)) : PyRef::borrow(f);
  if (!resolved) return nullptr;
  // A field is read (and so checked against this wrapper's class) first.
  PyRef value = isMethod ? PyRef() : PyRef::steal(pyjfield_get(reinterpret_cast<PyJField*>(f), self));
  if (!isMethod && !value) return nullptr;
  // Remember it only when it came from the wrapper's own dict.
  PyObject* entry = c->dict ? PyDict_GetItemWithError(c->dict, name) : nullptr;
  if (entry == f) {
    if (!c->bound) c->bound = PyDict_New();
    if (!c->bound || PyDict_SetItem(c->bound, name, resolved.get()) < 0) PyErr_Clear();
  } else if (PyErr_Occurred()) {
    PyErr_Clear();
  }
  return isMethod ? resolved.release() : value.release();
}

int pyjclass_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "Deleting attributes from PyJObjects is not allowed.");
    return -1;
  }
  ModuleState* state = pyembed_get_module_state();
  if (!state) return -1;
  PyJClass* c = as_class(self);
  PyRef entry = PyRef::borrow(c->dict ? PyDict_GetItemWithError(c->dict, name) : nullptr);
  if (!entry && PyErr_Occurred()) return -1;
  if (entry && PyJField_Check(state, entry.get())) {
    return pyjfield_set(reinterpret_cast<PyJField*>(entry.get()), self, value);
  }
  const char* format = "'%U' object has no attribute '%U'.";
  if (entry) {
    bool method = PyJMethod_Check(state, entry.get()) || PyJMultiMethod_Check(state, entry.get());
    format = method ? "'%U' object cannot assign to method '%U'." : "'%U' object cannot assign to attribute '%U'.";
  }
  PyRef javaName = PyRef::steal(java_name(self));
  if (!javaName) return -1;
  PyErr_Format(PyExc_AttributeError, format, javaName.get(), name);
  return -1;
}

PyObject* pyjclass_get_pytype(PyObject* self, void*) { return pytype_of(self); }

PyObject* pyjclass_instancecheck(PyObject* self, PyObject* x) {
  PyRef type = PyRef::steal(pytype_of(self));
  if (!type) return nullptr;
  // Java arrays are PyJArray objects, not instances of per-class types: ask Java.
  if (pyjarray_check(x)) {
    JNIEnv* env = kiv::env_or_error();
    jobject array = reinterpret_cast<PyJObject*>(x)->object;
    if (!env) return nullptr;
    return PyBool_FromLong(array && env->IsInstanceOf(array, as_class(self)->base.clazz));
  }
  int r = PyObject_IsInstance(x, type.get());
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* pyjclass_subclasscheck(PyObject* self, PyObject* c) {
  PyRef type = PyRef::steal(pytype_of(self));
  if (!type) return nullptr;
  PyRef other = PyJClass_Check(c) ? PyRef::steal(pytype_of(c)) : PyRef::borrow(c);
  if (!other) return nullptr;
  int r = PyObject_IsSubclass(other.get(), type.get());
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

// ---- lifecycle ----------------------------------------------------------------------

void pyjclass_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyJClass* c = as_class(self);
  Py_CLEAR(c->constructor);
  Py_CLEAR(c->dict);
  Py_CLEAR(c->bound);
  Py_CLEAR(c->pytype);
  kiv::release_java_refs(&c->base);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjclass_traverse(PyObject* self, visitproc visit, void* arg) {
  PyJClass* c = as_class(self);
  Py_VISIT(c->constructor);
  Py_VISIT(c->dict);
  Py_VISIT(c->bound);
  Py_VISIT(c->pytype);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int pyjclass_clear(PyObject* self) {
  PyJClass* c = as_class(self);
  Py_CLEAR(c->constructor);
  Py_CLEAR(c->dict);
  Py_CLEAR(c->bound);
  Py_CLEAR(c->pytype);
  return 0;
}

// ---- building a wrapper -------------------------------------------------------------------

// Copies the method and field descriptors of the per-class type into dict.
int copy_descriptors(ModuleState* state, PyObject* type, PyObject* dict) {
  PyRef typeDict = PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
  if (!typeDict) return -1;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(typeDict.get(), &pos, &key, &value)) {
    if (PyJMethod_Check(state, value) || PyJMultiMethod_Check(state, value) || PyJField_Check(state, value)) {
      if (PyDict_SetItem(dict, key, value) < 0) return -1;
    }
  }
  return 0;
}

// Adds wrappers of the public nested classes to dict by simple name.  A failure ends
// the walk and is printed: the wrapper is still usable without the rest.  Returns -1
// only for an error that must not be swallowed (KeyboardInterrupt, SystemExit).
int add_nested_classes(JNIEnv* env, jclass cls, PyObject* dict) {
  {
    LocalFrame frame(env, 16);
    LocalRef<jobjectArray> nested(env, frame.ok() ? java_lang_Class_getDeclaredClasses(env, cls) : nullptr);
    jsize n = nested && !env->ExceptionCheck() ? env->GetArrayLength(nested.get()) : 0;
    for (jsize i = 0; i < n; ++i) {
      LocalRef<jclass> k(env, static_cast<jclass>(env->GetObjectArrayElement(nested.get(), i)));
      if (!k || env->ExceptionCheck()) break;
      jint modifiers = java_lang_Class_getModifiers(env, k.get());
      if (env->ExceptionCheck()) break;
      jboolean isPublic = java_lang_reflect_Modifier_isPublic(env, modifiers);
      if (env->ExceptionCheck()) break;
      if (!isPublic) continue;
      PyRef wrapper = PyRef::steal(PyJClass_Wrap(env, k.get()));
      if (!wrapper) break;
      LocalRef<jstring> simple(env, java_lang_Class_getSimpleName(env, k.get()));
      if (!simple || env->ExceptionCheck()) break;
      PyRef name = PyRef::steal(jstring_As_PyString(env, simple.get()));
      if (!name || PyDict_SetItem(dict, name.get(), wrapper.get()) < 0) break;
    }
    // Leave no Java exception behind: it becomes the Python error reported below.
    if (env->ExceptionCheck()) process_java_exception(env);
  }
  if (!PyErr_Occurred()) return 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  kiv::print_python_error();
  return 0;
}

PyMemberDef pyjclass_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(PyJClass, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(PyJClass, vectorcall), Py_READONLY, nullptr},
    {"__dict__", Py_T_OBJECT_EX, offsetof(PyJClass, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef pyjclass_getset[] = {
    {"__pytype__", KIV_PY_BOUNDARY(pyjclass_get_pytype), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef pyjclass_methods[] = {
    {"__instancecheck__", KIV_PY_BOUNDARY(pyjclass_instancecheck), METH_O, nullptr},
    {"__subclasscheck__", KIV_PY_BOUNDARY(pyjclass_subclasscheck), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot pyjclass_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjclass_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjclass_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pyjclass_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjclass_getattro))},
    {Py_tp_setattro, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjclass_setattro))},
    {Py_tp_methods, pyjclass_methods},
    {Py_tp_members, pyjclass_members},
    {Py_tp_getset, pyjclass_getset},
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Class")},
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJClass_Spec = {
    "kiv.PyJClass",
    sizeof(PyJClass),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
    pyjclass_slots,
};

KIV_API PyObject* PyJClass_Wrap(JNIEnv* env, jclass cls) {
  ModuleState* state = pyembed_get_module_state();
  if (!state) return nullptr;
  if (!cls) {
    PyErr_SetString(PyExc_RuntimeError, "No Java class to wrap");
    return nullptr;
  }
  PyRef self = PyRef::steal(PyJObject_New(env, state->PyJClass_Type, nullptr, cls));
  if (!self) return nullptr;
  PyJClass* c = as_class(self.get());
  c->vectorcall = KIV_PY_BOUNDARY(pyjclass_vectorcall);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  // Primitive classes (and void) have no Python type and get an empty dict.
  if (kiv::assignable(env, cls, JOBJECT_TYPE)) {
    PyRef type = PyRef::steal(PyJType_Get(env, cls));
    if (!type || copy_descriptors(state, type.get(), dict.get()) < 0) return nullptr;
    c->pytype = type.release();
  }
  c->dict = Py_NewRef(dict.get());
  if (add_nested_classes(env, cls, dict.get()) < 0) return nullptr;
  return self.release();
}

KIV_API int PyJClass_Check(PyObject* obj) {
  // Looked up without setting an error: a check that answers no leaves none.
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  ModuleState* state = m ? static_cast<ModuleState*>(PyModule_GetState(m)) : nullptr;
  if (!state || !state->PyJClass_Type) return 0;
  return PyObject_TypeCheck(obj, state->PyJClass_Type);
}
