// convert/pystring.cpp: strings between Java and Python.
#include <Python.h>
#include <jni.h>

#include <cstdlib>
#include <cstring>

#include "access/access.h"
#include "common/jref.h"
#include "convert/convert.h"
#include "convert/text.h"
#include "exceptions/throw.h"

namespace {

// Little-endian hosts decode UTF-16 with byteorder -1, big-endian ones with 1.  Zero
// would sniff (and eat) a leading U+FEFF as a byte-order mark.
constexpr int kNativeUtf16Order = PY_LITTLE_ENDIAN ? -1 : 1;

}  // namespace

// Every Java string arrives intact: a lone surrogate (legal in a Java string) becomes
// the same lone code point in Python, which unicode_to_jstring gives back unchanged.
KIV_API PyObject* jstring_As_PyString(JNIEnv* env, jstring str) {
  jsize n = env->GetStringLength(str);
  const jchar* units = env->GetStringChars(str, nullptr);
  if (!units) {
    env->ExceptionClear();
    return PyErr_NoMemory();
  }
  int order = kNativeUtf16Order;
  PyObject* result =
      PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(units), static_cast<Py_ssize_t>(n) * 2, "surrogatepass", &order);
  env->ReleaseStringChars(str, units);
  return result;
}

KIV_API PyObject* jchar_As_PyObject(jchar c) {
  Py_UCS2 unit = c;
  return PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, &unit, 1);
}

namespace kiv {

jstring unicode_to_jstring(JNIEnv* env, PyObject* str) noexcept {
  Py_ssize_t len = PyUnicode_GET_LENGTH(str);
  if (len == 0) return env->NewStringUTF("");
  int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  if (kind == PyUnicode_2BYTE_KIND) {
    return env->NewString(static_cast<const jchar*>(data), static_cast<jsize>(len));
  }
  if (kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(str)) {
    // ASCII is also modified UTF-8, and NewStringUTF skips the widening copy.
    if (std::memchr(data, 0, static_cast<size_t>(len)) == nullptr) {
      return env->NewStringUTF(static_cast<const char*>(data));
    }
  }
  // Widen (1-byte kind) or split into surrogate pairs (4-byte kind).
  size_t cap = kind == PyUnicode_4BYTE_KIND ? static_cast<size_t>(len) * 2 : static_cast<size_t>(len);
  jchar stackbuf[256];
  jchar* buf = cap <= 256 ? stackbuf : static_cast<jchar*>(std::malloc(cap * sizeof(jchar)));
  if (!buf) {
    throw_out_of_memory(env);
    return nullptr;
  }
  size_t n = 0;
  for (Py_ssize_t i = 0; i < len; ++i) {
    Py_UCS4 cp = PyUnicode_READ(kind, data, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      buf[n++] = static_cast<jchar>(0xD800 + (cp >> 10));
      buf[n++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
    } else {
      buf[n++] = static_cast<jchar>(cp);
    }
  }
  // GCC cannot see that the loop above filled buf (len > 0 here).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  jstring result = env->NewString(buf, static_cast<jsize>(n));
#pragma GCC diagnostic pop
  if (buf != stackbuf) std::free(buf);
  return result;
}

}  // namespace kiv
