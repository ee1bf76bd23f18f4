// embed/jvm.cpp: the JavaVM, per-thread environments and Java string text.
#include <cstring>

#include "common/jref.h"
#include "convert/text.h"
#include "embed/state.h"
#include "exceptions/throw.h"

namespace kiv {
namespace {
JavaVM* g_vm = nullptr;
}  // namespace

void set_java_vm(JavaVM* vm) noexcept { g_vm = vm; }

JavaVM* java_vm() noexcept { return g_vm; }

// The environment of this thread once known: every call from Python into Java needs it,
// and asking the VM each time costs more than the rest of a short call.  A thread keeps
// its environment while attached; Kiv never detaches one.
__attribute__((tls_model("initial-exec"))) thread_local JNIEnv* t_env = nullptr;

JNIEnv* env_if_attached() noexcept {
  if (!g_vm) return nullptr;
  void* env = nullptr;
  if (g_vm->GetEnv(&env, JNI_VERSION_1_6) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

JNIEnv* current_env() noexcept {
  if (KIV_LIKELY(t_env != nullptr)) return t_env;
  return env_if_attached();
}

JNIEnv* attached_env() noexcept {
  if (KIV_LIKELY(t_env != nullptr)) return t_env;
  if (!g_vm) return nullptr;
  void* env = nullptr;
  jint rc = g_vm->GetEnv(&env, JNI_VERSION_1_6);
  if (rc == JNI_EDETACHED) {
    // A thread Python started: the JVM adopts it as a daemon, so it never keeps the
    // JVM from exiting.
    if (g_vm->AttachCurrentThreadAsDaemon(&env, nullptr) != JNI_OK) return nullptr;
  } else if (rc != JNI_OK) {
    return nullptr;
  }
  t_env = static_cast<JNIEnv*>(env);
  return t_env;
}

JNIEnv* env_or_error() noexcept {
  JNIEnv* env = attached_env();
  if (!env) PyErr_SetString(PyExc_RuntimeError, "This thread cannot reach the Java virtual machine");
  return env;
}

JavaUtf8::JavaUtf8(JNIEnv* env, jstring s) noexcept {
  if (!s) return;
  null_ = false;
  jsize n = env->GetStringLength(s);
  const jchar* units = env->GetStringCritical(s, nullptr);
  if (!units) {
    ok_ = false;  // OutOfMemoryError pending
    return;
  }
  ok_ = utf16_to_utf8(units, static_cast<size_t>(n), text_);
  env->ReleaseStringCritical(s, units);
  if (!ok_) throw_out_of_memory(env);
}

bool JavaUtf8::has_nul() const noexcept { return !null_ && std::strlen(text_.c_str()) != text_.size(); }

}  // namespace kiv

KIV_API JNIEnv* pyembed_get_env(void) { return kiv::attached_env(); }
