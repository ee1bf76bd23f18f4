// Objects/pyjfield.cpp: Java fields as Python descriptors.
//
// A PyJField reads its reflection data (field identifier, type, static and final
// flags, declaring class) on first use.  Every access checks that the object (or, for
// a static field, the class) belongs to the declaring class before JNI sees it, and
// final fields are read-only.  A static final field of a primitive or String type holds
// its value from class initialisation on: it is read once and the Python value kept.
#include <Python.h>
#include <jni.h>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "convert/jtype.h"
#include "common/checks.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalFrame;
using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr jint kFinal = 0x0010;  // java.lang.reflect.Modifier.FINAL

// The record with what this unit keeps beyond the public fields.
struct FieldObject {
  PyJField pub;
  jclass declaringClass;  // global reference, set on initialisation
  int isFinal;
  ModuleState* state;     // of the module whose types hold this field
  PyObject* constant;     // the kept value of a static final primitive or String field, or null
};

FieldObject* as_field(PyJField* f) { return reinterpret_cast<FieldObject*>(f); }

// Reads the reflection data.  get_jtype may let other threads run, so everything is
// read into locals and published at once; a thread that finds the field initialised
// by another meanwhile keeps that one's data.
int field_init(JNIEnv* env, FieldObject* f) {
  if (f->pub.init) return 0;
  LocalFrame frame(env, 16);
  if (!frame.ok()) {
    process_java_exception(env);
    return -1;
  }
  jfieldID id = f->pub.rfield ? env->FromReflectedField(f->pub.rfield) : nullptr;
  LocalRef<jclass> type;
  LocalRef<jclass> declaring;
  int typeId = -1;
  jint modifiers = 0;
  jboolean isStatic = JNI_FALSE;
  if (id && !env->ExceptionCheck()) type = LocalRef<jclass>(env, java_lang_reflect_Field_getType(env, f->pub.rfield));
  if (type && !env->ExceptionCheck()) typeId = get_jtype(env, type.get());
  if (typeId >= 0 && !env->ExceptionCheck()) modifiers = java_lang_reflect_Member_getModifiers(env, f->pub.rfield);
  if (typeId >= 0 && !env->ExceptionCheck()) isStatic = java_lang_reflect_Modifier_isStatic(env, modifiers);
  if (typeId >= 0 && !env->ExceptionCheck()) {
    declaring = LocalRef<jclass>(env, java_lang_reflect_Member_getDeclaringClass(env, f->pub.rfield));
  }
  if (!declaring || env->ExceptionCheck()) {
    if (!process_java_exception(env) && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Unknown");
    return -1;
  }
  if (f->pub.init) return 0;
  kiv::GlobalRef<jclass> typeRef = kiv::GlobalRef<jclass>::make(env, type.get());
  kiv::GlobalRef<jclass> declaringRef = kiv::GlobalRef<jclass>::make(env, declaring.get());
  if (!typeRef || !declaringRef) {
    env->ExceptionClear();
    PyErr_NoMemory();
    return -1;
  }
  f->pub.fieldId = id;
  f->pub.fieldType = typeRef.release();
  f->pub.fieldTypeId = typeId;
  f->pub.isStatic = isStatic ? 1 : 0;
  f->isFinal = (modifiers & kFinal) ? 1 : 0;
  f->declaringClass = declaringRef.release();
  f->pub.init = 1;
  return 0;
}

// Refuses an object that the field does not belong to.
void wrong_receiver(JNIEnv* env, FieldObject* f, PyObject* obj) {
  PyRef owner;
  LocalRef<jstring> name(env, java_lang_Class_getName(env, f->declaringClass));
  if (name && !env->ExceptionCheck()) owner = PyRef::steal(jstring_As_PyString(env, name.get()));
  env->ExceptionClear();
  PyErr_Clear();
  if (owner) {
    PyErr_Format(PyExc_TypeError, "Field '%U' of %U cannot be used with a '%s' object", f->pub.pyFieldName,
                 owner.get(), Py_TYPE(obj)->tp_name);
  } else {
    PyErr_Format(PyExc_TypeError, "Field '%U' cannot be used with a '%s' object", f->pub.pyFieldName,
                 Py_TYPE(obj)->tp_name);
  }
}

// What JNI accesses the field on: the instance for an instance field, the declaring
// class for a static one (read through an instance or a class wrapper).  nullptr with
// an error set when obj cannot be used.
jobject access_target(JNIEnv* env, FieldObject* f, PyObject* obj) {
  auto* o = reinterpret_cast<PyJObject*>(obj);
  if (!o->object && !o->clazz) {
    PyErr_SetString(PyExc_RuntimeError, "This Java object wrapper holds no Java object");
    return nullptr;
  }
  if (!f->pub.isStatic) {
    if (!o->object) {
      PyErr_SetString(PyExc_TypeError, "Field is not static.");
      return nullptr;
    }
    if (!env->IsInstanceOf(o->object, f->declaringClass)) {
      wrong_receiver(env, f, obj);
      return nullptr;
    }
    return o->object;
  }
  if (!o->clazz || !kiv::assignable(env, o->clazz, f->declaringClass)) {
    wrong_receiver(env, f, obj);
    return nullptr;
  }
  return f->declaringClass;
}

// Wraps a reference value read from a field (not null) by the field's type code.
PyObject* reference_to_python(JNIEnv* env, int typeId, jobject value) {
  switch (typeId) {
    case JTYPE_STRING:
      return jstring_As_PyString(env, static_cast<jstring>(value));
    case JTYPE_ARRAY:
      return pyjarray_new(env, static_cast<jarray>(value));
    case JTYPE_CLASS:
      return PyJClass_Wrap(env, static_cast<jclass>(value));
    default:
      return jobject_As_PyObject(env, value);
  }
}

// Reads the field through the field functions of P (a JPrimitive or JReference).
template <class P>
typename P::type get(JNIEnv* env, FieldObject* f, jobject target) {
  jfieldID id = f->pub.fieldId;
  return f->pub.isStatic == 1 ? P::get_static_field(env, static_cast<jclass>(target), id)
                              : P::get_field(env, target, id);
}

template <class P>
void set(JNIEnv* env, FieldObject* f, jobject target, typename P::type v) {
  jfieldID id = f->pub.fieldId;
  if (f->pub.isStatic == 1) {
    P::set_static_field(env, static_cast<jclass>(target), id, v);
  } else {
    P::set_field(env, target, id, v);
  }
}

KIV_NOINLINE void unknown_field_type(FieldObject* f) {
  PyErr_Format(PyExc_RuntimeError, "Unknown field type %i.", f->pub.fieldTypeId);
}

PyObject* read_field(JNIEnv* env, FieldObject* f, jobject target) {
  return kiv::with_primitive(
      f->pub.fieldTypeId,
      [&](auto p) -> PyObject* {
        using P = decltype(p);
        return P::to_python(get<P>(env, f, target));  // a field read cannot throw
      },
      [&]() -> PyObject* {
        if (!kiv::is_reference_type(f->pub.fieldTypeId)) {
          unknown_field_type(f);
          return nullptr;
        }
        LocalRef<jobject> v(env, get<kiv::JReference>(env, f, target));  // cannot throw
        return v ? reference_to_python(env, f->pub.fieldTypeId, v.get()) : Py_NewRef(Py_None);
      });
}

// Converts value for the field and stores it; 0, or -1 with an error set.
int write_field(JNIEnv* env, FieldObject* f, jobject target, PyObject* value) {
  return kiv::with_primitive(
      f->pub.fieldTypeId,
      [&](auto p) -> int {
        using P = decltype(p);
        typename P::type v = P::from_python(value);
        if (PyErr_Occurred()) return -1;
        set<P>(env, f, target, v);  // a field write cannot throw
        return 0;
      },
      [&]() -> int {
        if (!kiv::is_reference_type(f->pub.fieldTypeId)) {
          unknown_field_type(f);
          return -1;
        }
        LocalRef<jobject> v(env, PyObject_As_jobject(env, value, f->pub.fieldType));
        if (PyErr_Occurred()) return -1;
        set<kiv::JReference>(env, f, target, v.get());  // converted to fit the field's type: cannot throw
        return 0;
      });
}

PyObject* pyjfield_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return pyjfield_get(reinterpret_cast<PyJField*>(self), obj);
}

