// exceptions/throw.cpp: throwing Java exceptions from native code.
#include <Python.h>
#include <jni.h>

#include "access/access.h"
#include "common/jref.h"
#include "exceptions/exceptions.h"
#include "exceptions/throw.h"

namespace {

// Thrown by throw_out_of_memory; a global reference from start-up to shutdown.
jthrowable preallocatedOutOfMemory = nullptr;

}  // namespace

KIV_API void pyembed_throw_illegal_state(JNIEnv* env, const char* msg, int print) {
  if (print && PyErr_Occurred()) kiv::print_python_error();
  kiv::throw_java_unless_pending(env, "java/lang/IllegalStateException", msg);
}

namespace kiv {

void throw_new(JNIEnv* env, jclass cls, const char* message) noexcept {
  if (env->ExceptionCheck() || !cls) return;
  env->ThrowNew(cls, message);
}

void throw_kiv(JNIEnv* env, const char* message) noexcept { throw_new(env, KIV_EXC_TYPE, message); }

void throw_java_unless_pending(JNIEnv* env, const char* class_name, const char* message) noexcept {
  if (env->ExceptionCheck()) return;
  LocalRef<jclass> cls(env, env->FindClass(class_name));
  if (!cls) return;  // FindClass left its own exception pending
  env->ThrowNew(cls.get(), message);
}

void throw_out_of_memory(JNIEnv* env) noexcept {
  if (env->ExceptionCheck()) return;
  if (preallocatedOutOfMemory) {
    env->Throw(preallocatedOutOfMemory);
  } else {
    throw_java_unless_pending(env, "java/lang/OutOfMemoryError", "Kiv ran out of memory");
  }
}

bool make_out_of_memory_error(JNIEnv* env) noexcept {
  if (preallocatedOutOfMemory) return true;
  LocalRef<jstring> message(env, env->NewStringUTF("Kiv ran out of memory"));
  jmethodID init = message ? env->GetMethodID(OUTOFMEMORY_EXC_TYPE, "<init>", "(Ljava/lang/String;)V") : nullptr;
  LocalRef<jobject> error(env, init ? env->NewObject(OUTOFMEMORY_EXC_TYPE, init, message.get()) : nullptr);
  GlobalRef<jthrowable> kept = GlobalRef<jthrowable>::make(env, error.get());
  if (!kept) {
    if (!env->ExceptionCheck()) throw_java_unless_pending(env, "java/lang/OutOfMemoryError", "Kiv ran out of memory");
    return false;
  }
  preallocatedOutOfMemory = kept.release();
  return true;
}

void release_out_of_memory_error(JNIEnv* env) noexcept {
  if (!preallocatedOutOfMemory) return;
  env->DeleteGlobalRef(preallocatedOutOfMemory);
  preallocatedOutOfMemory = nullptr;
}

}  // namespace kiv
