// embed/natives.cpp: the native methods of the kiv Java package.  Each is a thin entry
// point: it checks the record, turns Java strings into UTF-8 and calls the runtime.
#include <Python.h>
#include <jni.h>
#include <pthread.h>

#include "access/access.h"
#include "common/jref.h"
#include "embed/embed.h"

namespace {

#define KIV_NATIVE(ret, name) extern "C" KIV_EXPORT ret JNICALL Java_kiv_##name

KivThread* as_record(jlong record) { return reinterpret_cast<KivThread*>(static_cast<intptr_t>(record)); }

// A record may only be used by the thread that made it: its thread state must never run
// on two OS threads.  The Java side checks first; this keeps a stray call from
// corrupting the interpreter.  Null records pass, the runtime reports them.
bool owner_ok(JNIEnv* env, KivThread* rec) {
  if (!rec || pthread_equal(rec->ownerThread, pthread_self())) return true;
  kiv::throw_kiv(env, "This interpreter belongs to another thread");
  return false;
}

void not_available(JNIEnv* env, const char* what) {
  jclass cls = env->FindClass("java/lang/UnsupportedOperationException");
  if (cls) env->ThrowNew(cls, what);
}

}  // namespace

// ---- kiv.MainInterpreter ------------------------------------------------------------

KIV_NATIVE(void, MainInterpreter_initializePython)
(JNIEnv* env, jclass, jboolean isolated, jobjectArray argv, jint hashSeed, jint useHashSeed, jstring home,
 jint optimizationLevel, jint parseArgv, jstring programName, jint siteImport, jint useEnvironment,
 jint userSiteDirectory, jint verbose, jint writeBytecode) noexcept {
  pyembed_startup(env, isolated, argv, hashSeed, useHashSeed, home, optimizationLevel, parseArgv, programName,
                  siteImport, useEnvironment, userSiteDirectory, verbose, writeBytecode);
}

KIV_NATIVE(void, MainInterpreter_sharedImportInternal)(JNIEnv* env, jclass, jstring module) noexcept {
  pyembed_shared_import(env, module);
}

// ---- kiv.Kiv: bindings ----------------------------------------------------------------

KIV_NATIVE(jlong, Kiv_init_1sub)
(JNIEnv* env, jobject self, jobject classloader, jboolean publishMainModules, jboolean isolatedBase,
 jint useMainObmalloc, jint allowFork, jint allowExec, jint allowThreads, jint allowDaemonThreads,
 jint checkMultiInterpExtensions, jint ownGil) noexcept {
  KivThread* rec = pyembed_thread_init_sub(env, classloader, self, publishMainModules, isolatedBase, useMainObmalloc,
                                           allowFork, allowExec, allowThreads, allowDaemonThreads,
                                           checkMultiInterpExtensions, ownGil);
  if (!rec && !env->ExceptionCheck()) pyembed_throw_illegal_state(env, "Couldn't create sub-interpreter.", 0);
  return static_cast<jlong>(reinterpret_cast<intptr_t>(rec));
}

KIV_NATIVE(jlong, Kiv_init_1shared)
(JNIEnv* env, jobject self, jobject classloader, jlong base, jboolean shareGlobals) noexcept {
  KivThread* baseRec = as_record(base);
  KivThread* rec = pyembed_thread_init_shared(env, classloader, self, baseRec, shareGlobals);
  if (!rec && !env->ExceptionCheck()) pyembed_throw_illegal_state(env, "Couldn't create shared interpreter.", 0);
  return static_cast<jlong>(reinterpret_cast<intptr_t>(rec));
}

KIV_NATIVE(void, Kiv_close)(JNIEnv* env, jobject, jlong record, jboolean endInterpreter) noexcept {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return;
  pyembed_thread_close(env, rec, endInterpreter);
}

// ---- kiv.Kiv: running code ----------------------------------------------------------

