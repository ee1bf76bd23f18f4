// embed/modulefuncs.cpp: _kiv module functions (finding classes, converters), and
// imports into the main interpreter.
#include <Python.h>
#include <jni.h>

#include <string>

#include "Objects/objects.h"
#include "access/access.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/to_java.h"
#include "embed/embed.h"
#include "embed/modulefuncs.h"
#include "exceptions/exceptions.h"

namespace {

// Appends one UTF-16 code unit in modified UTF-8 (U+0000 as two bytes).
void put_modified_utf8(std::string& out, unsigned unit) {
  if (unit != 0 && unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

// A dotted class name as JNI's FindClass takes it: slashes for dots, in modified UTF-8
// (characters beyond U+FFFF as surrogate pairs).
std::string jni_class_name(PyObject* name) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  std::string out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c == '.') c = '/';
    if (c >= 0x10000) {
      c -= 0x10000;
      put_modified_utf8(out, 0xD800 + (c >> 10));
      put_modified_utf8(out, 0xDC00 + (c & 0x3FF));
    } else {
      put_modified_utf8(out, c);
    }
  }
  return out;
}

}  // namespace

PyObject* kiv_findClass(PyObject*, PyObject* args) {
  PyObject* name;
  if (!PyArg_ParseTuple(args, "U:findClass", &name)) return nullptr;
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  std::string jniName = jni_class_name(name);
  kiv::LocalRef<jclass> cls(env, env->FindClass(jniName.c_str()));
  if (process_java_exception(env)) return nullptr;
  if (!cls) {
    PyErr_Format(PyExc_RuntimeError, "Class %U was not found", name);
    return nullptr;
  }
  return PyJClass_Wrap(env, cls.get());
}

PyObject* kiv_forName(PyObject*, PyObject* args) {
  PyObject* name;
  if (!PyArg_ParseTuple(args, "U:forName", &name)) return nullptr;
  KivThread* rec = pyembed_get_kivthread();
  if (!rec) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Invalid KivThread pointer.");
    return nullptr;
  }
  if (!rec->classloader) {
    PyErr_SetString(PyExc_RuntimeError, "No ClassLoader available for forName.");
    return nullptr;
  }
  // This thread's own environment: the record's belongs to the thread that made it.
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  kiv::LocalRef<jstring> jname(env, kiv::unicode_to_jstring(env, name));
  kiv::LocalRef<jclass> cls(env, jname ? java_lang_ClassLoader_loadClass(env, rec->classloader, jname.get()) : nullptr);
  jname.reset();
  if (process_java_exception(env)) return nullptr;
  if (!cls) {
    PyErr_Format(PyExc_RuntimeError, "ClassLoader.loadClass(%R) returned null", name);
    return nullptr;
  }
  return PyJClass_Wrap(env, cls.get());
}

PyObject* kiv_jarray(PyObject* module, PyObject* args) { return pyjarray_new_v(module, args); }

PyObject* kiv_jproxy(PyObject*, PyObject* args) {
  PyObject* target;
  PyObject* names;
  if (!PyArg_ParseTuple(args, "OO!:jproxy", &target, &PyList_Type, &names)) return nullptr;
  KivThread* rec = pyembed_get_kivthread();
  if (!rec) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Invalid KivThread pointer.");
    return nullptr;
  }
  // This thread's own environment: the record's belongs to the thread that made it.
  JNIEnv* env = kiv::env_or_error();
  if (!env) return nullptr;
  Py_ssize_t n = PyList_GET_SIZE(names);
  if (n <= 0) {
    PyErr_SetString(PyExc_ValueError, "Empty interface list.");
    return nullptr;
  }
  jsize count;
  if (!kiv::to_jsize(n, &count)) return nullptr;
  kiv::LocalRef<jobjectArray> array(env, env->NewObjectArray(count, JSTRING_TYPE, nullptr));
  if (!array) {
    kiv::java_failure(env);
    return nullptr;
  }
  // Nothing below runs Python code, so the list keeps its length; items are held anyway.
  for (jsize i = 0; i < count && i < PyList_GET_SIZE(names); ++i) {
    kiv::PyRef item = kiv::PyRef::borrow(PyList_GET_ITEM(names, i));
    if (!PyUnicode_Check(item.get())) {
      PyErr_Format(PyExc_ValueError, "Item %zd not a string.", static_cast<Py_ssize_t>(i));
      return nullptr;
    }
    kiv::LocalRef<jstring> name(env, pyunicode_as_jstring(env, item.get()));
    if (!name) return nullptr;
    env->SetObjectArrayElement(array.get(), i, name.get());
    if (kiv::java_failed(env)) return nullptr;
  }
  jlong address = static_cast<jlong>(reinterpret_cast<intptr_t>(target));
  kiv::LocalRef<jobject> proxy(env, kiv_Proxy_newProxyInstance(env, rec->caller, address, array.get()));
  array.reset();
  if (process_java_exception(env)) return nullptr;
  if (!proxy) {
    PyErr_SetString(PyExc_RuntimeError, "kiv.Proxy.newProxyInstance returned null");
    return nullptr;
  }
  // The proxy owns this reference from now on; it gives it back when it is collected
  // or its interpreter closes.
  Py_INCREF(target);
  return jobject_As_PyJObject(env, proxy.get(), nullptr);
}

PyObject* kiv_setJavaToPythonConverter(PyObject*, PyObject* args) {
  PyObject* target;
  PyObject* converter;
  if (!PyArg_ParseTuple(args, "OO:setJavaToPythonConverter", &target, &converter)) return nullptr;
  // Held until the end: the type cache is a Python dict that code may empty meanwhile.
  kiv::PyRef type;
  if (PyJClass_Check(target)) {
    type = kiv::PyRef::steal(PyObject_GetAttrString(target, "__pytype__"));
    if (!type) return nullptr;
  } else if (PyType_Check(target)) {
    type = kiv::PyRef::borrow(target);
  } else {
    PyErr_SetString(PyExc_RuntimeError, "First argument to setJavaToPythonConverter must be a Java Class or Type");
    return nullptr;
  }
  if (converter == Py_None) {
    if (PyObject_HasAttrString(type.get(), "_to_python") && PyObject_DelAttrString(type.get(), "_to_python") < 0) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  if (!PyCallable_Check(converter)) {
    PyErr_SetString(PyExc_RuntimeError, "Second argument to setJavaToPythonConverter must be Callable");
    return nullptr;
  }
  // The converter is found as an attribute of the Java object, so it must bind to the
  // object: a plain function does; any other callable (a builtin, a class, a partial,
  // a callable instance) is made to.
  kiv::PyRef hook = Py_TYPE(converter)->tp_descr_get ? kiv::PyRef::borrow(converter)
                                                     : kiv::PyRef::steal(PyInstanceMethod_New(converter));
  if (!hook) return nullptr;
  // setattr on a type also invalidates its attribute cache and its subtypes'.
  if (PyObject_SetAttrString(type.get(), "_to_python", hook.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

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
