// embed/proxy.cpp: the handler of the Java proxies that Python objects implement
// interfaces through (kiv.Proxy, kiv.python.InvocationHandler).  A call of an
// interface method runs, in the proxy's interpreter and on the calling thread, the
// Python attribute named after the method, or for a proxy made around one callable
// for a functional interface the callable itself, or else the method's own Java body
// (a default method, or one of java.lang.Object).
#include <Python.h>
#include <jni.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/checks.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/boxes.h"
#include "convert/convert.h"
#include "convert/jprimitive.h"
#include "embed/embed.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

namespace {

constexpr jint kFrameCapacity = 16;

// What a call needs to know of a java.lang.reflect.Method, found once per thread and
// method.  A proxy class passes the same Method objects on every call, so they are
// recognised by identity.  Weak references only: the return type and declaring class
// are reachable from the Method, which the caller holds while it is used.
struct MethodInfo {
  jweak method = nullptr;
  bool abstract = false;
  int returnCode = -1;    // a primitive JTYPE_* code, JTYPE_VOID, or -1 for a reference type
  jweak wanted = nullptr;  // the class the Python result is converted to
  std::string name;        // the method's name, UTF-8
  // For running the Java body, filled when first needed.
  bool bodyKnown = false;
  jmethodID id = nullptr;
  jweak declaring = nullptr;
  std::vector<int> paramCodes;  // per parameter: a primitive JTYPE_* code, or -1

  MethodInfo() = default;
  MethodInfo(const MethodInfo&) = delete;
  MethodInfo& operator=(const MethodInfo&) = delete;
  ~MethodInfo() {
    // At a Java thread's end this runs after the JVM has let the thread go: the weak
    // references then stay (a few per thread that called proxies).
    if (JNIEnv* env = kiv::env_if_attached()) {
      for (jweak w : {method, wanted, declaring}) {
        if (w) env->DeleteWeakGlobalRef(w);
      }
    }
  }
};

using MethodInfoPtr = std::shared_ptr<MethodInfo>;

// The methods this thread called through proxies lately, most recent first.  Held by
// shared pointer: a call keeps its entry even when a nested call pushes it out.
class MethodCache {
 public:
  static constexpr size_t kSize = 16;

  MethodInfoPtr find(JNIEnv* env, jobject method) noexcept {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (env->IsSameObject(entries_[i]->method, method)) {
        if (i) std::swap(entries_[i], entries_[0]);
        return entries_[0];
      }
    }
    return nullptr;
  }

  void add(MethodInfoPtr info) noexcept {
    try {
      if (entries_.size() == kSize) entries_.pop_back();
      entries_.insert(entries_.begin(), std::move(info));
    } catch (const std::bad_alloc&) {
      // Not cached: looked up again next time.
    }
  }

 private:
  std::vector<MethodInfoPtr> entries_;
};

MethodCache& method_cache() noexcept {
  static thread_local MethodCache cache;
  return cache;
}

bool java_failed(JNIEnv* env) noexcept { return env->ExceptionCheck() == JNI_TRUE; }

// The info of a method, from the cache or read now (without the interpreter lock: the
// reflection wrappers used keep it as they find it).  Null with a Java exception.
MethodInfoPtr method_info(JNIEnv* env, jobject method) noexcept {
  MethodCache& cache = method_cache();
  if (MethodInfoPtr hit = cache.find(env, method)) return hit;
  MethodInfoPtr info;
  try {
    info = std::make_shared<MethodInfo>();
  } catch (const std::bad_alloc&) {
    kiv::throw_out_of_memory(env);
    return nullptr;
  }
  jint modifiers = java_lang_reflect_Member_getModifiers(env, method);
  if (java_failed(env)) return nullptr;
  info->abstract = java_lang_reflect_Modifier_isAbstract(env, modifiers);
  if (java_failed(env)) return nullptr;
  LocalRef<jclass> returnType(env, java_lang_reflect_Method_getReturnType(env, method));
  if (java_failed(env)) return nullptr;
  LocalRef<jstring> name(env, static_cast<jstring>(java_lang_reflect_Member_getName(env, method)));
  if (java_failed(env)) return nullptr;
  kiv::JavaUtf8 utf8(env, name.get());
  if (!utf8.ok()) return nullptr;
  info->name.assign(utf8.c_str() ? utf8.c_str() : "", utf8.size());
  jclass wanted;
  if (kiv::same(env, returnType.get(), JVOID_TYPE)) {
    info->returnCode = JTYPE_VOID;
    wanted = JOBJECT_TYPE;  // whatever Python returns is dropped after conversion
  } else {
    info->returnCode = kiv::primitive_code_of(env, returnType.get());
    wanted = kiv::with_primitive(
        info->returnCode, [](auto p) { return decltype(p)::boxed_class(); }, [&] { return returnType.get(); });
  }
  info->method = env->NewWeakGlobalRef(method);
  info->wanted = env->NewWeakGlobalRef(wanted);
  if (!info->method || !info->wanted) {
    kiv::throw_out_of_memory(env);
    return nullptr;
  }
  cache.add(info);
  return info;
}

