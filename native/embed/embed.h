// embed/embed.h: the embedding runtime: start-up, interpreter bindings, the _kiv
// module, running code and exchanging values.
#pragma once

#include <Python.h>
#include <jni.h>
#include <pthread.h>

#include <optional>

#include "common/export.h"
#include "common/gil.h"
#include "common/pyref.h"
#include "embed/binding_cache.h"
#include "embed/state.h"
#include "embed/version.h"
#include "exceptions/exceptions.h"

// ---- lifecycle ----------------------------------------------------------------------
KIV_API jint JNICALL JNI_OnLoad(JavaVM* vm, void* reserved);
KIV_API void JNICALL JNI_OnUnload(JavaVM* vm, void* reserved);

KIV_API void pyembed_startup(JNIEnv* env, jboolean isolated, jobjectArray argv, jint hashSeed,
                             jint useHashSeed, jstring home, jint optimizationLevel, jint parseArgv,
                             jstring programName, jint siteImport, jint useEnvironment,
                             jint userSiteDirectory, jint verbose, jint writeBytecode);
KIV_API void pyembed_shutdown(JavaVM* vm);
KIV_API KivThread* pyembed_thread_init_sub(JNIEnv* env, jobject classloader, jobject caller,
                                           jboolean publishMainModules, jboolean isolatedBase,
                                           jint useMainObmalloc, jint allowFork, jint allowExec,
                                           jint allowThreads, jint allowDaemonThreads,
                                           jint checkMultiInterpExtensions, jint ownGil);
KIV_API KivThread* pyembed_thread_init_shared(JNIEnv* env, jobject classloader, jobject caller,
                                              KivThread* base, jboolean shareGlobals);
// Makes the record of the current thread state ts (lock held), registers it in the
// thread state's dict and releases the lock; steals globals.  Null (Java exception
// pending, ts still current) on failure.
KIV_API KivThread* pyembed_kivthread_new(JNIEnv* env, jobject classloader, jobject caller, PyObject* globals,
                                         PyThreadState* ts);
KIV_API void pyembed_thread_close(JNIEnv* env, KivThread* kivThread, jboolean endInterpreter);

// ---- the _kiv module ----------------------------------------------------------------
KIV_API int pyembed_module_init(JNIEnv* env, jboolean publishMainModules);
KIV_API int kiv_module_traverse(PyObject* module, visitproc visit, void* arg);
KIV_API void kiv_module_free(void* module);
KIV_API void modulestate_clear(ModuleState* state);

// ---- running code -------------------------------------------------------------------
KIV_API void pyembed_eval(JNIEnv* env, KivThread* kivThread, const char* source);
KIV_API void pyembed_exec(JNIEnv* env, KivThread* kivThread, const char* source);
KIV_API int pyembed_compile_string(JNIEnv* env, KivThread* kivThread, const char* source);
KIV_API void pyembed_run(JNIEnv* env, KivThread* kivThread, const char* file);

// ---- exchanging values --------------------------------------------------------------
// Calls callable (lock held) with Java arguments and keywords (either may be null) and
// converts the result to `expected`; null with a Java exception pending on failure.
KIV_API jobject pyembed_invoke_as(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs,
                                  jclass expected);
KIV_API jobject pyembed_invoke(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs);
KIV_API jobject pyembed_invoke_method_as(JNIEnv* env, KivThread* kivThread, const char* name, jobjectArray args,
                                         jobject kwargs, jclass expected);
KIV_API jobject pyembed_invoke_method(JNIEnv* env, KivThread* kivThread, const char* name, jobjectArray args,
                                      jobject kwargs);
KIV_API jobject pyembed_getvalue(JNIEnv* env, KivThread* kivThread, const char* expression, jclass expected);
KIV_API void pyembed_setparameter_object(JNIEnv* env, KivThread* kivThread, PyObject* module, const char* name,
                                         jobject value);

// ---- module functions ---------------------------------------------------------------
KIV_API void pyembed_shared_import(JNIEnv* env, jstring module);

namespace kiv {

// The main interpreter, its sys.modules and the lock kept for shared imports.
PyInterpreterState* main_interpreter() noexcept;
PyObject* main_interpreter_modules() noexcept;
PyObject* main_interpreter_modules_lock() noexcept;

// Calls callable (lock held) as pyembed_invoke_as does, but leaves a failure as it
// finds it: nullptr with a Python error set, or with a Java exception pending (an
// argument could not be read, or callable cannot be called).
jobject call_python(JNIEnv* env, PyObject* callable, jobjectArray args, jobject kwargs, jclass expected,
                    const jlong* argumentBits = nullptr) noexcept;

// The message of kiv.KivException for a null record.
constexpr const char* kNoRecord = "Couldn't get thread objects.";
// ... and for a record that is being closed.
constexpr const char* kClosed = "This interpreter is closed";

// ---- signal handlers (embed/signals.cpp) --------------------------------------------------

// Records every signal handler as it is before Python starts (the JVM's among them).
void record_signal_handlers() noexcept;
// Puts the JVM's handlers for the signals it needs back if Python replaced them, and
// makes faulthandler.enable of the current interpreter leave them in place.  Requires
// the interpreter's lock.
void guard_signal_handlers() noexcept;

// ---- threads other than a binding's owner (embed/threads.cpp) ----------------------------

// Makes current, for the scope, the thread state through which the calling OS thread
// runs Python for `rec`: on the owner thread the record's own; on any other thread one
// of that thread's own in the record's interpreter, made on first use (carrying the
// record, like the record's own) and kept for later calls.  Two OS threads never use
// one thread state.  ok() false: nothing was made current and a Java exception is
// pending.  The caller guarantees that the record stays open meanwhile (the Java side
// closes no binding while a call on it is in progress).
class RecordScope {
 public:
  RecordScope(JNIEnv* env, KivThread* rec) noexcept {
    if (KIV_LIKELY(pthread_equal(rec->ownerThread, pthread_self()))) {
      scope_.emplace(rec->tstate);
    } else {
      enter_foreign(env, rec);
    }
  }
  RecordScope(const RecordScope&) = delete;
  RecordScope& operator=(const RecordScope&) = delete;
  bool ok() const noexcept { return scope_.has_value(); }