int pyjfield_descr_set(PyObject* self, PyObject* obj, PyObject* value) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "Deleting Java fields is not allowed");
    return -1;
  }
  return pyjfield_set(reinterpret_cast<PyJField*>(self), obj, value);
}

void pyjfield_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  FieldObject* f = as_field(reinterpret_cast<PyJField*>(self));
  kiv::delete_global_ref(f->pub.rfield);
  kiv::delete_global_ref(f->pub.fieldType);
  kiv::delete_global_ref(f->declaringClass);
  Py_CLEAR(f->constant);
  f->pub.rfield = nullptr;
  f->pub.fieldType = nullptr;
  f->declaringClass = nullptr;
  Py_CLEAR(f->pub.pyFieldName);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int pyjfield_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyJField*>(self)->pyFieldName);
  Py_VISIT(as_field(reinterpret_cast<PyJField*>(self))->constant);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot pyjfield_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjfield_dealloc))},
    {Py_tp_traverse, reinterpret_cast<void*>(pyjfield_traverse)},
    {Py_tp_descr_get, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjfield_descr_get))},
    {Py_tp_descr_set, reinterpret_cast<void*>(KIV_PY_BOUNDARY(pyjfield_descr_set))},
    {Py_tp_doc, const_cast<char*>("jfield")},
    {0, nullptr}};