// Reads what running the method's Java body needs, once.  False with a Java exception.
bool learn_body(JNIEnv* env, jobject method, MethodInfo& info) noexcept {
  if (info.bodyKnown) return true;
  kiv::LocalFrame frame(env, kFrameCapacity);
  if (!frame.ok()) return false;
  jmethodID id = env->FromReflectedMethod(method);
  if (!id || java_failed(env)) return false;
  jclass declaring = java_lang_reflect_Member_getDeclaringClass(env, method);
  if (!declaring || java_failed(env)) return false;
  jobjectArray params = java_lang_reflect_Executable_getParameterTypes(env, method);
  if (!params || java_failed(env)) return false;
  std::vector<int> codes;
  try {
    jsize n = env->GetArrayLength(params);
    codes.reserve(static_cast<size_t>(n));
    for (jsize i = 0; i < n; ++i) {
      LocalRef<jclass> type(env, static_cast<jclass>(env->GetObjectArrayElement(params, i)));
      if (java_failed(env)) return false;
      codes.push_back(kiv::primitive_code_of(env, type.get()));
    }
  } catch (const std::bad_alloc&) {
    kiv::throw_out_of_memory(env);
    return false;
  }
  info.declaring = env->NewWeakGlobalRef(declaring);
  if (!info.declaring) {
    kiv::throw_out_of_memory(env);
    return false;
  }
  info.id = id;
  info.paramCodes = std::move(codes);
  info.bodyKnown = true;
  return true;
}

// A boxed argument as the primitive P (the accessor of Boolean, Character or Number).
// Requires the interpreter lock (the accessors let other Python threads run).
template <class P>
typename P::type unbox(JNIEnv* env, jobject boxed) noexcept {
  if constexpr (P::code == JTYPE_BOOLEAN) {
    return java_lang_Boolean_booleanValue(env, boxed);
  } else if constexpr (P::code == JTYPE_CHAR) {
    return java_lang_Character_charValue(env, boxed);
  } else if constexpr (P::code == JTYPE_BYTE) {
    return java_lang_Number_byteValue(env, boxed);
  } else if constexpr (P::code == JTYPE_SHORT) {
    return java_lang_Number_shortValue(env, boxed);
  } else if constexpr (P::code == JTYPE_INT) {
    return java_lang_Number_intValue(env, boxed);
  } else if constexpr (P::code == JTYPE_LONG) {
    return java_lang_Number_longValue(env, boxed);
  } else if constexpr (P::code == JTYPE_FLOAT) {
    return java_lang_Number_floatValue(env, boxed);
  } else {
    return java_lang_Number_doubleValue(env, boxed);
  }
}

// Runs the method's own Java body non-virtually on the proxy, with the interpreter lock
// released, so that the body may call the proxy (and Python) again.  The result boxed
// for a primitive return type, null for void; null with a Java exception pending on
// failure.  Requires the lock.
jobject run_java_body(JNIEnv* env, jobject proxy, jobject method, jobjectArray args, MethodInfo& info) noexcept {
  if (!learn_body(env, method, info)) return nullptr;
  jsize n = args ? env->GetArrayLength(args) : 0;
  if (static_cast<size_t>(n) != info.paramCodes.size()) {
    kiv::throw_java_unless_pending(env, "java/lang/IllegalArgumentException", "wrong number of arguments");
    return nullptr;
  }
  kiv::LocalFrame frame(env, n + kFrameCapacity);
  if (!frame.ok()) return nullptr;
  std::vector<jvalue> values;
  try {
    values.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    kiv::throw_out_of_memory(env);
    return nullptr;
  }
  for (jsize i = 0; i < n; ++i) {
    jobject arg = env->GetObjectArrayElement(args, i);  // kept by the frame until the call is done
    if (java_failed(env)) return nullptr;
    jvalue& v = values[static_cast<size_t>(i)];
    kiv::with_primitive(
        info.paramCodes[static_cast<size_t>(i)], [&](auto p) { decltype(p)::of(v) = unbox<decltype(p)>(env, arg); },
        [&] { v.l = arg; });
    if (java_failed(env)) return nullptr;
  }
  jobject result = nullptr;
  {
    kiv::AllowThreads nogil;
    jclass declaring = static_cast<jclass>(info.declaring);
    const jvalue* a = values.data();
    if (info.returnCode == JTYPE_VOID) {
      env->CallNonvirtualVoidMethodA(proxy, declaring, info.id, a);
    } else {
      result = kiv::with_primitive(
          info.returnCode,
          [&](auto p) -> jobject {
            using P = decltype(p);
            typename P::type r = P::call_nonvirtual(env, proxy, declaring, info.id, a);
            return java_failed(env) ? nullptr : kiv::box<P>(env, r);
          },
          [&] { return kiv::JReference::call_nonvirtual(env, proxy, declaring, info.id, a); });
    }
  }
  if (java_failed(env)) return nullptr;
  return frame.keep(result);
}

