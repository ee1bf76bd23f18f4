// convert/to_python.cpp: Java values to Python.
#include <Python.h>
#include <jni.h>

#include <atomic>

#include "Objects/callable.h"
#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/boxes.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

namespace {

// Applies the converter registered for the wrapper's type, if any: a `_to_python`
// attribute, found by ordinary attribute look-up so that a converter on a supertype
// applies to its subtypes and a plain function receives the wrapper.  Steals wrapper.
// state: the current interpreter's module state when the caller knows it, else null.
PyObject* apply_converter(PyObject* wrapper, ModuleState* state = nullptr) {
  PyRef w = PyRef::steal(wrapper);
  ModuleCaches* caches = state ? kiv::caches_of(state) : kiv::module_caches();
  if (!caches) return nullptr;
  PyObject* hook = nullptr;
  // A missing hook is the common case: look it up without making an AttributeError.
  int found = _PyObject_LookupAttr(w.get(), caches->toPythonName, &hook);
  if (found < 0) return nullptr;
  if (found == 0) return w.release();
  PyRef h = PyRef::steal(hook);
  w.reset();
  return PyObject_CallNoArgs(h.get());
}

// A boxed value as Python (obj's class is exactly P's boxed class).
template <class P>
PyObject* boxed_As_PyObject(JNIEnv* env, jobject obj) noexcept {
  typename P::type v;
  return kiv::unbox<P>(env, obj, &v) ? P::to_python(v) : nullptr;
}

// The primitive code of the box class the last boxed value converted on this thread
// had, or -1: values converted one after another (the elements of a container, the
// arguments of calls) are mostly of one class, which is then tried first.
thread_local int t_lastBox = -1;

// The value of obj when cls is the box class of `code` (*done set), else nullptr.
PyObject* box_of_code(JNIEnv* env, jobject obj, jclass cls, int code, bool* done) {
  return kiv::with_primitive(
      code,
      [&](auto p) -> PyObject* {
        using P = decltype(p);
        if (!kiv::same(env, cls, P::boxed_class())) return nullptr;
        *done = true;
        t_lastBox = P::code;
        return boxed_As_PyObject<P>(env, obj);
      },
      []() -> PyObject* { return nullptr; });
}

// A BigInteger as a Python int, through its two's-complement bytes (text would be
// subject to Python's limit on the digits of an int).
PyObject* big_integer_As_PyLong(JNIEnv* env, jobject obj) {
  LocalRef<jbyteArray> bytes(env, java_math_BigInteger_toByteArray(env, obj));
  if (!bytes || env->ExceptionCheck()) {
    process_java_exception(env);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "BigInteger.toByteArray returned null");
    return nullptr;
  }
  jsize n = env->GetArrayLength(bytes.get());
  jbyte* data = env->GetByteArrayElements(bytes.get(), nullptr);
  if (!data) {
    env->ExceptionClear();
    return PyErr_NoMemory();
  }
  PyObject* result = _PyLong_FromByteArray(reinterpret_cast<const unsigned char*>(data), static_cast<size_t>(n),
                                           /*little_endian=*/0, /*is_signed=*/1);
  env->ReleaseByteArrayElements(bytes.get(), data, JNI_ABORT);
  return result;
}

// A boxed integer or floating-point number, or a BigInteger, as a Python int or float;
// nullptr with no error set for another Number (which is then wrapped).  The classes
// are tried most common first.
PyObject* number_As_PyObject(JNIEnv* env, jobject obj, jclass cls) {
  static constexpr int kBoxed[] = {JTYPE_LONG, JTYPE_INT, JTYPE_DOUBLE, JTYPE_FLOAT, JTYPE_SHORT, JTYPE_BYTE};
  for (int code : kBoxed) {
    bool done = false;
    PyObject* result = box_of_code(env, obj, cls, code, &done);
    if (done) return result;
  }
  if (kiv::same(env, cls, JBIGINTEGER_TYPE)) return big_integer_As_PyLong(env, obj);
  return nullptr;
}

}  // namespace

