// embed/natives.cpp: the native methods of the kiv Java package.  Each is a thin entry
// point: it checks the record, turns Java strings into UTF-8 and calls the runtime.  Each
// starts with KIV_JNI_BOUNDARY, which checks the error invariants in checked builds.
#include <Python.h>
#include <jni.h>
#include <pthread.h>

#include "access/access.h"
#include "common/checks.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/embed.h"
#include "exceptions/exceptions.h"

namespace {

#define KIV_NATIVE(ret, name) extern "C" KIV_EXPORT ret JNICALL Java_kiv_##name

KivThread* as_record(jlong record) { return reinterpret_cast<KivThread*>(static_cast<intptr_t>(record)); }

// The natives of kiv.Kiv run only on the thread that made the binding (Python objects
// and proxies may be used from any thread: see RecordScope).  The Java side checks
// first; this keeps a stray call from reaching Python.  Null records pass, the runtime
// reports them.
bool owner_ok(JNIEnv* env, KivThread* rec) {
  if (!rec || pthread_equal(rec->ownerThread, pthread_self())) return true;
  kiv::throw_kiv(env, "This interpreter belongs to another thread");
  return false;
}

}  // namespace

// ---- kiv.MainInterpreter ------------------------------------------------------------

KIV_NATIVE(void, MainInterpreter_initializePython)
(JNIEnv* env, jclass, jboolean isolated, jobjectArray argv, jint hashSeed, jint useHashSeed, jstring home,
 jint optimizationLevel, jint parseArgv, jstring programName, jint siteImport, jint useEnvironment,
 jint userSiteDirectory, jint verbose, jint writeBytecode) noexcept {
  KIV_JNI_BOUNDARY();
  pyembed_startup(env, isolated, argv, hashSeed, useHashSeed, home, optimizationLevel, parseArgv, programName,
                  siteImport, useEnvironment, userSiteDirectory, verbose, writeBytecode);
}

KIV_NATIVE(void, MainInterpreter_sharedImportInternal)(JNIEnv* env, jclass, jstring module) noexcept {
  KIV_JNI_BOUNDARY();
  pyembed_shared_import(env, module);
}

// ---- kiv.Kiv: bindings ----------------------------------------------------------------

KIV_NATIVE(jlong, Kiv_init_1sub)
(JNIEnv* env, jobject self, jobject classloader, jboolean publishMainModules, jboolean isolatedBase,
 jint useMainObmalloc, jint allowFork, jint allowExec, jint allowThreads, jint allowDaemonThreads,
 jint checkMultiInterpExtensions, jint ownGil) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = pyembed_thread_init_sub(env, classloader, self, publishMainModules, isolatedBase, useMainObmalloc,
                                           allowFork, allowExec, allowThreads, allowDaemonThreads,
                                           checkMultiInterpExtensions, ownGil);
  if (!rec && !env->ExceptionCheck()) pyembed_throw_illegal_state(env, "Couldn't create sub-interpreter.", 0);
  return static_cast<jlong>(reinterpret_cast<intptr_t>(rec));
}

KIV_NATIVE(jlong, Kiv_init_1shared)
(JNIEnv* env, jobject self, jobject classloader, jlong base, jboolean shareGlobals) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* baseRec = as_record(base);
  KivThread* rec = pyembed_thread_init_shared(env, classloader, self, baseRec, shareGlobals);
  if (!rec && !env->ExceptionCheck()) pyembed_throw_illegal_state(env, "Couldn't create shared interpreter.", 0);
  return static_cast<jlong>(reinterpret_cast<intptr_t>(rec));
}

KIV_NATIVE(void, Kiv_close)(JNIEnv* env, jobject, jlong record, jboolean endInterpreter) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return;
  pyembed_thread_close(env, rec, endInterpreter);
}

// ---- kiv.Kiv: running code ----------------------------------------------------------

