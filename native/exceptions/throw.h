// exceptions/throw.h: throwing Java exceptions from native code.  Needs JNI only, so
// code that runs before Python (the class caches) can use it too.
#pragma once

#include <jni.h>

#include "common/export.h"

// Throws java.lang.IllegalStateException with msg; with print set, first prints (and
// clears) the pending Python error, without acting on SystemExit.  For failures while
// Python starts and interpreter bindings are made.
KIV_API void pyembed_throw_illegal_state(JNIEnv* env, const char* msg, int print);

namespace kiv {

// Throws a Java exception of the given cached class with a message, unless one is
// already pending (which then stays) or the class is not cached.
void throw_new(JNIEnv* env, jclass cls, const char* message) noexcept;
// Throws kiv.KivException with the message, unless a Java exception is pending.
void throw_kiv(JNIEnv* env, const char* message) noexcept;
// Throws a new `class_name` (a JNI class name, looked up now) with `message`, unless a
// Java exception is already pending, which then stays.
void throw_java_unless_pending(JNIEnv* env, const char* class_name, const char* message) noexcept;

// Throws the OutOfMemoryError made at start-up, unless a Java exception is pending:
// when memory is short, looking up a class and building an exception may fail too.
// Before start-up it falls back to a new one.
void throw_out_of_memory(JNIEnv* env) noexcept;
// Makes that error (at start-up: false with a Java exception pending if it cannot),
// and lets it go (at shutdown).  Each is the only function that does.
bool make_out_of_memory_error(JNIEnv* env) noexcept;
void release_out_of_memory_error(JNIEnv* env) noexcept;

}  // namespace kiv