KIV_NATIVE(void, Kiv_run)(JNIEnv* env, jobject, jlong record, jstring file) noexcept {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return;
  kiv::JavaUtf8 path(env, file);
  if (!path.ok()) return;
  kiv::run_file(env, rec, path.c_str(), path.size());
}

KIV_NATIVE(void, Kiv_eval)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return;
  kiv::JavaUtf8 src(env, code);
  if (!src.ok()) return;
  kiv::eval_source(env, rec, src.c_str(), src.size());
}

KIV_NATIVE(void, Kiv_exec)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return;
  kiv::JavaUtf8 src(env, code);
  if (!src.ok()) return;
  kiv::exec_source(env, rec, src.c_str(), src.size());
}

KIV_NATIVE(jint, Kiv_compileString)(JNIEnv* env, jobject, jlong record, jstring code) noexcept {
  KivThread* rec = as_record(record);
  if (!owner_ok(env, rec)) return 0;
  kiv::JavaUtf8 src(env, code);
  if (!src.ok()) return 0;
  return kiv::compile_source(env, rec, src.c_str(), src.size());
}

// ---- kiv.Kiv: values --------------------------------------------------------------------

KIV_NATIVE(jobject, Kiv_invoke)(JNIEnv* env, jobject, jlong, jstring, jobjectArray, jobject) noexcept {
  not_available(env, "Kiv.invoke is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(jobject, Kiv_getValue)(JNIEnv* env, jobject, jlong, jstring, jclass) noexcept {
  not_available(env, "Kiv.getValue is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(void, Kiv_set__JLjava_lang_String_2Ljava_lang_Object_2)(JNIEnv* env, jobject, jlong, jstring,
                                                                      jobject) noexcept {
  not_available(env, "Kiv.set is not available in this build of Kiv");
}

// ---- kiv.python ---------------------------------------------------------------------

KIV_NATIVE(jobject, python_PyObject_getAttr)(JNIEnv* env, jobject, jlong, jlong, jstring, jclass) noexcept {
  not_available(env, "PyObject.getAttr is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(void, python_PyObject_setAttr)(JNIEnv* env, jobject, jlong, jlong, jstring, jobject) noexcept {
  not_available(env, "PyObject.setAttr is not available in this build of Kiv");
}

KIV_NATIVE(void, python_PyObject_delAttr)(JNIEnv* env, jobject, jlong, jlong, jstring) noexcept {
  not_available(env, "PyObject.delAttr is not available in this build of Kiv");
}

KIV_NATIVE(jboolean, python_PyObject_equals)(JNIEnv* env, jobject, jlong, jlong, jobject) noexcept {
  not_available(env, "PyObject.equals is not available in this build of Kiv");
  return JNI_FALSE;
}

KIV_NATIVE(jstring, python_PyObject_toString)(JNIEnv* env, jobject, jlong, jlong) noexcept {
  not_available(env, "PyObject.toString is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(jlong, python_PyObject_hashCode)(JNIEnv* env, jobject, jlong, jlong) noexcept {
  not_available(env, "PyObject.hashCode is not available in this build of Kiv");
  return 0;
}

KIV_NATIVE(jobject, python_PyObject_as)(JNIEnv* env, jobject, jlong, jlong, jclass) noexcept {
  not_available(env, "PyObject.as is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(jobject, python_PyCallable_call)(JNIEnv* env, jobject, jlong, jlong, jobjectArray, jobject,
                                            jclass) noexcept {
  not_available(env, "PyCallable.call is not available in this build of Kiv");
  return nullptr;
}

KIV_NATIVE(void, python_PyPointer_decref)(JNIEnv* env, jobject, jlong, jlong) noexcept {
  not_available(env, "PyPointer.decref is not available in this build of Kiv");
}

KIV_NATIVE(jobject, python_InvocationHandler_invoke)(JNIEnv* env, jobject, jobject, jlong, jlong, jobject,
                                                     jobjectArray, jboolean) noexcept {
  not_available(env, "Python proxies are not available in this build of Kiv");
  return nullptr;
}
