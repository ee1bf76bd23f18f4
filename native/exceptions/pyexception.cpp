// exceptions/pyexception.cpp: a Python error on its way back to Java becomes a
// kiv.KivException whose stack trace starts with the Python traceback.
#include <Python.h>
#include <jni.h>

#include <cstdio>
#include <cstdlib>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "exceptions/exceptions.h"

namespace kiv {

void print_python_error() noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  PyErr_DisplayException(exc);
  Py_DECREF(exc);
  PyErr_Clear();
}

void flush_std_streams() noexcept {
  PyErrorStash stash;
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (stream && stream != Py_None) {
      PyRef r = PyRef::steal(PyObject_CallMethod(stream, "flush", nullptr));
      if (!r) PyErr_Clear();
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace kiv

namespace {

// Method identifiers are process-wide and filled lazily; racing threads store the same
// value, so relaxed atomic accesses are all that is needed.
jmethodID cached_method(jmethodID* slot, jclass cls, const char* name, const char* sig, JNIEnv* env) {
  jmethodID id = __atomic_load_n(slot, __ATOMIC_RELAXED);
  if (!id && cls) {
    id = env->GetMethodID(cls, name, sig);
    if (id) __atomic_store_n(slot, id, __ATOMIC_RELAXED);
  }
  return id;
}

// Ends the process for SystemExit: Python's buffered output is written first, then the
// JVM halts with the status (no shutdown hooks, no finalisation of Python).
[[noreturn]] void exit_process(JNIEnv* env, int status) {
  kiv::flush_std_streams();
  // Raw: the process ends here and the lock is never taken back; other threads waiting
  // for it must not hold up the halt.
  PyEval_SaveThread();
  jclass runtime = env->FindClass("java/lang/Runtime");
  jmethodID getRuntime = runtime ? env->GetStaticMethodID(runtime, "getRuntime", "()Ljava/lang/Runtime;") : nullptr;
  jmethodID halt = getRuntime ? env->GetMethodID(runtime, "halt", "(I)V") : nullptr;
  jobject rt = halt ? env->CallStaticObjectMethod(runtime, getRuntime) : nullptr;
  if (rt && !env->ExceptionCheck()) env->CallVoidMethod(rt, halt, static_cast<jint>(status));
  // halt does not return; if the JVM refused, leave the C way.
  std::exit(status);
}

// A Python str as a new Java local string; nullptr (Java exception pending) on failure.
jstring to_jstring(JNIEnv* env, PyObject* str) { return kiv::unicode_to_jstring(env, str); }

// The part of s before the last occurrence of ch (all of s when ch does not occur).
kiv::PyRef before_last(PyObject* s, Py_UCS4 ch) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  Py_ssize_t at = PyUnicode_FindChar(s, ch, 0, n, -1);
  if (at < 0) return kiv::PyRef::borrow(s);
  return kiv::PyRef::steal(PyUnicode_Substring(s, 0, at));
}

// The part of s after the last occurrence of ch (all of s when ch does not occur).
kiv::PyRef after_last(PyObject* s, Py_UCS4 ch) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  Py_ssize_t at = PyUnicode_FindChar(s, ch, 0, n, -1);
  if (at < 0) return kiv::PyRef::borrow(s);
  return kiv::PyRef::steal(PyUnicode_Substring(s, at + 1, n));
}

// The Java stack trace elements of a Python traceback, outermost first: an array of
// `*count` elements (frames without source text are left out), or nullptr when it cannot
// be built.  Leaves no Python error and no Java exception behind.
jobjectArray python_frames(JNIEnv* env, PyObject* tb, jclass steClass, jsize* count) {
  *count = 0;
  kiv::PyRef tbmod = kiv::PyRef::steal(PyImport_ImportModule("traceback"));
  if (!tbmod) {
    std::puts("Error importing python traceback module");
    std::fflush(stdout);
    kiv::print_python_error();
    return nullptr;
  }
  kiv::PyRef frames = kiv::PyRef::steal(PyObject_CallMethod(tbmod.get(), "extract_tb", "O", tb));
  if (!frames || !PyList_Check(frames.get())) {
    kiv::print_python_error();
    return nullptr;
  }
  jmethodID init = cached_method(&stackTraceElemInit, steClass, "<init>",
                                 "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V", env);
  Py_ssize_t n = PyList_GET_SIZE(frames.get());
  jobjectArray arr = init ? env->NewObjectArray(static_cast<jsize>(n), steClass, nullptr) : nullptr;
  if (!arr) {
    env->ExceptionClear();
    return nullptr;
  }
  jsize kept = 0;
  for (Py_ssize_t j = 0; j < n; ++j) {
    PyObject* summary = PyList_GET_ITEM(frames.get(), j);  // borrowed
    kiv::PyRef source = kiv::PyRef::steal(PySequence_GetItem(summary, 3));
    if (!source || source.get() == Py_None) {
      PyErr_Clear();
      continue;
    }
    kiv::PyRef file = kiv::PyRef::steal(PySequence_GetItem(summary, 0));
    kiv::PyRef lineno = kiv::PyRef::steal(PySequence_GetItem(summary, 1));
    kiv::PyRef func = kiv::PyRef::steal(PySequence_GetItem(summary, 2));
    if (!file || !func || !lineno || !PyUnicode_Check(file.get()) || !PyUnicode_Check(func.get())) {
      PyErr_Clear();
      continue;
    }
    jint line = -1;  // Java's "unknown line"
    if (PyLong_Check(lineno.get())) {
      line = static_cast<jint>(PyLong_AsLongLong(lineno.get()));
      if (PyErr_Occurred()) {
        PyErr_Clear();
        line = -1;
      }
    }
    kiv::PyRef declaring = before_last(file.get(), '.');
    kiv::PyRef base = after_last(file.get(), '/');
    if (!declaring || !base) {
      PyErr_Clear();
      continue;
    }
    kiv::LocalRef<jstring> jdecl(env, to_jstring(env, declaring.get()));
    kiv::LocalRef<jstring> jfunc(env, jdecl ? to_jstring(env, func.get()) : nullptr);
    kiv::LocalRef<jstring> jfile(env, jfunc ? to_jstring(env, base.get()) : nullptr);
    kiv::LocalRef<jobject> ste(env, jfile ? env->NewObject(steClass, init, jdecl.get(), jfunc.get(), jfile.get(), line)
                                          : nullptr);
    if (!ste) {
      env->ExceptionClear();
      env->DeleteLocalRef(arr);
      return nullptr;
    }
    env->SetObjectArrayElement(arr, kept++, ste.get());
  }
  *count = kept;
  return arr;
}

// Puts the Python frames (innermost first) in front of the Java frames of exc.  Returns
// false only when a Java call on exc itself threw, leaving that exception pending.
bool merge_traceback(JNIEnv* env, jthrowable exc, PyObject* tb) {
  kiv::LocalFrame frame(env, 32);
  if (!frame.ok()) {
    env->ExceptionClear();
    return true;
  }
  kiv::LocalRef<jclass> steClass(env, env->FindClass("java/lang/StackTraceElement"));
  if (!steClass) {
    env->ExceptionClear();
    return true;
  }
  jsize count = 0;
  kiv::LocalRef<jobjectArray> pyFrames(env, python_frames(env, tb, steClass.get(), &count));
  if (!pyFrames || count == 0) return true;
  kiv::LocalRef<jobjectArray> javaFrames(env, java_lang_Throwable_getStackTrace(env, exc));
  if (env->ExceptionCheck() || !javaFrames) {
    env->ExceptionClear();
    return true;
  }
  jsize javaCount = env->GetArrayLength(javaFrames.get());
  kiv::LocalRef<jobjectArray> merged(env, env->NewObjectArray(count + javaCount, steClass.get(), nullptr));
  if (!merged) {
    env->ExceptionClear();
    return true;
  }
  jsize k = 0;
  for (jsize j = count - 1; j >= 0; --j) {
    kiv::LocalRef<jobject> e(env, env->GetObjectArrayElement(pyFrames.get(), j));
    env->SetObjectArrayElement(merged.get(), k++, e.get());
  }
  for (jsize j = 0; j < javaCount; ++j) {
    kiv::LocalRef<jobject> e(env, env->GetObjectArrayElement(javaFrames.get(), j));
    env->SetObjectArrayElement(merged.get(), k++, e.get());
  }
  java_lang_Throwable_setStackTrace(env, exc, merged.get());
  return !env->ExceptionCheck();
}

// The Java throwable a Python exception carries as its first argument, if any.
jobject carried_throwable(JNIEnv* env, PyObject* subject) {
  if (!PyJObject_Check(subject)) return nullptr;
  jobject obj = reinterpret_cast<PyJObject*>(subject)->object;
  if (!obj || !JTHROWABLE_TYPE || !env->IsInstanceOf(obj, JTHROWABLE_TYPE)) return nullptr;
  return obj;
}

// "<type text>: <message>", or the type text alone when there is no message.
kiv::PyRef final_message(PyObject* typeText, PyObject* message) {
  if (typeText && message) {
    kiv::PyRef m = kiv::PyRef::steal(PyUnicode_FromFormat("%U: %U", typeText, message));
    if (m) return m;
    PyErr_Clear();
  }
  if (typeText) return kiv::PyRef::borrow(typeText);
  return kiv::PyRef::steal(PyUnicode_FromString("<unknown Python exception>"));
}

// A missing module is most often a package installed in another environment than the
// one Kiv runs: the message says which one it runs and how to choose another.  Returns
// the message with that note, or the message itself if the note cannot be made.
kiv::PyRef with_environment_note(PyObject* message) {
  PyObject* prefix = PySys_GetObject("prefix");          // borrowed
  PyObject* executable = PySys_GetObject("executable");  // borrowed
  if (!message || !prefix || !executable || !PyUnicode_Check(prefix) || !PyUnicode_Check(executable)) {
    return kiv::PyRef::borrow(message);
  }
  kiv::PyRef m = kiv::PyRef::steal(PyUnicode_FromFormat(
      "%U\nKiv runs the Python environment %U (%U); install the module there, or choose another Python with "
      "KIV_PYTHON or -Dkiv.python.executable",
      message, prefix, executable));
  if (m) return m;
  PyErr_Clear();
  return kiv::PyRef::borrow(message);
}

void unexpected_java_exception(PyObject* exc) {
  std::fputs("Error while processing a Python exception, unexpected java exception.\n", stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(Py_NewRef(exc));
  kiv::print_python_error();
}

}  // namespace

KIV_API int process_py_exception(JNIEnv* env) {
  if (!PyErr_Occurred()) return 0;
  if (env->ExceptionCheck()) {
    std::puts("WARNING: Kiv internal error. Java exception detected at start of process_py_exception():");
    std::fflush(stdout);
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
  kiv::PyRef exc = kiv::PyRef::steal(PyErr_GetRaisedException());
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));  // borrowed from exc
  kiv::PyRef tb = kiv::PyRef::steal(PyException_GetTraceback(exc.get()));

  if (type == PyExc_SystemExit) {
    kiv::PyRef code = kiv::PyRef::steal(PyObject_GetAttrString(exc.get(), "code"));
    if (!code) {
      PyErr_Clear();
    } else if (code.get() == Py_None) {
      exit_process(env, 0);
    } else if (PyLong_Check(code.get())) {
      exit_process(env, static_cast<int>(PyLong_AsUnsignedLongMask(code.get())));
    }
  }

  kiv::PyRef typeText = kiv::PyRef::steal(PyObject_Str(type));
  if (!typeText) PyErr_Clear();

  kiv::PyRef subject = kiv::PyRef::borrow(exc.get());
  kiv::PyRef args = kiv::PyRef::steal(PyObject_GetAttrString(exc.get(), "args"));
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
    subject = kiv::PyRef::borrow(PyTuple_GET_ITEM(args.get(), 0));
  }
  PyErr_Clear();

  kiv::PyRef message;
  jobject cause = carried_throwable(env, subject.get());
  if (cause) {
    kiv::LocalRef<jstring> jmsg(env, java_lang_Throwable_getLocalizedMessage(env, cause));
    if (env->ExceptionCheck()) {
      unexpected_java_exception(exc.get());
      return 1;
    }
    if (jmsg) {
      message = kiv::PyRef::steal(jstring_As_PyString(env, jmsg.get()));
      if (!message) PyErr_Clear();
    }
  }
  if (!message) {
    message = kiv::PyRef::steal(PyObject_Str(subject.get()));
    if (!message) PyErr_Clear();
  }
  if (message && PyErr_GivenExceptionMatches(type, PyExc_ModuleNotFoundError)) {
    message = with_environment_note(message.get());
  }
  kiv::PyRef text = final_message(typeText.get(), message.get());

  jthrowable kexc = nullptr;
  kiv::LocalRef<jstring> jtext(env, text ? to_jstring(env, text.get()) : nullptr);
  if (jtext) {
    if (cause) {
      jmethodID init = cached_method(&kivExcInitStrThrow, KIV_EXC_TYPE, "<init>",
                                     "(Ljava/lang/String;Ljava/lang/Throwable;)V", env);
      if (init) kexc = static_cast<jthrowable>(env->NewObject(KIV_EXC_TYPE, init, jtext.get(), cause));
    } else {
      jmethodID init = cached_method(&kivExcInitStrLong, KIV_EXC_TYPE, "<init>", "(Ljava/lang/String;J)V", env);
      kiv::remember_exception_type(type);
      if (init) {
        kexc = static_cast<jthrowable>(
            env->NewObject(KIV_EXC_TYPE, init, jtext.get(), static_cast<jlong>(reinterpret_cast<intptr_t>(type))));
      }
    }
  }
  PyErr_Clear();
  if (!kexc || env->ExceptionCheck()) {
    // Whatever failed left its own Java exception (usually OutOfMemoryError) pending:
    // Java sees that one.  Otherwise say what happened.
    if (kexc) env->DeleteLocalRef(kexc);
    kiv::throw_kiv(env, "creating kiv.KivException failed.");
    return 1;
  }
  if (tb && !merge_traceback(env, kexc, tb.get())) {
    env->DeleteLocalRef(kexc);
    unexpected_java_exception(exc.get());
    return 1;
  }
  env->Throw(kexc);
  env->DeleteLocalRef(kexc);
  return 1;
}