namespace {

// The conversion of jobject_As_PyObject.  With a cache, an object of the cached class
// goes straight to wrapping, and a wrapped object's class and type are remembered.
PyObject* to_python(JNIEnv* env, jobject obj, jclass* cachedCls, PyObject** cachedType, ModuleState* state) {
  if (!obj) Py_RETURN_NONE;
  LocalRef<jclass> cls(env, env->GetObjectClass(obj));
  if (!cls) {
    process_java_exception(env);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Couldn't get the class of a Java object");
    return nullptr;
  }
  if (cachedCls && *cachedCls && kiv::same(env, cls.get(), *cachedCls)) {
    PyObject* wrapper = PyJObject_New(env, reinterpret_cast<PyTypeObject*>(*cachedType), obj, cls.get());
    return wrapper ? apply_converter(wrapper, state) : nullptr;
  }
  if (t_lastBox >= 0) {
    bool done = false;
    PyObject* boxed = box_of_code(env, obj, cls.get(), t_lastBox, &done);
    if (done) return boxed;
  }
  if (kiv::same(env, cls.get(), JSTRING_TYPE)) return jstring_As_PyString(env, static_cast<jstring>(obj));
  if (kiv::assignable(env, cls.get(), JNUMBER_TYPE)) {
    PyObject* n = number_As_PyObject(env, obj, cls.get());
    if (n || PyErr_Occurred()) return n;
  } else if (kiv::same(env, cls.get(), JBOOL_OBJ_TYPE)) {
    t_lastBox = JTYPE_BOOLEAN;
    return boxed_As_PyObject<kiv::JPrimitive<JTYPE_BOOLEAN>>(env, obj);
  } else if (kiv::same(env, cls.get(), JCHAR_OBJ_TYPE)) {
    t_lastBox = JTYPE_CHAR;
    return boxed_As_PyObject<kiv::JPrimitive<JTYPE_CHAR>>(env, obj);
  } else if (kiv::assignable(env, cls.get(), JPYOBJECT_TYPE)) {
    return JPyObject_As_PyObject(env, obj);
  }
  jboolean isArray = java_lang_Class_isArray(env, cls.get());
  if (process_java_exception(env)) return nullptr;
  if (isArray) return pyjarray_new(env, static_cast<jarray>(obj));
  if (kiv::assignable(env, cls.get(), JAVA_PROXY_TYPE)) {
    LocalRef<jobject> held(env, kiv_Proxy_getPyObject(env, obj));
    if (process_java_exception(env)) return nullptr;
    // A proxy this library made for a Python object: that very object comes back.
    if (held) return JPyObject_As_PyObject(env, held.get());
  }
  if (kiv::same(env, cls.get(), JCLASS_TYPE)) {
    PyObject* wrapper = PyJClass_Wrap(env, static_cast<jclass>(obj));
    return wrapper ? apply_converter(wrapper) : nullptr;
  }
  PyRef type = PyRef::steal(PyJType_Get(env, cls.get()));
  if (!type) return nullptr;
  if (cachedCls) {
    kiv::GlobalRef<jclass> g = kiv::GlobalRef<jclass>::make(env, cls.get());
    if (g) {
      kiv::delete_global_ref(*cachedCls);
      Py_XDECREF(*cachedType);
      *cachedCls = g.release();  // the cache's owner lets it go (see object_to_python)
      *cachedType = type.new_ref();
    }
  }
  PyObject* wrapper = PyJObject_New(env, reinterpret_cast<PyTypeObject*>(type.get()), obj, cls.get());
  return wrapper ? apply_converter(wrapper) : nullptr;
}

}  // namespace

KIV_API PyObject* jobject_As_PyObject(JNIEnv* env, jobject obj) {
  return to_python(env, obj, nullptr, nullptr, nullptr);
}

namespace kiv {

PyObject* object_to_python(JNIEnv* env, jobject obj, jclass* cls, PyObject** type, ModuleState* state) noexcept {
  return to_python(env, obj, cls, type, state);
}

}  // namespace kiv

KIV_API PyObject* jobject_As_PyJObject(JNIEnv* env, jobject obj, jclass clazz) {
  if (!obj) Py_RETURN_NONE;
  LocalRef<jclass> own;
  if (!clazz) {
    own = LocalRef<jclass>(env, env->GetObjectClass(obj));
    clazz = own.get();
  }
  if (kiv::same(env, clazz, JCLASS_TYPE)) return PyJClass_Wrap(env, static_cast<jclass>(obj));
  PyRef type = PyRef::steal(PyJType_Get(env, clazz));
  if (!type) return nullptr;
  return PyJObject_New(env, reinterpret_cast<PyTypeObject*>(type.get()), obj, clazz);
}