// Leaves the pending Python error as the Java exception: a Java throwable that Python
// code let pass (a Java exception raised in Python carries its throwable as its first
// argument) goes back unchanged, anything else becomes a kiv.KivException.
void raise_in_java(JNIEnv* env) noexcept {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef args = PyRef::steal(PyException_GetArgs(exc.get()));
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
    PyObject* first = PyTuple_GET_ITEM(args.get(), 0);
    if (PyJObject_Check(first)) {
      jobject carried = reinterpret_cast<PyJObject*>(first)->object;
      if (carried && env->IsInstanceOf(carried, JTHROWABLE_TYPE)) {
        env->Throw(static_cast<jthrowable>(carried));
        return;
      }
    }
  }
  PyErr_Clear();  // a check above may have failed
  PyErr_SetRaisedException(exc.release());
  process_py_exception(env);
}

// The call itself, on the calling thread's thread state for the record.
jobject invoke(JNIEnv* env, jobject handler, KivThread* rec, jobject proxy, jlong address, jobject method,
               jobjectArray args, bool functional, MethodInfo& info) noexcept {
  kiv::RecordScope scope(env, rec);
  if (!scope.ok()) return nullptr;
  PyRef held = PyRef::steal(kiv::hold_object(env, handler, kiv::Holder::Handler, address));
  if (!held) return nullptr;
  PyObject* target = held.get();
  LocalRef<jclass> wanted(env, static_cast<jclass>(env->NewLocalRef(info.wanted)));
  jobject result = nullptr;
  if (functional && info.abstract) {
    result = kiv::call_python(env, target, args, nullptr, wanted.get());
  } else {
    PyObject* name = PyUnicode_FromStringAndSize(info.name.data(), static_cast<Py_ssize_t>(info.name.size()));
    if (name) PyUnicode_InternInPlace(&name);
    PyRef attrName = PyRef::steal(name);
    PyObject* attr = nullptr;
    int found = -1;
    if (attrName) {
      if (info.abstract) {
        attr = PyObject_GetAttr(target, attrName.get());
        found = attr ? 1 : -1;
      } else {
        found = _PyObject_LookupAttr(target, attrName.get(), &attr);
      }
    }
    PyRef callable = PyRef::steal(attr);
    if (found > 0) {
      result = kiv::call_python(env, callable.get(), args, nullptr, wanted.get());
    } else if (found == 0) {
      result = run_java_body(env, proxy, method, args, info);
    }
  }
  if (PyErr_Occurred()) {
    if (result) env->DeleteLocalRef(result);
    raise_in_java(env);
    return nullptr;
  }
  if (info.returnCode == JTYPE_VOID && result) {
    env->DeleteLocalRef(result);
    result = nullptr;
  }
  return result;
}

}  // namespace

extern "C" KIV_EXPORT jobject JNICALL Java_kiv_python_InvocationHandler_invoke(JNIEnv* env, jobject self,
                                                                               jobject proxy, jlong record, jlong obj,
                                                                               jobject method, jobjectArray args,
                                                                               jboolean functional) noexcept {
  KIV_JNI_BOUNDARY();
  auto* rec = reinterpret_cast<KivThread*>(static_cast<intptr_t>(record));
  if (!rec) {
    kiv::throw_kiv(env, kiv::kNoRecord);
    return nullptr;
  }
  if (!obj) {
    kiv::throw_kiv(env, "The Python object behind this proxy has been released");
    return nullptr;
  }
  if (!method) {
    kiv::throw_java_unless_pending(env, "java/lang/NullPointerException", "method");
    return nullptr;
  }
  MethodInfoPtr info = method_info(env, method);
  if (!info) return nullptr;
  return invoke(env, self, rec, proxy, obj, method, args, functional, *info);
}
