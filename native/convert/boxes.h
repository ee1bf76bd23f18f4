// convert/boxes.h: the JDK's boxed classes (Boolean, Byte, Character, Short, Integer,
// Long, Float, Double) read and made through their `value` fields.
//
// These classes are final and keep their value in that one field, so a field read is
// the whole of unboxing and an allocation plus a field write the whole of boxing: no
// Java method runs, nothing can block or reach Python, and the interpreter lock is kept.
// A JNI field access costs a small fraction of a Java call made through JNI.  Should a
// JDK lack the field, the value methods and constructors serve instead.
#pragma once

#include <Python.h>
#include <jni.h>

#include <atomic>

#include "access/access.h"
#include "convert/jprimitive.h"
#include "exceptions/exceptions.h"

namespace kiv {

// The `value` field of P's boxed class, looked up once per process; nullptr when it
// cannot be found.  Racing first calls store the same identifier.
template <class P>
jfieldID box_value_field(JNIEnv* env) noexcept {
  static std::atomic<jfieldID> id{nullptr};
  static std::atomic<bool> missing{false};
  jfieldID known = id.load(std::memory_order_relaxed);
  if (known || missing.load(std::memory_order_relaxed)) return known;
  static constexpr char kSignature[] = {P::code == JTYPE_BYTE ? 'B' : P::code == JTYPE_SHORT ? 'S'
                                        : P::code == JTYPE_INT  ? 'I' : P::code == JTYPE_LONG  ? 'J'
                                        : P::code == JTYPE_FLOAT ? 'F' : P::code == JTYPE_DOUBLE ? 'D'
                                        : P::code == JTYPE_CHAR ? 'C' : 'Z', '\0'};
  known = P::boxed_class() ? env->GetFieldID(P::boxed_class(), "value", kSignature) : nullptr;
  if (!known) {
    env->ExceptionClear();
    missing.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  id.store(known, std::memory_order_relaxed);
  return known;
}

// The value of a boxed P (obj's class is exactly P's boxed class) into *out; false with
// a Python error set.
template <class P>
bool unbox(JNIEnv* env, jobject obj, typename P::type* out) noexcept {
  if (jfieldID id = box_value_field<P>(env)) {
    *out = P::get_field(env, obj, id);  // cannot throw
    return true;
  }
  namespace keep = keep_lock;
  if constexpr (P::code == JTYPE_BOOLEAN) *out = keep::java_lang_Boolean_booleanValue(env, obj);
  else if constexpr (P::code == JTYPE_CHAR) *out = keep::java_lang_Character_charValue(env, obj);
  else if constexpr (P::code == JTYPE_BYTE) *out = keep::java_lang_Number_byteValue(env, obj);
  else if constexpr (P::code == JTYPE_SHORT) *out = keep::java_lang_Number_shortValue(env, obj);
  else if constexpr (P::code == JTYPE_INT) *out = keep::java_lang_Number_intValue(env, obj);
  else if constexpr (P::code == JTYPE_LONG) *out = keep::java_lang_Number_longValue(env, obj);
  else if constexpr (P::code == JTYPE_FLOAT) *out = keep::java_lang_Number_floatValue(env, obj);
  else *out = keep::java_lang_Number_doubleValue(env, obj);
  return !process_java_exception(env);
}

// A new P box holding v, as `new Long(v)` would make it: a new local reference, or
// nullptr with the Java exception (OutOfMemoryError) pending, which the caller handles.
template <class P>
jobject box(JNIEnv* env, typename P::type v) noexcept {
  if (jfieldID id = box_value_field<P>(env)) {
    // Allocated without a constructor: the field write below is all the constructor
    // does, and the object is not seen by anyone before it.
    jobject made = env->AllocObject(P::boxed_class());
    if (made) P::set_field(env, made, id, v);
    return made;
  }
  if constexpr (P::code == JTYPE_BOOLEAN) return java_lang_Boolean_new_Z(env, v);
  else if constexpr (P::code == JTYPE_CHAR) return java_lang_Character_new_C(env, v);
  else if constexpr (P::code == JTYPE_BYTE) return java_lang_Byte_new_B(env, v);
  else if constexpr (P::code == JTYPE_SHORT) return java_lang_Short_new_S(env, v);
  else if constexpr (P::code == JTYPE_INT) return java_lang_Integer_new_I(env, v);
  else if constexpr (P::code == JTYPE_LONG) return java_lang_Long_new_J(env, v);
  else if constexpr (P::code == JTYPE_FLOAT) return java_lang_Float_new_F(env, v);
  else return java_lang_Double_new_D(env, v);
}

}  // namespace kiv