 private:
  void enter_foreign(JNIEnv* env, KivThread* rec) noexcept;
  std::optional<ThreadStateScope> scope_;
};

// Gives a new record its serial number and its (empty) set of other threads' states.
void foreign_threads_init(KivThread* rec);
// True when ts is one of the thread states other threads use for rec.
bool is_foreign_thread_state(const KivThread* rec, const PyThreadState* ts) noexcept;
// Deletes every thread state other threads made for rec; later uses are refused.
// Requires a thread state of rec's interpreter current, and no other thread inside a
// call on rec.
void end_foreign_thread_states(KivThread* rec) noexcept;
// Finds where CPython keeps this thread's PyGILState binding (common/gil.h), so that
// dropping one costs a store; true when found.  At start-up, with the first thread
// state current.  Without it bindings are dropped the slow way.
bool find_gilstate_key() noexcept;
// For the native tests: forget the key found (true), or remember it again (false).
void forget_gilstate_key_for_tests(bool forget) noexcept;

// The shape of every runtime function on a record: `work` runs on the thread state of
// the calling thread for the record (see RecordScope), and a Python error it leaves
// becomes the pending Java exception there, once (the result is then `failure`).  Inner
// code only sets the Python error.  A null record throws kiv.KivException "Couldn't get
// thread objects." and gives `failure`; callers test their other arguments only when
// there is a record (`if (rec && !text)`), so that a null record is what gets reported.
template <class R, class F>
R on_record(JNIEnv* env, KivThread* rec, R failure, F&& work) noexcept {
  if (!rec) {
    throw_kiv(env, kNoRecord);
    return failure;
  }
  RecordScope scope(env, rec);
  if (!scope.ok()) return failure;
  R result = work();
  return process_py_exception(env) ? failure : result;
}

// Runs source of the given length (which may contain NUL bytes, refused with CPython's
// ValueError) in mode Py_single_input / Py_file_input; the variants behind the natives.
void eval_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept;
void exec_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept;
int compile_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept;
void run_file(JNIEnv* env, KivThread* rec, const char* path, size_t len) noexcept;
jobject getvalue(JNIEnv* env, KivThread* rec, const char* expr, size_t len, jclass expected) noexcept;

// The same for Java text, through the binding's cache of compiled code (see
// embed/binding_cache.h): a text run again is not compiled again.  A null text with a
// record does nothing (compileString: 0; getValue: null).
void eval_text(JNIEnv* env, KivThread* rec, jstring text) noexcept;
void exec_text(JNIEnv* env, KivThread* rec, jstring text) noexcept;
int compile_text(JNIEnv* env, KivThread* rec, jstring text) noexcept;
jobject getvalue_text(JNIEnv* env, KivThread* rec, jstring text, jclass expected) noexcept;
// Calls the global `name` (or "a.b": attribute b of global a) as pyembed_invoke_method_as
// does, the name's str taken from the binding's cache.  argumentBits (may be null) holds
// the arguments that are JDK boxes, as kiv.internal.NativeSupport.argumentBits makes it.
jobject invoke_name(JNIEnv* env, KivThread* rec, jstring name, jobjectArray args, jlongArray argumentBits,
                    jobject kwargs) noexcept;

// The str of an attribute name Java passed (key: the name read with the kName tag),
// from rec's cache of names on the thread that owns rec, else decoded (and kept when on
// that thread).  With the lock held; nullptr with a Python error set, or with a Java
// exception pending (kiv.KivException "name is invalid." for a null name or one with
// U+0000, which C code would cut short).
PyRef attribute_name(JNIEnv* env, KivThread* rec, jstring name, const JavaText& key) noexcept;

// The code object of Java text compiled with `start` under `filename`: the one rec's
// cache keeps under key (the text read with its mode's tag), or compiled now and kept.
// With the lock held; nullptr with a Python error set, or with a Java exception pending
// when the text could not be read.
PyRef compile_cached(JNIEnv* env, KivThread* rec, jstring text, const JavaText& key, int start,
                     const char* filename);
// Runs code in rec's globals as PyRun_String runs the code it compiles.  The result, or
// nullptr with a Python error set.
PyObject* run_cached(KivThread* rec, PyObject* code);

}  // namespace kiv