namespace {

// The pattern of the natives that take a record and a Java string of text: the owner
// check, the text as real UTF-8, then the runtime function with its length.
template <class R, class F>
R with_text(JNIEnv* env, jlong record, jstring text, R failure, F run) {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return failure;
  kiv::JavaUtf8 utf8(env, text);
  if (!utf8.ok()) return failure;
  return run(rec, utf8);
}

// with_text for the runtime functions that take the text with its length and return
// nothing.
void run_text(JNIEnv* env, jlong record, jstring text,
              void (*run)(JNIEnv*, KivThread*, const char*, size_t) noexcept) {
  with_text(env, record, text, 0, [&](KivThread* rec, kiv::JavaUtf8& utf8) {
    run(env, rec, utf8.c_str(), utf8.size());
    return 0;
  });
}

}  // namespace

KIV_NATIVE(void, Kiv_run)(JNIEnv* env, jobject, jlong record, jstring file) noexcept {
  KIV_JNI_BOUNDARY();
  run_text(env, record, file, kiv::run_file);
}

KIV_NATIVE(void, Kiv_eval)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (owner_ok(env, rec)) kiv::eval_text(env, rec, code);
}

KIV_NATIVE(void, Kiv_exec)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (owner_ok(env, rec)) kiv::exec_text(env, rec, code);
}

KIV_NATIVE(jint, Kiv_compileString)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  return owner_ok(env, rec) ? kiv::compile_text(env, rec, code) : 0;
}

// ---- kiv.Kiv: values --------------------------------------------------------------------

KIV_NATIVE(jobject, Kiv_invoke)
(JNIEnv* env, jobject, jlong record, jstring name, jobjectArray args, jlongArray argumentBits, jobject kwargs) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  return owner_ok(env, rec) ? kiv::invoke_name(env, rec, name, args, argumentBits, kwargs) : nullptr;
}

KIV_NATIVE(jobject, Kiv_getValue)(JNIEnv* env, jobject, jlong record, jstring expression, jclass as) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  return owner_ok(env, rec) ? kiv::getvalue_text(env, rec, expression, as) : nullptr;
}

KIV_NATIVE(void, Kiv_set__JLjava_lang_String_2Ljava_lang_Object_2)
(JNIEnv* env, jobject, jlong record, jstring name, jobject value) noexcept {
  KIV_JNI_BOUNDARY();
  with_text(env, record, name, 0, [&](KivThread* rec, kiv::JavaUtf8& n) {
    pyembed_setparameter_object(env, rec, nullptr, n.c_str(), value);
    return 0;
  });
}

// ---- kiv.python: Python objects held by Java ------------------------------------------

namespace {

PyObject* as_object(jlong obj) { return reinterpret_cast<PyObject*>(static_cast<intptr_t>(obj)); }

constexpr const char* kReleased = "This kiv.python.PyObject has been released.";

// The record and object of a kiv.python native, checked; false with a Java exception.
// These natives run on any thread (see RecordScope).
bool object_ok(JNIEnv* env, KivThread* rec, jlong obj) {
  if (!rec) {
    kiv::throw_kiv(env, kiv::kNoRecord);
    return false;
  }
  if (!obj) {
    kiv::throw_kiv(env, kReleased);
    return false;
  }
  return true;
}

// The pattern of the kiv.python natives: the record and object checked, then `run` with
// the object (held, see hold_object) on the calling thread's thread state for the
// record; a Python error it leaves becomes the Java exception (see on_record) and the
// result `failure`.
template <class R, class F>
R with_object(JNIEnv* env, jobject self, jlong record, jlong obj, R failure, F run) {
  KivThread* rec = as_record(record);
  if (!object_ok(env, rec, obj)) return failure;
  return kiv::on_record(env, rec, failure, [&] {
    kiv::PyRef o = kiv::PyRef::steal(kiv::hold_object(env, self, kiv::Holder::PyObject, obj));
    return o ? run(o.get()) : failure;
  });
}

// with_object for the attribute natives, which also take a name, as a str (see
// kiv::attribute_name: a null name, or one with U+0000, is refused).
template <class R, class F>
R with_attribute(JNIEnv* env, jobject self, jlong record, jlong obj, jstring name, R failure, F run) {
  KivThread* rec = as_record(record);
  if (!object_ok(env, rec, obj)) return failure;
  kiv::JavaText key(env, name, kiv::BindingCache::kName, kiv::BindingCache::kMaxName);
  return kiv::on_record(env, rec, failure, [&] {
    kiv::PyRef n = kiv::attribute_name(env, rec, name, key);
    if (!n) return failure;
    kiv::PyRef o = kiv::PyRef::steal(kiv::hold_object(env, self, kiv::Holder::PyObject, obj));
    return o ? run(o.get(), n.get()) : failure;
  });
}

}  // namespace


