// embed/modulefuncs.cpp: _kiv module functions, and imports into the main interpreter.
#include <Python.h>
#include <jni.h>

#include "access/access.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "embed/embed.h"
#include "embed/modulefuncs.h"
#include "exceptions/exceptions.h"

namespace {

PyObject* not_available(const char* name) {
  PyErr_Format(PyExc_NotImplementedError, "_kiv.%s is not available in this build of Kiv", name);
  return nullptr;
}

}  // namespace

PyObject* kiv_findClass(PyObject*, PyObject*) { return not_available("findClass"); }
PyObject* kiv_forName(PyObject*, PyObject*) { return not_available("forName"); }
PyObject* kiv_jarray(PyObject*, PyObject*) { return not_available("jarray"); }
PyObject* kiv_jproxy(PyObject*, PyObject*) { return not_available("jproxy"); }
PyObject* kiv_setJavaToPythonConverter(PyObject*, PyObject*) { return not_available("setJavaToPythonConverter"); }

KIV_API void pyembed_shared_import(JNIEnv* env, jstring module) {
  PyInterpreterState* main = kiv::main_interpreter();
  if (!main) {
    pyembed_throw_illegal_state(env, "Python is not running", 0);
    return;
  }
  if (!module) {
    kiv::throw_kiv(env, "name is invalid.");
    return;
  }
  kiv::JavaUtf8 name(env, module);
  if (!name.ok()) return;
  // A thread state of our own: the main thread state may be in use on another thread,
  // and an import lets other threads run while it reads files.
  kiv::TemporaryThreadState ts(main);
  if (!ts.ok()) {
    pyembed_throw_illegal_state(env, "Out of memory.", 0);
    return;
  }
  if (name.has_nul()) {
    PyErr_SetString(PyExc_ValueError, "embedded null character in module name");
  } else {
    kiv::PyRef m = kiv::PyRef::steal(PyImport_ImportModule(name.c_str()));
  }
  process_py_exception(env);
}
