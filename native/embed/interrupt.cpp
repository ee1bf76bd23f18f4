// embed/interrupt.cpp: Ctrl-C for the Python code of one thread of the main interpreter
// (the kiv command's console).
//
// The JVM owns SIGINT, so Python's signal machinery never sees it: its handler table
// has no Python handler for SIGINT, and a simulated signal (PyErr_SetInterruptEx) would
// only be reported as ignored.  Instead the thread chosen with markInterruptTarget gets
// KeyboardInterrupt as an asynchronous exception, which CPython raises in the code it
// runs at its next check of the eval breaker (every loop iteration and call), or as soon
// as it comes back to Python from a Java call.  The request may come from any thread
// (a signal handler's): it briefly takes the main interpreter's lock on a thread state
// of its own.
#include <Python.h>
#include <jni.h>

#include <atomic>

#include "common/checks.h"
#include "common/export.h"
#include "common/gil.h"
#include "embed/embed.h"

namespace {

// The Python thread id (PyThread_get_thread_ident) whose code is interrupted; 0: none.
std::atomic<unsigned long> target{0};

// Sets (exc KeyboardInterrupt) or clears (exc nullptr) the asynchronous exception of
// the target's newest thread state in the main interpreter.
void set_async(PyObject* exc) noexcept {
  unsigned long id = target.load();
  PyInterpreterState* interp = kiv::main_interpreter();
  if (id == 0 || !interp) return;
  kiv::TemporaryThreadState ts(interp);
  if (ts.ok()) PyThreadState_SetAsyncExc(id, exc);
}

}  // namespace

// Any thread: the code of this thread is what requestInterrupt interrupts from now on.
extern "C" KIV_EXPORT void JNICALL Java_kiv_MainInterpreter_markInterruptTargetNative(JNIEnv*, jclass) noexcept {
  KIV_JNI_BOUNDARY();
  target.store(PyThread_get_thread_ident());
}

extern "C" KIV_EXPORT void JNICALL Java_kiv_MainInterpreter_requestInterruptNative(JNIEnv*, jclass) noexcept {
  KIV_JNI_BOUNDARY();
  set_async(PyExc_KeyboardInterrupt);
}

extern "C" KIV_EXPORT void JNICALL Java_kiv_MainInterpreter_cancelInterruptNative(JNIEnv*, jclass) noexcept {
  KIV_JNI_BOUNDARY();
  set_async(nullptr);
}
