// convert/jprimitive.h: the Java primitive types as one table of compile-time rows.
//
// JPrimitive<code> is the row of one primitive type code (JTYPE_BOOLEAN ... JTYPE_DOUBLE):
// its JNI type, the JNI functions that call methods returning it, read and write fields
// and arrays of it, its class globals and its conversions to and from Python.
// JPrimitive<JTYPE_VOID> has the calls only, and JReference the same calls and field
// functions for references.  with_primitive() turns a type code known at run time into
// its row, so code written once as a generic lambda serves every primitive type.
//
// Everything here is a thin inline shell over one JNI or conversion call: no virtual
// dispatch and no look-up, so a switch over with_primitive costs what the hand-written
// switch it replaces cost.  The class functions read the class globals at call time
// (null outside start-up..shutdown).
#pragma once

#include <Python.h>
#include <jni.h>

#include "access/access.h"
#include "convert/convert.h"
#include "convert/jtype.h"

namespace kiv {

template <int Code>
struct JPrimitive;

// Members of every primitive row, with T the JNI type and A its JNI array type:
//   type, array                     T and A
//   code, name                      the JTYPE_* code and the Java name ("int")
//   boxed_class(), primitive_class(), array_class()
//                                   java.lang.Integer, int.class and int[].class
//   of(jvalue&)                     the jvalue member holding a T
//   call, call_static, call_nonvirtual
//                                   Call<T>MethodA, CallStatic<T>MethodA, CallNonvirtual<T>MethodA
//   get_field, set_field, get_static_field, set_static_field
//                                   Get/Set<T>Field and their static forms
//   new_array, get_region, set_region, get_elements, release_elements
//                                   New<T>Array, Get/Set<T>ArrayRegion, Get/Release<T>ArrayElements
//   to_python(T)                    new reference, or nullptr with a Python error set
//   from_python(PyObject*)          the value, or `failure` with a Python error set
//                                   (failure is also a legal value: test PyErr_Occurred)
#define KIV_JPRIMITIVE(CODE, T, Name, java_name, member, BOXED, CLASS, ARRAY, to_py, from_py, failure_value)          \
  template <>                                                                                                      \
  struct JPrimitive<CODE> {                                                                                        \
    using type = T;                                                                                                \
    using array = T##Array;                                                                                        \
    static constexpr int code = CODE;                                                                              \
    static constexpr const char* name = java_name;                                                                 \
    static constexpr T failure = failure_value;                                                                    \
    static jclass boxed_class() noexcept { return BOXED; }                                                         \
    static jclass primitive_class() noexcept { return CLASS; }                                                     \
    static jclass array_class() noexcept { return ARRAY; }                                                         \
    static T& of(jvalue& v) noexcept { return v.member; }                                                          \
    static T call(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) noexcept {                          \
      return env->Call##Name##MethodA(obj, id, args);                                                              \
    }                                                                                                              \
    static T call_static(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) noexcept {                    \
      return env->CallStatic##Name##MethodA(cls, id, args);                                                        \
    }                                                                                                              \
    static T call_nonvirtual(JNIEnv* env, jobject obj, jclass cls, jmethodID id, const jvalue* args) noexcept {   \
      return env->CallNonvirtual##Name##MethodA(obj, cls, id, args);                                               \
    }                                                                                                              \
    static T get_field(JNIEnv* env, jobject obj, jfieldID id) noexcept { return env->Get##Name##Field(obj, id); } \
    static void set_field(JNIEnv* env, jobject obj, jfieldID id, T v) noexcept { env->Set##Name##Field(obj, id, v); } \
    static T get_static_field(JNIEnv* env, jclass cls, jfieldID id) noexcept {                                    \
      return env->GetStatic##Name##Field(cls, id);                                                                 \
    }                                                                                                              \
    static void set_static_field(JNIEnv* env, jclass cls, jfieldID id, T v) noexcept {                            \
      env->SetStatic##Name##Field(cls, id, v);                                                                     \
    }                                                                                                              \
    static array new_array(JNIEnv* env, jsize n) noexcept { return env->New##Name##Array(n); }                    \
    static void get_region(JNIEnv* env, array a, jsize start, jsize n, T* out) noexcept {                         \
      env->Get##Name##ArrayRegion(a, start, n, out);                                                               \
    }                                                                                                              \
    static void set_region(JNIEnv* env, array a, jsize start, jsize n, const T* in) noexcept {                    \
      env->Set##Name##ArrayRegion(a, start, n, in);                                                                \
    }                                                                                                              \
    static T* get_elements(JNIEnv* env, array a, jboolean* is_copy) noexcept {                                    \
      return env->Get##Name##ArrayElements(a, is_copy);                                                            \
    }                                                                                                              \
    static void release_elements(JNIEnv* env, array a, T* elements, jint mode) noexcept {                         \
      env->Release##Name##ArrayElements(a, elements, mode);                                                        \
    }                                                                                                              \
    static PyObject* to_python(T v) noexcept { return to_py(v); }                                                  \
    static T from_python(PyObject* v) noexcept { return from_py(v); }                                              \
  };

// A failed truth test answers true (see PyObject_As_jboolean).
KIV_JPRIMITIVE(JTYPE_BOOLEAN, jboolean, Boolean, "boolean", z, JBOOL_OBJ_TYPE, JBOOLEAN_TYPE, JBOOLEAN_ARRAY_TYPE,
               PyBool_FromLong, PyObject_As_jboolean, 1)
KIV_JPRIMITIVE(JTYPE_BYTE, jbyte, Byte, "byte", b, JBYTE_OBJ_TYPE, JBYTE_TYPE, JBYTE_ARRAY_TYPE, PyLong_FromLong,
               PyObject_As_jbyte, -1)
KIV_JPRIMITIVE(JTYPE_CHAR, jchar, Char, "char", c, JCHAR_OBJ_TYPE, JCHAR_TYPE, JCHAR_ARRAY_TYPE, jchar_As_PyObject,
               PyObject_As_jchar, 0)
KIV_JPRIMITIVE(JTYPE_SHORT, jshort, Short, "short", s, JSHORT_OBJ_TYPE, JSHORT_TYPE, JSHORT_ARRAY_TYPE, PyLong_FromLong,
               PyObject_As_jshort, -1)
KIV_JPRIMITIVE(JTYPE_INT, jint, Int, "int", i, JINT_OBJ_TYPE, JINT_TYPE, JINT_ARRAY_TYPE, PyLong_FromLong,
               PyObject_As_jint, -1)
KIV_JPRIMITIVE(JTYPE_LONG, jlong, Long, "long", j, JLONG_OBJ_TYPE, JLONG_TYPE, JLONG_ARRAY_TYPE, PyLong_FromLongLong,
               PyObject_As_jlong, -1)
KIV_JPRIMITIVE(JTYPE_FLOAT, jfloat, Float, "float", f, JFLOAT_OBJ_TYPE, JFLOAT_TYPE, JFLOAT_ARRAY_TYPE,
               PyFloat_FromDouble, PyObject_As_jfloat, -1.0f)
KIV_JPRIMITIVE(JTYPE_DOUBLE, jdouble, Double, "double", d, JDOUBLE_OBJ_TYPE, JDOUBLE_TYPE, JDOUBLE_ARRAY_TYPE,
               PyFloat_FromDouble, PyObject_As_jdouble, -1.0)
#undef KIV_JPRIMITIVE

// void: method calls only.
template <>
struct JPrimitive<JTYPE_VOID> {
  using type = void;
  static constexpr int code = JTYPE_VOID;
  static constexpr const char* name = "void";
  static jclass primitive_class() noexcept { return JVOID_TYPE; }
  static void call(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) noexcept {
    env->CallVoidMethodA(obj, id, args);
  }
  static void call_static(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) noexcept {
    env->CallStaticVoidMethodA(cls, id, args);
  }
  static void call_nonvirtual(JNIEnv* env, jobject obj, jclass cls, jmethodID id, const jvalue* args) noexcept {
    env->CallNonvirtualVoidMethodA(obj, cls, id, args);
  }
};

// Any reference type (JTYPE_OBJECT, JTYPE_STRING, JTYPE_ARRAY, JTYPE_CLASS): the Object
// forms of the calls and field functions, under the names of the primitive rows.  Every
// reference returned is a new local reference.
struct JReference {
  using type = jobject;
  static jobject call(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) noexcept {
    return env->CallObjectMethodA(obj, id, args);
  }
  static jobject call_static(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) noexcept {
    return env->CallStaticObjectMethodA(cls, id, args);
  }
  static jobject call_nonvirtual(JNIEnv* env, jobject obj, jclass cls, jmethodID id, const jvalue* args) noexcept {
    return env->CallNonvirtualObjectMethodA(obj, cls, id, args);
  }
  static jobject get_field(JNIEnv* env, jobject obj, jfieldID id) noexcept { return env->GetObjectField(obj, id); }
  static void set_field(JNIEnv* env, jobject obj, jfieldID id, jobject v) noexcept { env->SetObjectField(obj, id, v); }
  static jobject get_static_field(JNIEnv* env, jclass cls, jfieldID id) noexcept {
    return env->GetStaticObjectField(cls, id);
  }
  static void set_static_field(JNIEnv* env, jclass cls, jfieldID id, jobject v) noexcept {
    env->SetStaticObjectField(cls, id, v);
  }
};

// Calls f(JPrimitive<code>{}) when code is one of the eight primitive type codes, and
// otherwise() for every other code (references, void, -1).  f is usually a generic
// lambda; every branch must return the same type.  The one switch below is the only
// run-time dispatch: each case is f instantiated for its type and inlined.
template <class F, class Otherwise>
decltype(auto) with_primitive(int code, F&& f, Otherwise&& otherwise) {
  switch (code) {
    case JTYPE_BOOLEAN: return f(JPrimitive<JTYPE_BOOLEAN>{});
    case JTYPE_BYTE: return f(JPrimitive<JTYPE_BYTE>{});
    case JTYPE_CHAR: return f(JPrimitive<JTYPE_CHAR>{});
    case JTYPE_SHORT: return f(JPrimitive<JTYPE_SHORT>{});
    case JTYPE_INT: return f(JPrimitive<JTYPE_INT>{});
    case JTYPE_LONG: return f(JPrimitive<JTYPE_LONG>{});
    case JTYPE_FLOAT: return f(JPrimitive<JTYPE_FLOAT>{});
    case JTYPE_DOUBLE: return f(JPrimitive<JTYPE_DOUBLE>{});
    default: return otherwise();
  }
}

// The primitive type code of a primitive class other than void, or -1 for any other
// class.  The classes are compared in the order int, double, float, long, boolean,
// char, byte, short.  Never fails: IsSameObject raises nothing.
inline int primitive_code_of(JNIEnv* env, jclass cls) noexcept {
  static constexpr int kOrder[] = {JTYPE_INT,     JTYPE_DOUBLE, JTYPE_FLOAT, JTYPE_LONG,
                                   JTYPE_BOOLEAN, JTYPE_CHAR,   JTYPE_BYTE,  JTYPE_SHORT};
  for (int code : kOrder) {
    jclass c = with_primitive(
        code, [](auto p) { return decltype(p)::primitive_class(); }, []() -> jclass { return nullptr; });
    if (same(env, cls, c)) return code;
  }
  return -1;
}

}  // namespace kiv