// Common start of a read or a write: the environment and the initialised field.
FieldObject* prepare(PyJField* self, PyObject* obj, JNIEnv** env) {
  if (!self) {
    PyErr_SetString(PyExc_RuntimeError, "Invalid self object.");
    return nullptr;
  }
  FieldObject* f = as_field(self);
  // The module state kept with the field spares a module look-up per access.
  bool java = obj && (f->state && f->state->PyJObject_Type ? PyObject_TypeCheck(obj, f->state->PyJObject_Type)
                                                            : PyJObject_Check(obj));
  if (!java) {
    PyErr_SetString(PyExc_RuntimeError, "PyJField can only access fields on Java objects");
    return nullptr;
  }
  *env = kiv::env_or_error();
  if (!*env || field_init(*env, f) < 0) return nullptr;
  return f;
}

}  // namespace

KIV_EXPORT PyType_Spec PyJField_Spec = {
    "kiv.PyJField",
    sizeof(FieldObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pyjfield_slots,
};

KIV_API PyObject* PyJField_New(JNIEnv* env, ModuleState* state, jobject f) {
  if (!state || !f) {
    PyErr_SetString(PyExc_RuntimeError, "A PyJField needs a module state and a field");
    return nullptr;
  }
  PyTypeObject* type = state->PyJField_Type;
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  FieldObject* field = as_field(reinterpret_cast<PyJField*>(self.get()));
  field->state = state;
  field->pub.fieldTypeId = -1;
  field->pub.isStatic = -1;
  field->pub.rfield = kiv::GlobalRef<jobject>::make(env, f).release();  // the record owns it: see pyjfield_dealloc
  if (!field->pub.rfield) {
    env->ExceptionClear();
    return PyErr_NoMemory();
  }
  LocalRef<jstring> name(env, java_lang_reflect_Member_getName(env, f));
  if (process_java_exception(env)) return nullptr;
  if (!name) {
    PyErr_SetString(PyExc_RuntimeError, "Field.getName() returned null");
    return nullptr;
  }
  field->pub.pyFieldName = jstring_As_PyString(env, name.get());
  if (!field->pub.pyFieldName) return nullptr;
  return self.release();
}

KIV_API int PyJField_Check(ModuleState* state, PyObject* obj) {
  return state && state->PyJField_Type && PyObject_TypeCheck(obj, state->PyJField_Type);
}

namespace {

// Reads the field for obj, which it has been checked to belong to (target: what JNI
// reads on); a constant's value is read once and kept.
PyObject* read_checked(JNIEnv* env, FieldObject* f, jobject target) {
  if (f->constant) return Py_NewRef(f->constant);
  PyObject* value = read_field(env, f, target);
  bool primitive = kiv::with_primitive(f->pub.fieldTypeId, [](auto) { return true; }, [] { return false; });
  bool keep = f->pub.isStatic == 1 && f->isFinal && (primitive || f->pub.fieldTypeId == JTYPE_STRING);
  if (value && keep) f->constant = Py_NewRef(value);
  return value;
}

}  // namespace

KIV_API PyObject* pyjfield_get(PyJField* self, PyObject* obj) {
  JNIEnv* env = nullptr;
  FieldObject* f = prepare(self, obj, &env);
  if (!f) return nullptr;
  jobject target = access_target(env, f, obj);
  return target ? read_checked(env, f, target) : nullptr;
}

namespace kiv {

PyObject* static_field_get(PyJField* self) noexcept {
  FieldObject* f = as_field(self);
  if (f->constant) return Py_NewRef(f->constant);
  JNIEnv* env = env_or_error();
  if (!env) return nullptr;
  return read_checked(env, f, f->declaringClass);
}

}  // namespace kiv

KIV_API int pyjfield_set(PyJField* self, PyObject* obj, PyObject* value) {
  JNIEnv* env = nullptr;
  FieldObject* f = prepare(self, obj, &env);
  if (!f) return -1;
  if (!reinterpret_cast<PyJObject*>(obj)->object && !f->pub.isStatic) {
    PyErr_SetString(PyExc_TypeError, "Field is not static.");
    return -1;
  }
  if (f->isFinal) {
    PyErr_Format(PyExc_TypeError, "Field '%U' is final.", f->pub.pyFieldName);
    return -1;
  }
  jobject target = access_target(env, f, obj);
  return target ? write_field(env, f, target, value) : -1;
}
