// common/jref.h: owning JNI references, local frames and borrowed Java strings.
#pragma once

#include <jni.h>

#include <string>
#include <utility>

namespace kiv {

// The VM that loaded the library: set by JNI_OnLoad, read everywhere else.
void set_java_vm(JavaVM* vm) noexcept;
JavaVM* java_vm() noexcept;
// The calling thread's environment, or nullptr when the thread is not attached.
JNIEnv* current_env() noexcept;
// The calling thread's environment as the VM sees it now, never the one remembered for
// the thread: for code that may run after the JVM has let the thread go (destructors of
// thread-local data run after a Java thread's end), where that one is stale.
JNIEnv* env_if_attached() noexcept;
// The calling thread's environment, attaching it as a daemon thread if the JVM does
// not know it yet; nullptr if that fails.
JNIEnv* attached_env() noexcept;

// Owns one JNI local reference of the thread whose environment it was given.
template <class T = jobject>
class LocalRef {
 public:
  LocalRef() noexcept = default;
  LocalRef(JNIEnv* env, T obj) noexcept : env_(env), obj_(obj) {}
  LocalRef(LocalRef&& o) noexcept : env_(o.env_), obj_(std::exchange(o.obj_, nullptr)) {}
  LocalRef& operator=(LocalRef&& o) noexcept {
    if (this != &o) {
      reset();
      env_ = o.env_;
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  ~LocalRef() { reset(); }

  T get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] T release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept {
    if (obj_) env_->DeleteLocalRef(std::exchange(obj_, nullptr));
  }

 private:
  JNIEnv* env_ = nullptr;
  T obj_ = nullptr;
};

// Owns one JNI global reference.  Pointer-sized, so it can live in records that C
// code allocates.  Deletion uses the calling thread's environment and is skipped on
// a thread the JVM does not know (the reference then leaks rather than crash).
template <class T = jobject>
class GlobalRef {
 public:
  GlobalRef() noexcept = default;
  // New global reference to obj (which may be null); check get() for failure.
  static GlobalRef make(JNIEnv* env, jobject obj) noexcept {
    GlobalRef g;
    if (obj) g.obj_ = static_cast<T>(env->NewGlobalRef(obj));
    return g;
  }
  GlobalRef(GlobalRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  GlobalRef& operator=(GlobalRef&& o) noexcept {
    if (this != &o) {
      reset();
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  GlobalRef(const GlobalRef&) = delete;
  GlobalRef& operator=(const GlobalRef&) = delete;
  ~GlobalRef() { reset(); }

  T get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] T release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(JNIEnv* env = nullptr) noexcept {
    if (!obj_) return;
    if (!env) env = current_env();
    if (env) env->DeleteGlobalRef(obj_);
    obj_ = nullptr;
  }

 private:
  T obj_ = nullptr;
};

// Deletes a global reference if this thread can reach the JVM.  For deallocators of
// records that C code allocates: they may run on threads the JVM does not know, where
// the reference has to leak.
inline void delete_global_ref(jobject ref) noexcept {
  if (!ref) return;
  if (JNIEnv* env = current_env()) env->DeleteGlobalRef(ref);
}

// Pushes a JNI local frame; every local reference made inside is freed when the
// frame is popped, on every path out.  keep() pops early and carries one reference
// out into the enclosing frame.
class LocalFrame {
 public:
  LocalFrame(JNIEnv* env, jint capacity) noexcept
      : env_(env), pushed_(env->PushLocalFrame(capacity) == 0), failed_(!pushed_) {}
  // Pushes only when `needed` (work that makes no local reference skips the JNI round
  // trip); when nothing was pushed, ok() is true and the destructor pops nothing.
  LocalFrame(JNIEnv* env, jint capacity, bool needed) noexcept
      : env_(env), pushed_(needed && env->PushLocalFrame(capacity) == 0), failed_(needed && !pushed_) {}
  LocalFrame(const LocalFrame&) = delete;
  LocalFrame& operator=(const LocalFrame&) = delete;
  ~LocalFrame() {
    if (pushed_) env_->PopLocalFrame(nullptr);
  }
  // False: the frame could not be pushed and an OutOfMemoryError is pending.
  bool ok() const noexcept { return !failed_; }
  template <class T>
  T keep(T result) noexcept {
    if (!pushed_) return result;
    pushed_ = false;
    return static_cast<T>(env_->PopLocalFrame(result));
  }

 private:
  JNIEnv* env_;
  bool pushed_;
  bool failed_;  // a push was wanted and did not happen
};

// Borrows the modified UTF-8 bytes of a Java string (GetStringUTFChars).  Modified
// UTF-8 is not UTF-8: use this for class names and other JNI identifiers only.
class JavaString {
 public:
  JavaString(JNIEnv* env, jstring s) noexcept
      : env_(env), s_(s), utf_(s ? env->GetStringUTFChars(s, nullptr) : nullptr) {}
  JavaString(const JavaString&) = delete;
  JavaString& operator=(const JavaString&) = delete;
  ~JavaString() {
    if (utf_) env_->ReleaseStringUTFChars(s_, utf_);
  }
  // nullptr for a null string, or (string non-null) when the JVM ran out of memory
  // and left an OutOfMemoryError pending.
  const char* c_str() const noexcept { return utf_; }
  bool failed() const noexcept { return s_ && !utf_; }

 private:
  JNIEnv* env_;
  jstring s_;
  const char* utf_;
};

// The text of a Java string as real UTF-8: surrogate pairs become four-byte
// sequences, U+0000 stays a zero byte (so size() may exceed strlen()), and a lone
// surrogate becomes its three-byte form, which Python's strict decoder refuses.
class JavaUtf8 {
 public:
  JavaUtf8(JNIEnv* env, jstring s) noexcept;
  JavaUtf8(const JavaUtf8&) = delete;
  JavaUtf8& operator=(const JavaUtf8&) = delete;

  bool is_null() const noexcept { return null_; }
  // False when the conversion ran out of memory (a Java OutOfMemoryError is pending).
  bool ok() const noexcept { return ok_; }
  const char* c_str() const noexcept { return null_ ? nullptr : text_.c_str(); }
  size_t size() const noexcept { return text_.size(); }
  bool has_nul() const noexcept;

 private:
  std::string text_;
  bool null_ = true;
  bool ok_ = true;
};

}  // namespace kiv
