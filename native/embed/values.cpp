// embed/values.cpp: reading and writing variables of an interpreter, calling Python
// from Java, and the natives of kiv.python.PyObject.
#include <Python.h>
#include <jni.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/binding_cache.h"
#include "embed/embed.h"
#include "exceptions/exceptions.h"

using kiv::LocalRef;
using kiv::PyRef;

namespace {

// The keyword arguments of a Java map: its entries, converted.  A converter registered
// for the map's class may turn it into a Python mapping first, whose items are taken.
// New dict, or nullptr with a Python error set.
PyObject* keywords_of(JNIEnv* env, jobject map) {
  PyRef kw = PyRef::steal(PyDict_New());
  if (!kw) return nullptr;
  PyRef converted = PyRef::steal(jobject_As_PyObject(env, map));
  if (!converted) return nullptr;
  if (PyJObject_Check(converted.get()) && env->IsInstanceOf(map, JMAP_TYPE)) {
    // Still the Java map: its entries directly, so that a Java method of the map's
    // class named keys or items cannot stand in for the mapping protocol's.
    PyRef items = PyRef::steal(kiv::java_map_items(env, map));
    if (!items || PyDict_MergeFromSeq2(kw.get(), items.get(), 1) < 0) return nullptr;
  } else if (PyDict_Update(kw.get(), converted.get()) < 0) {
    return nullptr;
  }
  return kw.release();
}

// The Python value of a boxed argument that kiv.internal.NativeSupport.argumentBits
// encoded as (kind, value): what converting the box itself gives.
PyObject* boxed_argument(jlong kind, jlong value) {
  switch (kind) {
    case 1: return PyLong_FromLongLong(value);
    case 2: {
      double d;
      static_assert(sizeof d == sizeof value, "raw bits of a double");
      std::memcpy(&d, &value, sizeof d);
      return PyFloat_FromDouble(d);
    }
    case 3: return PyBool_FromLong(value != 0);
    case 4: return jchar_As_PyObject(static_cast<jchar>(value));
    default:
      PyErr_Format(PyExc_SystemError, "unknown argument kind %lld", static_cast<long long>(kind));
      return nullptr;
  }
}

// UTF-8 text cut to fit max bytes (including the NUL) without splitting a character.
void copy_truncated(char* out, size_t max, const char* text) {
  std::snprintf(out, max, "%s", text);
  size_t n = std::strlen(out);
  if (n == std::strlen(text) || n == 0) return;
  size_t lead = n - 1;
  while (lead > 0 && (static_cast<unsigned char>(out[lead]) & 0xC0) == 0x80) --lead;
  unsigned char c = static_cast<unsigned char>(out[lead]);
  size_t need = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  if (lead + need > n) out[lead] = '\0';
}

// What a name in the record's globals stands for: the global itself, or for "a.b" the
// attribute b of the global a (one level only: for "a.b.c" the attribute "b.c").
// Nullptr with a Python error set, or with kiv.KivException pending when there is no
// such global.
PyRef find_callable(JNIEnv* env, KivThread* rec, const char* name) {
  // Held strongly: converting the arguments may run Python code (or let other threads
  // run) that unbinds the name.
  PyRef callable = PyRef::borrow(PyDict_GetItemString(rec->globals, name));
  if (callable) return PyErr_Occurred() ? PyRef() : std::move(callable);  // an earlier error wins
  const char* dot = std::strchr(name, '.');
  const char* missing = name;
  char prefix[64];
  if (dot && dot - name <= 62) {
    size_t len = static_cast<size_t>(dot - name);
    std::memcpy(prefix, name, len);
    prefix[len] = '\0';
    PyRef owner = PyRef::borrow(PyDict_GetItemString(rec->globals, prefix));
    if (owner) return PyRef::steal(PyObject_GetAttrString(owner.get(), dot + 1));
    missing = prefix;
  }
  char text[128];
  char msg[192];
  copy_truncated(text, sizeof text, missing);
  std::snprintf(msg, sizeof msg, "Unable to find object with name: %s", text);
  copy_truncated(text, sizeof text, msg);
  PyErr_Clear();
  kiv::throw_kiv(env, text);
  return PyRef();
}

}  // namespace

