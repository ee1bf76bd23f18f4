// exceptions/pyexception.cpp: a Python error on its way back to Java becomes a
// kiv.KivException whose stack trace starts with the Python traceback.  The translation
// never prints and never loses the error: whatever part of it cannot be made (near the
// recursion limit, or when Java code it calls throws) is left out, and Java gets an
// exception of the Python type all the same.
#include <Python.h>
#include <jni.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/state.h"
#include "exceptions/exceptions.h"

namespace kiv {

void print_python_error() noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  PyErr_DisplayException(exc);
  Py_DECREF(exc);
  PyErr_Clear();
}

void throw_kiv_text(JNIEnv* env, PyObject* message) noexcept {
  if (env->ExceptionCheck()) return;
  PyErrorStash stash;
  LocalRef<jstring> text(env, message && PyUnicode_Check(message) ? unicode_to_jstring(env, message) : nullptr);
  PyErr_Clear();
  if (!text) {
    if (!env->ExceptionCheck()) throw_kiv(env, "(a message that could not be made)");
    return;
  }
  LocalRef<jobject> e(env, kiv_KivException_new_Python(env, text.get(), nullptr, 0, nullptr, nullptr));
  if (e && !env->ExceptionCheck()) env->Throw(static_cast<jthrowable>(e.get()));
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

// One frame of a traceback: file, function and line.
struct Frame {
  kiv::PyRef file;
  kiv::PyRef function;
  int line;
};

// The frames of a traceback, outermost first, read straight from the traceback objects:
// no Python code runs, so this works at the recursion limit too.  Frames whose line is
// not known are left out (as the traceback module gives no source line for them).
// Leaves no Python error behind; false when memory ran out.
bool traceback_frames(PyObject* tb, std::vector<Frame>& out) {
  try {
    for (PyObject* t = tb; t && PyTraceBack_Check(t);
         t = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(t)->tb_next)) {
      kiv::PyRef lineno = kiv::PyRef::steal(PyObject_GetAttrString(t, "tb_lineno"));
      if (!lineno || !PyLong_Check(lineno.get())) {
        PyErr_Clear();
        continue;
      }
      long line = PyLong_AsLong(lineno.get());
      if (line == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        continue;
      }
      PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(t)->tb_frame;
      if (!frame) continue;
      kiv::PyRef code = kiv::PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
      PyCodeObject* c = reinterpret_cast<PyCodeObject*>(code.get());
      if (!PyUnicode_Check(c->co_filename) || !PyUnicode_Check(c->co_name)) continue;
      out.push_back(Frame{kiv::PyRef::borrow(c->co_filename), kiv::PyRef::borrow(c->co_name),
                          line > INT32_MAX ? -1 : static_cast<int>(line)});
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The Java stack trace elements of the frames, outermost first, or nullptr when they
// cannot be made.  Leaves no Python error and no Java exception behind.
jobjectArray java_frames(JNIEnv* env, const std::vector<Frame>& frames, jclass steClass) {
  jmethodID init = cached_method(&stackTraceElemInit, steClass, "<init>",
                                 "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V", env);
  jsize n = static_cast<jsize>(frames.size() > INT32_MAX / 2 ? INT32_MAX / 2 : frames.size());
  jobjectArray arr = init ? env->NewObjectArray(n, steClass, nullptr) : nullptr;
  if (!arr) {
    env->ExceptionClear();
    return nullptr;
  }
  for (jsize j = 0; j < n; ++j) {
    const Frame& f = frames[static_cast<size_t>(j)];
    kiv::PyRef declaring = before_last(f.file.get(), '.');
    kiv::PyRef base = after_last(f.file.get(), '/');
    kiv::LocalRef<jstring> jdecl(env, declaring ? to_jstring(env, declaring.get()) : nullptr);
    kiv::LocalRef<jstring> jfunc(env, jdecl ? to_jstring(env, f.function.get()) : nullptr);
    kiv::LocalRef<jstring> jfile(env, jfunc && base ? to_jstring(env, base.get()) : nullptr);
    kiv::LocalRef<jobject> ste(env, jfile ? env->NewObject(steClass, init, jdecl.get(), jfunc.get(), jfile.get(), f.line)
                                          : nullptr);
    if (!ste) {
      PyErr_Clear();
      env->ExceptionClear();
      env->DeleteLocalRef(arr);
      return nullptr;
    }
    env->SetObjectArrayElement(arr, j, ste.get());
  }
  return arr;
}

// Puts the Python frames (innermost first) in front of the Java frames of exc.  Returns
// false only when a Java call on exc itself threw, leaving that exception pending.
bool merge_traceback(JNIEnv* env, jthrowable exc, const std::vector<Frame>& frames) {
  if (frames.empty()) return true;
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
  kiv::LocalRef<jobjectArray> pyFrames(env, java_frames(env, frames, steClass.get()));
  if (!pyFrames) return true;
  jsize count = env->GetArrayLength(pyFrames.get());
  kiv::LocalRef<jobjectArray> javaFrames(env, java_lang_Throwable_getStackTrace(env, exc));
  if (env->ExceptionCheck() || !javaFrames) {
    env->ExceptionClear();
    return true;
  }
  jsize javaCount = env->GetArrayLength(javaFrames.get());
  if (javaCount > INT32_MAX - count) return true;
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

// The type's name as Python's traceback shows it: "ValueError" for built-in types and
// those of __main__, "module.QualName" otherwise.  Never sets an error.
kiv::PyRef type_name(PyTypeObject* type) {
  kiv::PyRef qualname = kiv::PyRef::steal(PyType_GetQualName(type));
  kiv::PyRef module = kiv::PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyErr_Clear();
  if (!qualname) return kiv::PyRef::steal(PyUnicode_FromString(type->tp_name));
  if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0 ||
      PyUnicode_CompareWithASCIIString(module.get(), "__main__") == 0) {
    return qualname;
  }
  kiv::PyRef full = kiv::PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
  if (!full) PyErr_Clear();
  return full ? std::move(full) : std::move(qualname);
}

// A SyntaxError's message with where it is: "msg (file, line L, column C)", then the
// offending line and a caret under the column, as Python shows them.  Null (no error
// set) when exc carries no message.
kiv::PyRef syntax_error_text(PyObject* exc) {
  auto* se = reinterpret_cast<PySyntaxErrorObject*>(exc);
  if (!se->msg || !PyUnicode_Check(se->msg)) return {};
  kiv::PyRef where = kiv::PyRef::steal(PyUnicode_FromString(""));
  long line = se->lineno && PyLong_Check(se->lineno) ? PyLong_AsLong(se->lineno) : -1;
  long column = se->offset && PyLong_Check(se->offset) ? PyLong_AsLong(se->offset) : -1;
  PyErr_Clear();
  PyObject* file = se->filename && PyUnicode_Check(se->filename) ? se->filename : nullptr;
  if (file && line > 0 && column > 0) {
    where = kiv::PyRef::steal(PyUnicode_FromFormat(" (%U, line %ld, column %ld)", file, line, column));
  } else if (file && line > 0) {
    where = kiv::PyRef::steal(PyUnicode_FromFormat(" (%U, line %ld)", file, line));
  }
  kiv::PyRef shown = kiv::PyRef::steal(PyUnicode_FromString(""));
  if (se->text && PyUnicode_Check(se->text)) {
    // The line without its end and leading blanks; the caret moves left with it.
    PyObject* text = se->text;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text), from = 0;
    while (n > 0 && (PyUnicode_READ_CHAR(text, n - 1) == '\n' || PyUnicode_READ_CHAR(text, n - 1) == '\r')) --n;
    while (from < n && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, from))) ++from;
    kiv::PyRef stripped = kiv::PyRef::steal(PyUnicode_Substring(text, from, n));
    if (stripped) {
      long caret = column - 1 - static_cast<long>(from);
      if (column > 0 && caret >= 0 && caret <= n - from) {
        shown = kiv::PyRef::steal(PyUnicode_FromFormat("\n    %U\n    %*s^", stripped.get(), static_cast<int>(caret), ""));
      } else {
        shown = kiv::PyRef::steal(PyUnicode_FromFormat("\n    %U", stripped.get()));
      }
    }
  }
  if (!where || !shown) {
    PyErr_Clear();
    return kiv::PyRef::borrow(se->msg);
  }
  kiv::PyRef text = kiv::PyRef::steal(PyUnicode_FromFormat("%U%U%U", se->msg, where.get(), shown.get()));
  if (!text) {
    PyErr_Clear();
    return kiv::PyRef::borrow(se->msg);
  }
  return text;
}

