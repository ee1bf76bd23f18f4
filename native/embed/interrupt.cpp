// embed/interrupt.cpp: Interpreter.interrupt(): KeyboardInterrupt in the Python code an
// interpreter binding runs, asked for from any thread.
//
// The binding's thread state gets KeyboardInterrupt as its asynchronous exception, which
// CPython raises in the code it runs at its next check of the eval breaker (every loop
// iteration and call), or as soon as it comes back to Python from a Java call.  Signals
// are no way to do this: the JVM owns SIGINT in most processes (a simulated signal,
// PyErr_SetInterruptEx, is then only reported as ignored), signals only reach the main
// thread of the main interpreter, and a pending call (Py_AddPendingCall) runs on
// whichever thread of the interpreter gets there first.
//
// The request takes the binding's interpreter lock on a thread state of its own.  The
// exception is only posted while the binding's thread state has Python frames, and the
// Java side withdraws one not yet delivered when the outermost call ends, so that a
// request never fires in a later call.
#include <Python.h>
#include <jni.h>

#include "common/checks.h"
#include "common/export.h"
#include "common/gil.h"
#include "common/pyref.h"
#include "embed/embed.h"

namespace {

KivThread* as_record(jlong record) { return reinterpret_cast<KivThread*>(static_cast<intptr_t>(record)); }

// True when ts is inside Python code (it may be waiting for the lock, or in a Java call
// that Python code made).  Requires the lock of ts's interpreter.
bool runs_python(PyThreadState* ts) noexcept { return ts->cframe && ts->cframe->current_frame; }

// Makes the eval loops of the current interpreter look at their thread states'
// asynchronous exceptions.  CPython raises the flag only through
// PyThreadState_SetAsyncExc, which finds its target by thread id: it is aimed at `self`,
// the newest thread state of this OS thread, which is then given nothing to raise.
void signal_async(PyThreadState* self) noexcept {
  PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), PyExc_KeyboardInterrupt);
  Py_CLEAR(self->async_exc);
}

// Brings the eval breaker's flag down again after a withdrawn request: the exception is
// posted to `self` and raised there by running a trivial code object, which clears the
// flag the way a delivered one does.  Otherwise every thread of the interpreter would go
// on checking at each step for an exception that never comes.
void lower_flag(PyThreadState* self) noexcept {
  kiv::PyErrorStash stash;
  kiv::PyRef code = kiv::PyRef::steal(Py_CompileString("None", "<kiv interrupt>", Py_eval_input));
  kiv::PyRef globals = kiv::PyRef::steal(code ? PyDict_New() : nullptr);
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    PyErr_Clear();
    return;
  }
  self->async_exc = Py_NewRef(PyExc_KeyboardInterrupt);
  kiv::PyRef r = kiv::PyRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  Py_CLEAR(self->async_exc);
  PyErr_Clear();
}

}  // namespace

// Any thread, the binding still open (the Java side holds its lock).  Posts
// KeyboardInterrupt to the binding's thread state if it runs Python code now.
extern "C" KIV_EXPORT void JNICALL Java_kiv_Kiv_interruptNative(JNIEnv*, jobject, jlong record) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (!rec) return;
  kiv::TemporaryThreadState self(rec->tstate->interp);
  if (!self.ok()) return;
  PyThreadState* target = rec->tstate;
  if (!runs_python(target)) return;
  PyObject* old = target->async_exc;
  target->async_exc = Py_NewRef(PyExc_KeyboardInterrupt);
  Py_XDECREF(old);
  signal_async(self.get());
}

// The owner thread, after its outermost call: withdraws a request not delivered.  True
// when there was one.
extern "C" KIV_EXPORT jboolean JNICALL Java_kiv_Kiv_withdrawInterrupt(JNIEnv*, jobject, jlong record) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = as_record(record);
  if (!rec) return JNI_FALSE;
  kiv::TemporaryThreadState self(rec->tstate->interp);
  if (!self.ok()) return JNI_FALSE;
  PyThreadState* target = rec->tstate;
  if (!target->async_exc) return JNI_FALSE;
  Py_CLEAR(target->async_exc);
  lower_flag(self.get());
  return JNI_TRUE;
}
