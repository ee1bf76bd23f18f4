// access/wrappers.cpp: the Java method wrappers, expanded from methods.def, and the
// Java string helpers.
#include <Python.h>  // before any standard header

#include "access/access.h"

#include <atomic>
#include <cstddef>
#include <type_traits>

#include "common/gil.h"
#include "exceptions/throw.h"

namespace {

enum class Gil { Release, Keep };
enum class Kind { Instance, Static, Constructor };

// One row per wrapper; the row indexes that wrapper's identifier cache.
enum class Method : std::size_t {
#define KIV_INSTANCE(name, ...) name,
#define KIV_STATIC(name, ...) name,
#define KIV_NEW(name, ...) name,
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW
  kCount
};
static_assert(static_cast<std::size_t>(Method::kCount) == 104);

// Written without a lock: racing first calls store the same identifier.  Static
// storage, so zero (null) before any constructor runs.
std::atomic<jmethodID> method_ids[static_cast<std::size_t>(Method::kCount)];

std::atomic<jmethodID>& cache_of(Method m) noexcept {
  return method_ids[static_cast<std::size_t>(m)];
}

// Arguments travel as jvalue arrays (the Call...MethodA forms): no varargs promotion
// of jfloat, jboolean, jchar, jshort or jbyte to get wrong.
template <class T>
jvalue to_jvalue(T v) noexcept {
  jvalue j;
  if constexpr (std::is_same_v<T, jboolean>) j.z = v;
  else if constexpr (std::is_same_v<T, jbyte>) j.b = v;
  else if constexpr (std::is_same_v<T, jchar>) j.c = v;
  else if constexpr (std::is_same_v<T, jshort>) j.s = v;
  else if constexpr (std::is_same_v<T, jint>) j.i = v;
  else if constexpr (std::is_same_v<T, jlong>) j.j = v;
  else if constexpr (std::is_same_v<T, jfloat>) j.f = v;
  else if constexpr (std::is_same_v<T, jdouble>) j.d = v;
  else {
    static_assert(std::is_convertible_v<T, jobject>, "not a JNI argument type");
    j.l = v;
  }
  return j;
}

// The JNI call functions for a result type; any reference type goes through the
// Object forms.
template <class R, class = void>
struct Call {
  static_assert(std::is_convertible_v<R, jobject>, "not a JNI result type");
  static R instance(JNIEnv* env, jobject target, jmethodID id, const jvalue* args) noexcept {
    return static_cast<R>(env->CallObjectMethodA(target, id, args));
  }
  static R on_class(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) noexcept {
    return static_cast<R>(env->CallStaticObjectMethodA(cls, id, args));
  }
};

#define KIV_PRIMITIVE_CALL(T, Name)                                                           \
  template <>                                                                                 \
  struct Call<T> {                                                                            \
    static T instance(JNIEnv* env, jobject target, jmethodID id, const jvalue* args) noexcept { \
      return env->Call##Name##MethodA(target, id, args);                                      \
    }                                                                                         \
    static T on_class(JNIEnv* env, jclass cls, jmethodID id, const jvalue* args) noexcept {    \
      return env->CallStatic##Name##MethodA(cls, id, args);                                   \
    }                                                                                         \
  };
KIV_PRIMITIVE_CALL(void, Void)
KIV_PRIMITIVE_CALL(jboolean, Boolean)
KIV_PRIMITIVE_CALL(jbyte, Byte)
KIV_PRIMITIVE_CALL(jchar, Char)
KIV_PRIMITIVE_CALL(jshort, Short)
KIV_PRIMITIVE_CALL(jint, Int)
KIV_PRIMITIVE_CALL(jlong, Long)
KIV_PRIMITIVE_CALL(jfloat, Float)
KIV_PRIMITIVE_CALL(jdouble, Double)
#undef KIV_PRIMITIVE_CALL

// null, 0, false or nothing.
template <class R>
R failure() noexcept {
  if constexpr (!std::is_void_v<R>) return R{};
}

struct KeepLock {};
template <Gil G>
using LockScope = std::conditional_t<G == Gil::Release, kiv::AllowThreads, KeepLock>;

KIV_NOINLINE void not_initialised(JNIEnv* env) noexcept {
  kiv::throw_java_unless_pending(env, "java/lang/IllegalStateException", "Kiv is not initialised");
}

// The whole of every wrapper.  `cls` is the wrapper's class global, null outside
// start-up..shutdown; `target` is unused by static methods and constructors.
template <class R, Kind K, Gil G, class... A>
R invoke(Method m, jclass cls, const char* name, const char* sig, JNIEnv* env, jobject target,
         A... args) noexcept {
  // Checked while the lock is still held: before start-up there may be no thread
  // state to save.
  if (KIV_UNLIKELY(!cls)) {
    not_initialised(env);
    return failure<R>();
  }
  // Released before the cache is read; taken back on every return below.
  [[maybe_unused]] LockScope<G> lock;
  std::atomic<jmethodID>& cache = cache_of(m);
  jmethodID id = cache.load(std::memory_order_relaxed);
  if (KIV_UNLIKELY(!id)) {
    id = K == Kind::Static ? env->GetStaticMethodID(cls, name, sig) : env->GetMethodID(cls, name, sig);
    if (!id) return failure<R>();  // NoSuchMethodError pending; looked up again next time
    cache.store(id, std::memory_order_relaxed);
  }
  const jvalue argv[sizeof...(A) + 1] = {to_jvalue(args)...};  // +1: never zero-length
  if constexpr (K == Kind::Constructor) return static_cast<R>(env->NewObjectA(cls, id, argv));
  else if constexpr (K == Kind::Static) return Call<R>::on_class(env, cls, id, argv);
  else return Call<R>::instance(env, target, id, argv);
}

template <class R, Gil G, class... A>
R invoke_instance(Method m, jclass cls, const char* name, const char* sig, JNIEnv* env,
                  jobject target, A... args) noexcept {
  return invoke<R, Kind::Instance, G>(m, cls, name, sig, env, target, args...);
}

template <class R, Gil G, class... A>
R invoke_static(Method m, jclass cls, const char* name, const char* sig, JNIEnv* env,
                A... args) noexcept {
  return invoke<R, Kind::Static, G>(m, cls, name, sig, env, nullptr, args...);
}

template <Gil G, class... A>
jobject invoke_new(Method m, jclass cls, const char* sig, JNIEnv* env, A... args) noexcept {
  return invoke<jobject, Kind::Constructor, G>(m, cls, "<init>", sig, env, nullptr, args...);
}

constexpr bool on_kiv_class(const char* wrapper) noexcept {
  return wrapper[0] == 'k' && wrapper[1] == 'i' && wrapper[2] == 'v' && wrapper[3] == '_';
}

}  // namespace

