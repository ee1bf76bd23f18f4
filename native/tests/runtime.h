// tests/runtime.h: the JVM and the Python interpreter that the native tests share, one
// of each per process, started by main() before any test and ended after the last.
#pragma once

#include <Python.h>  // before any standard header
#include <jni.h>

namespace kiv_test {

// The main thread's environment (the JVM was created on it).
JNIEnv* env();

// The main interpreter's thread state of the main thread.  Every test starts and must
// end with it current and the interpreter lock held.
PyThreadState* main_tstate();

// A new java.lang.Object as a local reference.
jobject new_object(JNIEnv* env);

// A weak global reference to obj, so a test can tell when obj became unreachable.
jweak watch(JNIEnv* env, jobject obj);

// Runs System.gc() until the object behind `weak` is collected (true), or gives up
// after a few rounds (false).  Deletes nothing.
bool collected(JNIEnv* env, jweak weak);

// The thread states of an interpreter; its lock must be held.
int thread_states_of(PyInterpreterState* interp);

// True when Python code runs in the current thread state.
bool python_runs();
}  // namespace kiv_test
