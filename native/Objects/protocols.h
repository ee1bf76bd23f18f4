// Objects/protocols.h: what the protocol types share (Objects/pyjcollection.cpp,
// pyjlist.cpp, pyjmap.cpp, pyjnumber.cpp, pyjbuffer.cpp).  Each protocol type carries no
// data of its own: its slots work on the PyJObject record of the Java object they are
// called on.  Library-private.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"

namespace kiv {

// Base types only: never instantiated from Python (a record made that way would hold
// no Java object), but per-class types derive from them.
constexpr unsigned long kProtocolFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// The Java object a protocol slot works on: self's object, when self is a Java object
// wrapper whose object is an instance of iface.  Anything else (a Python subclass mixed
// with another layout, a class wrapper, an object of another class that shares the
// type's name) gets TypeError "<what> requires a Java object" and nullptr: its slots
// must not hand JNI a receiver that lacks the interface.  env must be this thread's.
jobject java_self(JNIEnv* env, PyObject* self, jclass iface, const char* what) noexcept;

// A Java call's outcome: true when a Java exception was pending (it is now the Python
// error), or when the call returned null without one (then RuntimeError "<what>
// returned null" is set).  For calls whose null result is an error.
bool null_or_failed(JNIEnv* env, jobject result, const char* what) noexcept;

// A Collection or Map size() read: the size, or -1 with the Java exception translated,
// or ValueError "<what> returned a negative value".
Py_ssize_t checked_size(JNIEnv* env, jint size, const char* what) noexcept;

// The values of a slice assignment target[start:stop] = value (kind names the target's
// type in the messages): a new list or tuple of exactly stop - start items, held while
// they are converted (the value may be a view of the target itself).  nullptr with
// TypeError "<kind> can only slice assign a sequence", or with IndexError "<kind> only
// supports assigning a sequence of the same size as the slice, ..." (the target's length
// never changes).
PyObject* slice_values(PyObject* value, Py_ssize_t start, Py_ssize_t stop, const char* kind) noexcept;

}  // namespace kiv