#define KIV_UNPAREN(...) __VA_ARGS__

#define KIV_INSTANCE(name, R, gil, cls, method, sig, params, args)                       \
  KIV_API R name params noexcept {                                                       \
    return invoke_instance<R, Gil::gil>(Method::name, cls, method, sig, KIV_UNPAREN args); \
  }
#define KIV_STATIC(name, R, gil, cls, method, sig, params, args)                       \
  KIV_API R name params noexcept {                                                     \
    return invoke_static<R, Gil::gil>(Method::name, cls, method, sig, KIV_UNPAREN args); \
  }
#define KIV_NEW(name, gil, cls, sig, params, args)                               \
  KIV_API jobject name params noexcept {                                         \
    return invoke_new<Gil::gil>(Method::name, cls, sig, KIV_UNPAREN args);       \
  }
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW

#define KIV_INSTANCE(name, R, gil, cls, method, sig, params, args)                       \
  R kiv::keep_lock::name params noexcept {                                               \
    return invoke_instance<R, Gil::Keep>(Method::name, cls, method, sig, KIV_UNPAREN args); \
  }
#define KIV_STATIC(name, R, gil, cls, method, sig, params, args)                       \
  R kiv::keep_lock::name params noexcept {                                             \
    return invoke_static<R, Gil::Keep>(Method::name, cls, method, sig, KIV_UNPAREN args); \
  }
#define KIV_NEW(name, gil, cls, sig, params, args)                            \
  jobject kiv::keep_lock::name params noexcept {                              \
    return invoke_new<Gil::Keep>(Method::name, cls, sig, KIV_UNPAREN args);   \
  }
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW

void kiv::forget_kiv_method_ids() noexcept {
#define KIV_FORGET(name, ...) \
  if (on_kiv_class(#name)) cache_of(Method::name).store(nullptr, std::memory_order_relaxed);
#define KIV_INSTANCE KIV_FORGET
#define KIV_STATIC KIV_FORGET
#define KIV_NEW KIV_FORGET
#include "access/methods.def"
#undef KIV_INSTANCE
#undef KIV_STATIC
#undef KIV_NEW
#undef KIV_FORGET
}

jboolean kiv::list_add_keeping_lock(JNIEnv* env, jobject list, jobject item) noexcept {
  return invoke_instance<jboolean, Gil::Keep>(Method::java_util_List_add, JLIST_TYPE, "add", "(Ljava/lang/Object;)Z",
                                              env, list, item);
}

jobject kiv::map_put_keeping_lock(JNIEnv* env, jobject map, jobject key, jobject value) noexcept {
  return invoke_instance<jobject, Gil::Keep>(Method::java_util_Map_put, JMAP_TYPE, "put",
                                             "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/Object;", env, map,
                                             key, value);
}

KIV_API const char* jstring2char(JNIEnv* env, jstring str) noexcept {
  return str ? env->GetStringUTFChars(str, nullptr) : nullptr;
}

KIV_API void release_utf_char(JNIEnv* env, jstring str, const char* chars) noexcept {
  if (!str || !chars) return;
  env->ReleaseStringUTFChars(str, chars);
  env->DeleteLocalRef(str);
}