namespace kiv {

jobject call_python(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs, jclass expected,
                    const jlong* bits) noexcept {
  if (!PyCallable_Check(callable)) {
    throw_kiv(env, "pyembed:invoke Invalid callable.");
    return nullptr;
  }
  if (!expected) expected = JOBJECT_TYPE;
  jsize n = args ? env->GetArrayLength(args) : 0;
  // The arguments in a vector of their own, for a vectorcall: no argument tuple.  One
  // slot before them, which the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
  constexpr jsize kStack = 8;
  PyObject* stack[kStack + 1];
  PyObject** slots = stack;
  if (n > kStack) {
    slots = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (static_cast<size_t>(n) + 1)));
    if (!slots) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  jsize filled = 0;
  struct Release {
    PyObject** slots;
    PyObject** stack;
    const jsize& filled;
    ~Release() {
      for (jsize i = 0; i < filled; ++i) Py_DECREF(slots[i + 1]);
      if (slots != stack) PyMem_Free(slots);
    }
  } release{slots, stack, filled};
  for (; filled < n; ++filled) {
    PyObject* value;
    if (bits && bits[2 * filled] != 0) {
      value = boxed_argument(bits[2 * filled], bits[2 * filled + 1]);
    } else {
      LocalRef<jobject> arg(env, env->GetObjectArrayElement(args, filled));
      if (env->ExceptionCheck()) return nullptr;  // left pending for the caller
      value = jobject_As_PyObject(env, arg.get());
    }
    if (!value) return nullptr;
    slots[filled + 1] = value;
  }
  PyRef kw;
  if (kwargs) {
    kw = PyRef::steal(keywords_of(env, kwargs));
    if (!kw) return nullptr;
  }
  size_t nargsf = static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET;
  PyRef result = PyRef::steal(kw ? PyObject_VectorcallDict(callable, slots + 1, nargsf, kw.get())
                                 : PyObject_Vectorcall(callable, slots + 1, nargsf, nullptr));
  if (!result) return nullptr;
  return PyObject_As_jobject(env, result.get(), expected);
}

jobject getvalue(JNIEnv* env, KivThread* rec, const char* expr, size_t len, jclass expected) noexcept {
  if (rec && !expr) return nullptr;
  if (!expected) expected = JOBJECT_TYPE;
  return on_record(env, rec, jobject{nullptr}, [&]() -> jobject {
    if (PyErr_Occurred()) return nullptr;  // an error already pending is reported instead
    if (std::strlen(expr) != len) {
      PyErr_SetString(PyExc_ValueError, "source code string cannot contain null bytes");
      return nullptr;
    }
    PyRef value = PyRef::steal(PyRun_StringFlags(expr, Py_eval_input, rec->globals, rec->globals, nullptr));
    if (!value || value.get() == Py_None) return nullptr;
    return PyObject_As_jobject(env, value.get(), expected);
  });
}

jobject getvalue_text(JNIEnv* env, KivThread* rec, jstring text, jclass expected) noexcept {
  if (rec && !text) return nullptr;
  if (!expected) expected = JOBJECT_TYPE;
  JavaText key(env, text, BindingCache::kExpression, BindingCache::kMaxText);
  return on_record(env, rec, jobject{nullptr}, [&]() -> jobject {
    if (PyErr_Occurred()) return nullptr;  // an error already pending is reported instead
    PyRef code = compile_cached(env, rec, text, key, Py_eval_input, "<string>");
    if (!code) return nullptr;
    PyRef value = PyRef::steal(run_cached(rec, code.get()));
    if (!value || value.get() == Py_None) return nullptr;
    return PyObject_As_jobject(env, value.get(), expected);
  });
}

