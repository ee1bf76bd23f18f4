// embed/run.cpp: running statements, expressions, scripts and compiled files.
#include <Python.h>
#include <marshal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "access/access.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/embed.h"
#include "exceptions/exceptions.h"

namespace {

// Refuses text whose UTF-8 holds a zero byte, as compile() does: a C string would end
// there and the rest would silently not run.
bool refuse_nul(const char* src, size_t len) {
  if (std::strlen(src) == len) return false;
  PyErr_SetString(PyExc_ValueError, "source code string cannot contain null bytes");
  return true;
}

bool ends_with(const char* s, size_t len, const char* suffix) {
  size_t n = std::strlen(suffix);
  return len >= n && std::memcmp(s + len - n, suffix, n) == 0;
}

// Runs the code object of a compiled file: a 16-byte header (the magic number, then
// three words that are read and ignored) and one marshalled code object.  Sets a
// Python error on failure.
void run_compiled(FILE* fp, PyObject* globals) {
  long magic = PyMarshal_ReadLongFromFile(fp);
  if (PyErr_Occurred() || magic != PyImport_GetMagicNumber()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "Bad magic number in .pyc file");
    return;
  }
  for (int i = 0; i < 3; ++i) PyMarshal_ReadLongFromFile(fp);
  kiv::PyRef code;
  if (!PyErr_Occurred()) code = kiv::PyRef::steal(PyMarshal_ReadLastObjectFromFile(fp));
  if (!code || !Py_IS_TYPE(code.get(), &PyCode_Type)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "Bad code object in .pyc file");
    return;
  }
  kiv::PyRef r = kiv::PyRef::steal(PyEval_EvalCode(code.get(), globals, globals));
}

// Throws kiv.KivException "Couldn't open script file '<path>': <reason>".  The path is
// UTF-8 that need not be modified UTF-8, so the message is made as a Python str.
void throw_cannot_open(JNIEnv* env, const char* path, size_t len, int err) {
  kiv::PyErrorStash stash;
  kiv::PyRef name = kiv::PyRef::steal(PyUnicode_DecodeUTF8(path, static_cast<Py_ssize_t>(len), "surrogatepass"));
  kiv::PyRef text = kiv::PyRef::steal(
      name ? PyUnicode_FromFormat("Couldn't open script file '%U': %s", name.get(), std::strerror(err)) : nullptr);
  PyErr_Clear();
  if (text) {
    kiv::throw_kiv_text(env, text.get());
  } else {
    kiv::throw_kiv(env, "Couldn't open script file.");
  }
}

}  // namespace

namespace kiv {

void eval_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept {
  if (rec && !src) return;
  on_record(env, rec, 0, [&] {
    if (PyErr_Occurred()) return 0;  // an error already pending is reported instead
    if (!refuse_nul(src, len)) {
      PyRef r = PyRef::steal(PyRun_StringFlags(src, Py_single_input, rec->globals, rec->globals, nullptr));
    }
    flush_std_streams();
    return 0;
  });
}

void exec_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept {
  if (rec && !src) return;
  on_record(env, rec, 0, [&] {
    if (!refuse_nul(src, len)) {
      PyRef r = PyRef::steal(PyRun_StringFlags(src, Py_file_input, rec->globals, rec->globals, nullptr));
    }
    return 0;
  });
}

int compile_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept {
  if (!rec) {
    throw_kiv(env, kNoRecord);
    return 0;
  }
  if (!src) return 0;
  return on_record(env, rec, -1, [&] {
    if (refuse_nul(src, len)) return -1;
    PyRef code = PyRef::steal(Py_CompileStringExFlags(src, "<stdin>", Py_single_input, nullptr, -1));
    if (code) return 1;
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return -1;
    PyErr_Clear();  // does not compile (yet): not an error
    return 0;
  });
}

void run_file(JNIEnv* env, KivThread* rec, const char* path, size_t len) noexcept {
  if (rec && !path) return;
  on_record(env, rec, 0, [&] {
    FILE* fp = std::strlen(path) == len ? std::fopen(path, "r") : nullptr;
    if (!fp) {
      throw_cannot_open(env, path, len, std::strlen(path) == len ? errno : EINVAL);
      return 0;
    }
    if (ends_with(path, len, ".pyc") || ends_with(path, len, ".pyo")) {
      std::fclose(fp);
      fp = std::fopen(path, "rb");
      if (!fp) {
        throw_kiv(env, "pyembed_run: Can't reopen .pyc file");
        return 0;
      }
      run_compiled(fp, rec->globals);
    } else {
      PyRef r = PyRef::steal(PyRun_FileExFlags(fp, path, Py_file_input, rec->globals, rec->globals, 0, nullptr));
    }
    flush_std_streams();
    std::fclose(fp);
    return 0;
  });
}

}  // namespace kiv

KIV_API void pyembed_eval(JNIEnv* env, KivThread* rec, const char* source) {
  kiv::eval_source(env, rec, source, source ? std::strlen(source) : 0);
}

KIV_API void pyembed_exec(JNIEnv* env, KivThread* rec, const char* source) {
  kiv::exec_source(env, rec, source, source ? std::strlen(source) : 0);
}

KIV_API int pyembed_compile_string(JNIEnv* env, KivThread* rec, const char* source) {
  return kiv::compile_source(env, rec, source, source ? std::strlen(source) : 0);
}

KIV_API void pyembed_run(JNIEnv* env, KivThread* rec, const char* file) {
  kiv::run_file(env, rec, file, file ? std::strlen(file) : 0);
}
