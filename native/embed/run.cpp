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
#include "embed/binding_cache.h"
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

namespace {

// How a text is compiled: its start symbol and file name, and the tag of its cache key.
struct CompileMode {
  int start;
  const char* filename;
  char16_t tag;
};
constexpr CompileMode kExecMode{Py_file_input, "<string>", BindingCache::kExec};
constexpr CompileMode kEvalMode{Py_single_input, "<string>", BindingCache::kEval};
constexpr CompileMode kConsoleMode{Py_single_input, "<stdin>", BindingCache::kConsole};

// The code object of source, as PyRun_String compiles it (no compiler flags, the
// interpreter's optimisation level).  New reference, or nullptr with a Python error set.
PyObject* compile(const char* src, size_t len, CompileMode mode) {
  if (refuse_nul(src, len)) return nullptr;
  return Py_CompileStringExFlags(src, mode.filename, mode.start, nullptr, -1);
}

// Runs a code object in globals as PyRun_String runs the code it compiles: the "exec"
// audit event, then __builtins__ put into globals when missing.
PyObject* run_code(PyObject* code, PyObject* globals, PyObject* builtinsName) {
  if (PySys_Audit("exec", "O", code) < 0) return nullptr;
  PyObject* builtins = builtinsName ? PyDict_GetItemWithError(globals, builtinsName)
                                    : PyDict_GetItemString(globals, "__builtins__");
  if (!builtins) {
    if (PyErr_Occurred() || PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  }
  return PyEval_EvalCode(code, globals, globals);
}

// Runs source text compiled in `mode`; the result, or nullptr with a Python error set.
PyObject* run_source(KivThread* rec, const char* src, size_t len, CompileMode mode) {
  PyRef code = PyRef::steal(compile(src, len, mode));
  return code ? run_code(code.get(), rec->globals, nullptr) : nullptr;
}

}  // namespace

PyRef compile_cached(JNIEnv* env, KivThread* rec, jstring text, const JavaText& key, int start, const char* filename) {
  CompileMode mode{start, filename, key.ok() ? key.key()[0] : u'\0'};
  BindingCache* cache = key.ok() ? binding_cache(rec) : nullptr;
  if (cache) {
    if (PyObject* hit = cache->code.find(key.key())) return PyRef::borrow(hit);
  }
  JavaUtf8 utf8(env, text);
  if (!utf8.ok()) return PyRef();  // OutOfMemoryError pending
  PyRef code = PyRef::steal(compile(utf8.c_str(), utf8.size(), mode));
  // Compiling the same text again gives an equal code object: the texts that compile
  // are kept.  (Code objects are immutable; each run makes its own frame.)
  if (code && cache) cache->code.put(key.key(), code.get());
  return code;
}

PyObject* run_cached(KivThread* rec, PyObject* code) {
  BindingCache* cache = rec->cache;
  return run_code(code, rec->globals, cache ? cache->builtinsName : nullptr);
}

namespace {

// exec and eval of Java text: the code from the binding's cache, else compiled and kept.
void run_text(JNIEnv* env, KivThread* rec, jstring text, CompileMode mode) noexcept {
  if (rec && !text) return;
  JavaText key(env, text, mode.tag, BindingCache::kMaxText);
  on_record(env, rec, 0, [&] {
    if (mode.start == Py_single_input && PyErr_Occurred()) return 0;  // an error already pending is reported instead
    PyRef code = compile_cached(env, rec, text, key, mode.start, mode.filename);
    if (code) PyRef r = PyRef::steal(run_cached(rec, code.get()));
    if (mode.start == Py_single_input) flush_std_streams();
    return 0;
  });
}

}  // namespace

void eval_text(JNIEnv* env, KivThread* rec, jstring text) noexcept { run_text(env, rec, text, kEvalMode); }

void exec_text(JNIEnv* env, KivThread* rec, jstring text) noexcept { run_text(env, rec, text, kExecMode); }

int compile_text(JNIEnv* env, KivThread* rec, jstring text) noexcept {
  if (!rec) {
    throw_kiv(env, kNoRecord);
    return 0;
  }
  if (!text) return 0;
  JavaText key(env, text, kConsoleMode.tag, BindingCache::kMaxText);
  return on_record(env, rec, -1, [&] {
    PyRef code = compile_cached(env, rec, text, key, kConsoleMode.start, kConsoleMode.filename);
    if (code) return 1;
    if (env->ExceptionCheck() || !PyErr_ExceptionMatches(PyExc_SyntaxError)) return -1;
    PyErr_Clear();  // does not compile (yet): not an error
    return 0;
  });
}

void eval_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept {
  if (rec && !src) return;
  on_record(env, rec, 0, [&] {
    if (PyErr_Occurred()) return 0;  // an error already pending is reported instead
    PyRef r = PyRef::steal(run_source(rec, src, len, kEvalMode));
    flush_std_streams();
    return 0;
  });
}

void exec_source(JNIEnv* env, KivThread* rec, const char* src, size_t len) noexcept {
  if (rec && !src) return;
  on_record(env, rec, 0, [&] {
    PyRef r = PyRef::steal(run_source(rec, src, len, kExecMode));
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
    PyRef code = PyRef::steal(compile(src, len, kConsoleMode));
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