namespace {

// The interned str of a name (UTF-8 without U+0000), kept in the cache under key.  New
// reference, or nullptr with a Python error set when it does not decode.
PyRef kept_name(BindingCache* cache, const JavaText& key, const JavaUtf8& utf8) {
  PyObject* made = PyUnicode_DecodeUTF8(utf8.c_str(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  if (!made) return PyRef();
  PyUnicode_InternInPlace(&made);
  if (cache && key.ok()) cache->names.put(key.key(), made);
  return PyRef::steal(made);
}

}  // namespace

PyRef attribute_name(JNIEnv* env, KivThread* rec, jstring name, const JavaText& key) noexcept {
  BindingCache* cache = key.ok() ? binding_cache(rec) : nullptr;
  if (cache) {
    if (PyObject* hit = cache->names.find(key.key())) return PyRef::borrow(hit);
  }
  JavaUtf8 utf8(env, name);
  if (!utf8.ok()) return PyRef();  // OutOfMemoryError pending
  if (utf8.is_null() || utf8.has_nul()) {
    throw_kiv(env, "name is invalid.");
    return PyRef();
  }
  return kept_name(cache, key, utf8);
}

jobject invoke_name(JNIEnv* env, KivThread* rec, jstring name, jobjectArray args, jlongArray argumentBits,
                    jobject kwargs) noexcept {
  if (rec && !name) {
    throw_kiv(env, "name is invalid.");
    return nullptr;
  }
  // The boxed arguments, read at once (two longs per argument).
  constexpr jsize kStackBits = 16;
  jlong stackBits[kStackBits];
  std::vector<jlong> heapBits;
  const jlong* bits = nullptr;
  if (argumentBits && args) {
    jsize n = env->GetArrayLength(argumentBits);
    if (n != 2 * env->GetArrayLength(args)) {
      throw_kiv(env, "argument bits do not match the arguments");
      return nullptr;
    }
    jlong* out = stackBits;
    if (n > kStackBits) {
      try {
        heapBits.resize(static_cast<size_t>(n));
      } catch (const std::bad_alloc&) {
        throw_out_of_memory(env);
        return nullptr;
      }
      out = heapBits.data();
    }
    env->GetLongArrayRegion(argumentBits, 0, n, out);  // in range: cannot throw
    bits = out;
  }
  JavaText key(env, name, BindingCache::kName, BindingCache::kMaxName);
  return on_record(env, rec, jobject{nullptr}, [&]() -> jobject {
    BindingCache* cache = key.ok() ? binding_cache(rec) : nullptr;
    PyRef str = cache ? PyRef::borrow(cache->names.find(key.key())) : PyRef();
    PyRef callable;
    if (str) {
      callable = PyRef::borrow(PyDict_GetItemWithError(rec->globals, str.get()));
      if (PyErr_Occurred()) return nullptr;
    }
    if (!callable) {
      // Not known yet, or not a plain global: the name as UTF-8, looked up as without a
      // cache.  A name that decodes to a str without U+0000 is kept.
      JavaUtf8 utf8(env, name);
      if (!utf8.ok()) return nullptr;  // OutOfMemoryError pending
      if (!str && cache && !utf8.has_nul() && !kept_name(cache, key, utf8)) PyErr_Clear();
      callable = find_callable(env, rec, utf8.c_str());
      if (!callable) return nullptr;
    }
    return call_python(env, callable.get(), args, kwargs, JOBJECT_TYPE, bits);
  });
}
}  // namespace kiv

// The one place where a failed call from C becomes a Java exception.
KIV_API jobject pyembed_invoke_as(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs,
                                  jclass expected) {
  jobject answer = kiv::call_python(env, callable, args, kwargs, expected);
  return process_py_exception(env) ? nullptr : answer;
}

KIV_API jobject pyembed_invoke(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs) {
  return pyembed_invoke_as(env, callable, args, kwargs, JOBJECT_TYPE);
}

KIV_API jobject pyembed_invoke_method_as(JNIEnv* env, KivThread* rec, const char* name, jobjectArray args,
                                         jobject kwargs, jclass expected) {
  if (rec && !name) {
    kiv::throw_kiv(env, "name is invalid.");
    return nullptr;
  }
  return kiv::on_record(env, rec, jobject{nullptr}, [&]() -> jobject {
    PyRef callable = find_callable(env, rec, name);
    return callable ? kiv::call_python(env, callable.get(), args, kwargs, expected) : nullptr;
  });
}

KIV_API jobject pyembed_invoke_method(JNIEnv* env, KivThread* rec, const char* name, jobjectArray args,
                                      jobject kwargs) {
  return pyembed_invoke_method_as(env, rec, name, args, kwargs, JOBJECT_TYPE);
}

KIV_API jobject pyembed_getvalue(JNIEnv* env, KivThread* rec, const char* expr, jclass expected) {
  return kiv::getvalue(env, rec, expr, expr ? std::strlen(expr) : 0, expected);
}

KIV_API void pyembed_setparameter_object(JNIEnv* env, KivThread* rec, PyObject* module, const char* name,
                                         jobject value) {
  if (rec && !name) return kiv::throw_kiv(env, "name is invalid.");
  kiv::on_record(env, rec, 0, [&] {
    PyRef v = PyRef::steal(jobject_As_PyObject(env, value));
    if (!v) return 0;  // a failed conversion stores nothing
    if (module) {
      PyModule_AddObjectRef(module, name, v.get());
    } else {
      PyDict_SetItemString(rec->globals, name, v.get());
    }
    return 0;
  });
}
