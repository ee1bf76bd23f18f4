// convert/convert.h: conversions between Java and Python values.
#pragma once

#include <Python.h>
#include <jni.h>

#include "common/export.h"

// A Java string (not null) as a Python str: its UTF-16 decoded in the platform's byte
// order.  New reference, or nullptr with a Python error set (a lone surrogate gives
// UnicodeDecodeError).
KIV_API PyObject* jstring_As_PyString(JNIEnv* env, jstring str);

// One UTF-16 code unit as a one-character str.  New reference or nullptr + error.
KIV_API PyObject* jchar_As_PyObject(jchar c);

namespace kiv {

// A Python str as a Java String holding exactly its characters: code points above
// U+FFFF become surrogate pairs and lone surrogates travel unchanged.  A new local
// reference, or nullptr with a Java OutOfMemoryError pending.  Never sets a Python
// error.  Requires: str is a str.
jstring unicode_to_jstring(JNIEnv* env, PyObject* str) noexcept;

}  // namespace kiv