namespace {

constexpr const char* kReleased = "This kiv.python.PyObject has been released.";

// Fields of the kiv.python classes, looked up on first use (racing threads store the
// same value): every read below is a field read, which never lets the interpreter lock
// go, unlike a call of a Java method.
std::atomic<jfieldID> pyobject_interpreter{nullptr};
std::atomic<jfieldID> pyobject_address{nullptr};
std::atomic<jfieldID> pyobject_pointer{nullptr};
std::atomic<jfieldID> handler_pointer{nullptr};
std::atomic<jfieldID> pointer_released{nullptr};

jfieldID field_of(JNIEnv* env, std::atomic<jfieldID>& slot, jobject obj, const char* name, const char* sig) noexcept {
  jfieldID f = slot.load(std::memory_order_relaxed);
  if (!f) {
    LocalRef<jclass> cls(env, env->GetObjectClass(obj));
    f = cls ? env->GetFieldID(cls.get(), name, sig) : nullptr;
    if (f) slot.store(f, std::memory_order_relaxed);
  }
  return f;
}

jfieldID pyobject_field(JNIEnv* env, std::atomic<jfieldID>& slot, const char* name, const char* sig) noexcept {
  jfieldID f = slot.load(std::memory_order_relaxed);
  if (!f && JPYOBJECT_TYPE) {
    f = env->GetFieldID(JPYOBJECT_TYPE, name, sig);
    if (f) slot.store(f, std::memory_order_relaxed);
  }
  return f;
}

// 1 when the holder's reference was given back, 0 when not, -1 with a Java exception
// pending (or none, before start-up) when the fields cannot be read.
int holder_released(JNIEnv* env, jobject holder, kiv::Holder kind) noexcept {
  jfieldID field = kind == kiv::Holder::PyObject
                       ? pyobject_field(env, pyobject_pointer, "pointer", "Lkiv/python/PyPointer;")
                       : field_of(env, handler_pointer, holder, "pointer", "Lkiv/python/PyPointer;");
  LocalRef<jobject> pointer(env, field ? env->GetObjectField(holder, field) : nullptr);
  jfieldID flag = pointer ? field_of(env, pointer_released, pointer.get(), "released", "Z") : nullptr;
  if (!flag) return -1;
  return env->GetBooleanField(pointer.get(), flag) ? 1 : 0;
}

}  // namespace

namespace kiv {

PyObject* hold_object(JNIEnv* env, jobject holder, Holder kind, jlong address) noexcept {
  if (holder_released(env, holder, kind) != 0) {
    if (!env->ExceptionCheck()) throw_kiv(env, kReleased);
    return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(static_cast<intptr_t>(address)));
}

}  // namespace kiv

KIV_API PyObject* JPyObject_As_PyObject(JNIEnv* env, jobject obj) {
  // An object of another interpreter must not be touched here: with its own interpreter
  // lock another thread may be using it, and that interpreter may end while this one
  // holds it.  Shared bindings of one interpreter share its objects.
  jfieldID interp = pyobject_field(env, pyobject_interpreter, "interpreterId", "J");
  jfieldID address = interp ? pyobject_field(env, pyobject_address, "address", "J") : nullptr;
  if (!address) {
    if (!process_java_exception(env)) PyErr_SetString(PyExc_RuntimeError, "kiv.python.PyObject is not available");
    return nullptr;
  }
  if (env->GetLongField(obj, interp) != static_cast<jlong>(PyInterpreterState_GetID(PyInterpreterState_Get()))) {
    PyErr_SetString(PyExc_TypeError,
                    "This kiv.python.PyObject belongs to another Python interpreter and cannot be used in this one.");
    return nullptr;
  }
  int released = holder_released(env, obj, kiv::Holder::PyObject);
  if (released != 0) {
    if (!process_java_exception(env)) PyErr_SetString(PyExc_RuntimeError, kReleased);
    return nullptr;
  }
  return Py_NewRef(reinterpret_cast<PyObject*>(static_cast<intptr_t>(env->GetLongField(obj, address))));
}

KIV_API PyObject* jobject_As_PyString(JNIEnv* env, jobject obj) {
  LocalRef<jstring> s(env, static_cast<jstring>(java_lang_Object_toString(env, obj)));
  if (process_java_exception(env)) return nullptr;
  if (!s) Py_RETURN_NONE;
  return jstring_As_PyString(env, s.get());
}