KIV_NATIVE(jobject, python_PyObject_getAttr)
(JNIEnv* env, jobject self, jlong record, jlong obj, jstring name, jclass as) noexcept {
  KIV_JNI_BOUNDARY();
  return with_attribute(env, self, record, obj, name, jobject{nullptr}, [&](PyObject* o, PyObject* n) -> jobject {
    kiv::PyRef attr = kiv::PyRef::steal(PyObject_GetAttr(o, n));
    if (!attr || attr.get() == Py_None) return nullptr;
    return PyObject_As_jobject(env, attr.get(), as ? as : JOBJECT_TYPE);
  });
}

KIV_NATIVE(void, python_PyObject_setAttr)
(JNIEnv* env, jobject self, jlong record, jlong obj, jstring name, jobject value) noexcept {
  KIV_JNI_BOUNDARY();
  with_attribute(env, self, record, obj, name, 0, [&](PyObject* o, PyObject* n) {
    kiv::PyRef v = kiv::PyRef::steal(jobject_As_PyObject(env, value));
    if (v) PyObject_SetAttr(o, n, v.get());
    return 0;
  });
}

KIV_NATIVE(void, python_PyObject_delAttr)(JNIEnv* env, jobject self, jlong record, jlong obj, jstring name) noexcept {
  KIV_JNI_BOUNDARY();
  with_attribute(env, self, record, obj, name, 0, [&](PyObject* o, PyObject* n) {
    PyObject_SetAttr(o, n, nullptr);
    return 0;
  });
}

KIV_NATIVE(jboolean, python_PyObject_equals)
(JNIEnv* env, jobject self, jlong record, jlong obj, jobject other) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, JNI_FALSE, [&](PyObject* o) {
    kiv::PyRef x = kiv::PyRef::steal(jobject_As_PyObject(env, other));
    int eq = x ? PyObject_RichCompareBool(o, x.get(), Py_EQ) : -1;
    return eq == 1 ? JNI_TRUE : JNI_FALSE;
  });
}

KIV_NATIVE(jstring, python_PyObject_toString)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jstring{nullptr}, [&](PyObject* o) { return PyObject_As_jstring(env, o); });
}

KIV_NATIVE(jlong, python_PyObject_hashCode)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jlong{-1}, [&](PyObject* o) { return static_cast<jlong>(PyObject_Hash(o)); });
}

KIV_NATIVE(jobject, python_PyObject_as)(JNIEnv* env, jobject self, jlong record, jlong obj, jclass as) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jobject{nullptr},
                     [&](PyObject* o) { return PyObject_As_jobject(env, o, as ? as : JOBJECT_TYPE); });
}

KIV_NATIVE(jobject, python_PyCallable_call)
(JNIEnv* env, jobject self, jlong record, jlong obj, jobjectArray args, jobject kwargs, jclass as) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jobject{nullptr}, [&](PyObject* o) {
    return kiv::call_python(env, o, args, kwargs, as ? as : JOBJECT_TYPE);
  });
}

// Java marks the pointer released before it calls this (once): other natives check that
// mark under the interpreter lock, which this takes before it lets the object go.
KIV_NATIVE(void, python_PyPointer_decref)(JNIEnv* env, jobject, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (!object_ok(env, rec, obj)) return;
  kiv::on_record(env, rec, 0, [&] {
    Py_DECREF(as_object(obj));
    return 0;
  });
}

// ---- kiv.python.PyObject: tests, items and iteration ----------------------------------

KIV_NATIVE(jboolean, python_PyObject_isNone)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, JNI_FALSE,
                     [&](PyObject* o) { return Py_IsNone(o) ? JNI_TRUE : JNI_FALSE; });
}