// Python code may run for the traceback text only with this many levels of recursion
// left; nearer the limit the text is made without it.
constexpr int kTracebackHeadroom = 60;

// The traceback of exc as Python prints it (traceback.format_exception), or null (no
// error set) when it cannot be made: near the recursion limit, or when formatting fails.
kiv::PyRef formatted_traceback(PyObject* exc) {
  PyThreadState* ts = PyThreadState_Get();
  if (ts->py_recursion_remaining < kTracebackHeadroom || ts->c_recursion_remaining < kTracebackHeadroom) return {};
  kiv::PyRef module = kiv::PyRef::steal(PyImport_ImportModule("traceback"));
  kiv::PyRef lines = kiv::PyRef::steal(module ? PyObject_CallMethod(module.get(), "format_exception", "O", exc) : nullptr);
  kiv::PyRef empty = kiv::PyRef::steal(lines ? PyUnicode_FromString("") : nullptr);
  kiv::PyRef text = kiv::PyRef::steal(empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
  if (!text) PyErr_Clear();
  return text;
}

// The traceback text without running Python code: the frames, then "Type: message".
kiv::PyRef plain_traceback(const std::vector<Frame>& frames, PyObject* name, PyObject* message) {
  kiv::PyRef text = kiv::PyRef::steal(PyUnicode_FromString(frames.empty() ? "" : "Traceback (most recent call last):\n"));
  for (const Frame& f : frames) {
    if (!text) break;
    kiv::PyRef line = kiv::PyRef::steal(
        PyUnicode_FromFormat("  File \"%U\", line %d, in %U\n", f.file.get(), f.line, f.function.get()));
    text = kiv::PyRef::steal(line ? PyUnicode_Concat(text.get(), line.get()) : nullptr);
  }
  kiv::PyRef last;
  if (text && name && message && PyUnicode_GET_LENGTH(message) > 0) {
    last = kiv::PyRef::steal(PyUnicode_FromFormat("%U: %U\n", name, message));
  } else if (text && name) {
    last = kiv::PyRef::steal(PyUnicode_FromFormat("%U\n", name));
  }
  if (last) text = kiv::PyRef::steal(PyUnicode_Concat(text.get(), last.get()));
  if (!text) PyErr_Clear();
  return text;
}

// A Java string of a Python str, or null (nothing pending) when there is none or it
// cannot be made.
kiv::LocalRef<jstring> optional_jstring(JNIEnv* env, PyObject* s) {
  kiv::LocalRef<jstring> j(env, s && PyUnicode_Check(s) ? to_jstring(env, s) : nullptr);
  if (!j) {
    env->ExceptionClear();
    PyErr_Clear();
  }
  return j;
}

// Whether SystemExit leaving Python code of the current binding reaches Java as
// kiv.SystemExitException (the binding's kiv.Kiv says so) rather than ending the process.
bool exit_throws(JNIEnv* env) {
  kiv::PyErrorStash stash;
  KivThread* rec = pyembed_get_kivthread();
  PyErr_Clear();
  if (!rec || !rec->caller) return false;
  kiv::LocalRef<jclass> cls(env, env->GetObjectClass(rec->caller));
  jfieldID field = cls ? env->GetFieldID(cls.get(), "systemExitThrows", "Z") : nullptr;
  if (!field) {
    env->ExceptionClear();
    return false;
  }
  return env->GetBooleanField(rec->caller, field) == JNI_TRUE;
}

// The process status of a SystemExit's code, as python computes it: 0 for None, the
// int itself, the status a SystemExitException carries (SystemExit raised again by
// Java after it crossed), else 1.  *numeric tells whether the code named a status.
int exit_status(JNIEnv* env, PyObject* code, bool* numeric) {
  *numeric = true;
  if (!code || code == Py_None) return 0;
  if (PyLong_Check(code)) return static_cast<int>(PyLong_AsUnsignedLongMask(code));
  if (PyJObject_Check(code)) {
    jobject obj = reinterpret_cast<PyJObject*>(code)->object;
    if (obj && KIV_SYSEXIT_TYPE && env->IsInstanceOf(obj, KIV_SYSEXIT_TYPE)) {
      jint status = kiv_SystemExitException_getStatus(env, obj);
      if (!env->ExceptionCheck()) return status;
      env->ExceptionClear();
    }
  }
  *numeric = false;
  return 1;
}

// The name of the Java class of obj, as a Python str, or null (nothing pending).
kiv::PyRef java_class_name(JNIEnv* env, jobject obj) {
  kiv::LocalRef<jclass> cls(env, env->GetObjectClass(obj));
  kiv::LocalRef<jstring> name(env, cls ? java_lang_Class_getName(env, cls.get()) : nullptr);
  kiv::PyRef text = kiv::PyRef::steal(name && !env->ExceptionCheck() ? jstring_As_PyString(env, name.get()) : nullptr);
  env->ExceptionClear();
  PyErr_Clear();
  return text;
}

// Whether s starts with prefix (both str).
bool starts_with(PyObject* s, PyObject* prefix) {
  Py_ssize_t r = PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1);
  if (r < 0) PyErr_Clear();
  return r == 1;
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
  std::vector<Frame> frames;
  if (tb && !traceback_frames(tb.get(), frames)) frames.clear();

  // SystemExit ends the process, unless the binding asked for a SystemExitException.
  bool exitThrows = false;
  int status = 1;
  if (type == PyExc_SystemExit) {
    kiv::PyRef code = kiv::PyRef::steal(PyObject_GetAttrString(exc.get(), "code"));
    if (!code) {
      PyErr_Clear();
    } else {
      bool numeric = false;
      status = exit_status(env, code.get(), &numeric);
      exitThrows = exit_throws(env);
      if (!exitThrows && numeric) exit_process(env, status);
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
  bool complete = false;  // message is already "<type text>: ..."
  if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
    message = syntax_error_text(exc.get());
  }
  jobject cause = carried_throwable(env, subject.get());
  if (cause && !message) {
    kiv::LocalRef<jstring> jmsg(env, java_lang_Throwable_getLocalizedMessage(env, cause));
    if (env->ExceptionCheck()) {
      // The throwable's own getMessage threw.  That exception is dropped (it must not
      // stay pending while more Java is called), and the class stands for the message.
      env->ExceptionClear();
      jmsg.reset();
      message = java_class_name(env, cause);
    } else if (jmsg) {
      message = kiv::PyRef::steal(jstring_As_PyString(env, jmsg.get()));
      if (!message) PyErr_Clear();
      // A kiv.KivException of this same type coming back: its message says it all.
      complete = message && typeText && starts_with(message.get(), typeText.get());
    }
  }
  if (!message) {
    message = kiv::PyRef::steal(PyObject_Str(subject.get()));
    if (!message) {
      PyErr_Clear();
      if (cause) message = java_class_name(env, cause);
    }
  }
  if (message && !complete && PyErr_GivenExceptionMatches(type, PyExc_ModuleNotFoundError)) {
    message = with_environment_note(message.get());
  }
  kiv::PyRef text = complete ? kiv::PyRef::borrow(message.get()) : final_message(typeText.get(), message.get());
  kiv::PyRef name = type_name(reinterpret_cast<PyTypeObject*>(type));
  kiv::PyRef traceback = formatted_traceback(exc.get());
  if (!traceback) traceback = plain_traceback(frames, name.get(), message.get());
  PyErr_Clear();

  jthrowable kexc = nullptr;
  kiv::LocalRef<jstring> jtext(env, text ? to_jstring(env, text.get()) : nullptr);
  if (jtext) {
    kiv::LocalRef<jstring> jname = optional_jstring(env, name.get());
    kiv::LocalRef<jstring> jtraceback = optional_jstring(env, traceback.get());
    kiv::remember_exception_type(type);
    jlong address = static_cast<jlong>(reinterpret_cast<intptr_t>(type));
    if (exitThrows) {
      kexc = static_cast<jthrowable>(kiv_SystemExitException_new_Python(env, jtext.get(), address, jtraceback.get(), status));
    } else {
      kexc = static_cast<jthrowable>(kiv_KivException_new_Python(env, jtext.get(), static_cast<jthrowable>(cause),
                                                                 address, jname.get(), jtraceback.get()));
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
  if (!merge_traceback(env, kexc, frames)) {
    // setStackTrace threw (a JVM out of memory): the exception keeps its Java frames.
    env->ExceptionClear();
  }
  env->Throw(kexc);
  env->DeleteLocalRef(kexc);
  return 1;
}