KIV_NATIVE(jboolean, python_PyObject_isCallable)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, JNI_FALSE,
                     [&](PyObject* o) { return PyCallable_Check(o) ? JNI_TRUE : JNI_FALSE; });
}

// hasattr(): only an AttributeError means "no"; any other error of the look-up (a
// failing property, a __getattr__ that raises something else) reaches Java.
KIV_NATIVE(jboolean, python_PyObject_hasAttr)
(JNIEnv* env, jobject self, jlong record, jlong obj, jstring name) noexcept {
  KIV_JNI_BOUNDARY();
  return with_attribute(env, self, record, obj, name, JNI_FALSE, [&](PyObject* o, PyObject* n) {
    kiv::PyRef attr = kiv::PyRef::steal(PyObject_GetAttr(o, n));
    if (attr) return JNI_TRUE;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return JNI_FALSE;
  });
}

// len(): a Py_ssize_t always fits a jlong, so nothing is narrowed.
KIV_NATIVE(jlong, python_PyObject_len)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  static_assert(sizeof(Py_ssize_t) <= sizeof(jlong), "a length must fit a Java long");
  return with_object(env, self, record, obj, jlong{-1},
                     [&](PyObject* o) { return static_cast<jlong>(PyObject_Size(o)); });
}

KIV_NATIVE(jobject, python_PyObject_getItem)
(JNIEnv* env, jobject self, jlong record, jlong obj, jobject key, jclass as) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jobject{nullptr}, [&](PyObject* o) -> jobject {
    kiv::PyRef k = kiv::PyRef::steal(jobject_As_PyObject(env, key));
    if (!k) return nullptr;
    kiv::PyRef item = kiv::PyRef::steal(PyObject_GetItem(o, k.get()));
    return item ? PyObject_As_jobject(env, item.get(), as ? as : JOBJECT_TYPE) : nullptr;
  });
}

KIV_NATIVE(void, python_PyObject_setItem)
(JNIEnv* env, jobject self, jlong record, jlong obj, jobject key, jobject value) noexcept {
  KIV_JNI_BOUNDARY();
  with_object(env, self, record, obj, 0, [&](PyObject* o) {
    kiv::PyRef k = kiv::PyRef::steal(jobject_As_PyObject(env, key));
    kiv::PyRef v = kiv::PyRef::steal(k ? jobject_As_PyObject(env, value) : nullptr);
    return v ? PyObject_SetItem(o, k.get(), v.get()) : -1;
  });
}

KIV_NATIVE(void, python_PyObject_delItem)(JNIEnv* env, jobject self, jlong record, jlong obj, jobject key) noexcept {
  KIV_JNI_BOUNDARY();
  with_object(env, self, record, obj, 0, [&](PyObject* o) {
    kiv::PyRef k = kiv::PyRef::steal(jobject_As_PyObject(env, key));
    return k ? PyObject_DelItem(o, k.get()) : -1;
  });
}

// iter(): the Python iterator, handed to Java as a new kiv.python.PyObject.
KIV_NATIVE(jobject, python_PyObject_iter)(JNIEnv* env, jobject self, jlong record, jlong obj) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jobject{nullptr}, [&](PyObject* o) -> jobject {
    kiv::PyRef it = kiv::PyRef::steal(PyObject_GetIter(o));
    return it ? pyobject_as_jpyobject(env, it.get()) : nullptr;
  });
}

// next() of an iterator: the item converted to `as`, or `end` itself once the iterator
// is exhausted (an item None arrives as null, so null cannot mark the end).
KIV_NATIVE(jobject, python_PyObject_next)
(JNIEnv* env, jobject self, jlong record, jlong obj, jclass as, jobject end) noexcept {
  KIV_JNI_BOUNDARY();
  return with_object(env, self, record, obj, jobject{nullptr}, [&](PyObject* o) -> jobject {
    if (!PyIter_Check(o)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(o)->tp_name);
      return nullptr;
    }
    kiv::PyRef item = kiv::PyRef::steal(PyIter_Next(o));
    if (!item) return PyErr_Occurred() ? nullptr : env->NewLocalRef(end);
    return PyObject_As_jobject(env, item.get(), as ? as : JOBJECT_TYPE);
  });
}
