// embed/module.cpp: the _kiv module that every interpreter gets, with its type registry.
#include <Python.h>
#include <dlfcn.h>
#include <jni.h>

#include <new>

#include "Objects/objects.h"
#include "common/checks.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "embed/embed.h"
#include "embed/modulefuncs.h"
#include "exceptions/exceptions.h"

namespace {

// CPython's record that an interpreter runs its __main__ program (which
// interpreters.get_main().is_running() reads): functions of 3.12.1 and later, looked
// up by name so that Kiv still loads with 3.12.0.
using RunningMainFn = int (*)(PyInterpreterState*);
using NotRunningMainFn = void (*)(PyInterpreterState*);

// _run_top((func, *args)): calls func(*args); returns None when it returned, else the
// exception it raised, which is then no longer raised.  Called from Java, it runs func
// with no Python frame below it, and the interpreter marked as running its __main__:
// the kiv command runs its program so, as python does.
PyObject* kiv_run_top(PyObject*, PyObject* job) {
  if (!PyTuple_Check(job) || PyTuple_GET_SIZE(job) < 1) {
    PyErr_SetString(PyExc_TypeError, "_run_top expects a tuple (function, *arguments)");
    return nullptr;
  }
  kiv::PyRef args = kiv::PyRef::steal(PyTuple_GetSlice(job, 1, PyTuple_GET_SIZE(job)));
  if (!args) return nullptr;
  static auto isRunning = reinterpret_cast<RunningMainFn>(dlsym(RTLD_DEFAULT, "_PyInterpreterState_IsRunningMain"));
  static auto setRunning = reinterpret_cast<RunningMainFn>(dlsym(RTLD_DEFAULT, "_PyInterpreterState_SetRunningMain"));
  static auto setNotRunning =
      reinterpret_cast<NotRunningMainFn>(dlsym(RTLD_DEFAULT, "_PyInterpreterState_SetNotRunningMain"));
  PyInterpreterState* interp = PyInterpreterState_Get();
  bool marked = isRunning && setRunning && setNotRunning && !isRunning(interp) && setRunning(interp) == 0;
  PyErr_Clear();
  kiv::PyRef result = kiv::PyRef::steal(PyObject_Call(PyTuple_GET_ITEM(job, 0), args.get(), nullptr));
  if (marked) setNotRunning(interp);
  if (result) Py_RETURN_NONE;
  return PyErr_GetRaisedException();
}

PyMethodDef kiv_methods[] = {
    {"findClass", KIV_PY_BOUNDARY(kiv_findClass), METH_VARARGS, "Find and instantiate a system class, somewhat faster than forName."},
    {"forName", KIV_PY_BOUNDARY(kiv_forName), METH_VARARGS, "Find and return a jclass object using the supplied ClassLoader."},
    {"jarray", KIV_PY_BOUNDARY(kiv_jarray), METH_VARARGS,
     "Returns a new Java Array.\n"
     "Accepts:\n"
     "  (size, typecode, [fill]) or (size, jclass)\n"
     "\n"
     "Java arrays behave much like lists, except the size is fixed at\n"
     "creation and all the components of a jarray have the same type.\n"
     "The component type is specified at object creation time by using a\n"
     "jclass or type code. Java Object arrays are created by using a jclass\n"
     "for the component type and Java primitive arrays are created by using\n"
     "a type code for the component type.\n"
     "The following type codes are defined:\n"
     "  Type code   Java Primitive Type\n"
     "  'z'         boolean\n"
     "  'b'         byte\n"
     "  'c'         char\n"
     "  's'         short\n"
     "  'i'         int\n"
     "  'j'         long\n"
     "  'f'         float\n"
     "  'd'         double\n"},
    {"jproxy", KIV_PY_BOUNDARY(kiv_jproxy), METH_VARARGS,
     "Create a Proxy class for a Python object.\n"
     "Accepts two arguments: ([a class object], [list of java interfaces to implement, string names])"},
    {"setJavaToPythonConverter", KIV_PY_BOUNDARY(kiv_setJavaToPythonConverter), METH_VARARGS,
     "Register a function that converts a Java object of a specific class to a Python equivalent.\n"
     "\n"
     "Accepts two arguments: a pyjclass or pyjtype, and a conversion function.\n"
     "\n"
     "The function is called whenever Kiv converts a Java object of that type to Python.\n"
     "It takes the Java object as its single argument and returns its Python\n"
     "representation (which may be the argument itself).\n"
     "\n"
     "Converters apply to all subclasses: one registered for java.util.Map applies to\n"
     "HashMap, TreeMap and every other Map, and more specific converters registered on\n"
     "subclasses override the parent's. Passing None as the function removes any\n"
     "previously defined converter."},
    {"_run_top", KIV_PY_BOUNDARY(kiv_run_top), METH_O,
     "_run_top((func, *args)): func(*args); None, or the exception it raised (no longer raised)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kivModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_kiv",               // m_name
    "_kiv",               // m_doc
    sizeof(ModuleStorage),  // m_size: the state, then the caches
    kiv_methods,          // m_methods
    nullptr,              // m_slots
    kiv_module_traverse,  // m_traverse
    nullptr,              // m_clear
    KIV_PY_BOUNDARY(kiv_module_free),  // m_free
};

PyObject** state_slots(ModuleState* s) noexcept { return reinterpret_cast<PyObject**>(s); }
constexpr int kStateSlots = sizeof(ModuleState) / sizeof(PyObject*);

bool state_complete(ModuleState* s) noexcept {
  if (!s) return false;
  PyObject** slots = state_slots(s);
  for (int i = 0; i < kStateSlots; ++i) {
    if (!slots[i]) return false;
  }
  return true;
}

// Takes a half-built _kiv out of sys.modules and the module registry so that the next
// binding in this interpreter builds it again rather than reusing it.
void unregister_module(PyObject* modules) noexcept {
  kiv::PyErrorStash stash;
  if (PyDict_DelItemString(modules, "_kiv") < 0) PyErr_Clear();
  if (PyState_FindModule(&kivModuleDef) && PyState_RemoveModule(&kivModuleDef) < 0) PyErr_Clear();
  PyErr_Clear();
}

int fail(JNIEnv* env, PyObject* modules, const char* msg) {
  unregister_module(modules);
  pyembed_throw_illegal_state(env, msg, 1);
  return -1;
}

}  // namespace

namespace kiv {
PyModuleDef* kiv_module_def() noexcept { return &kivModuleDef; }

ModuleCaches* module_caches() noexcept {
  ModuleState* state = pyembed_get_module_state();
  return state ? caches_of(state) : nullptr;
}
}  // namespace kiv

namespace {

void caches_clear(ModuleCaches* c) {
  Py_CLEAR(c->toPythonName);
  Py_CLEAR(c->initName);
  kiv::forget_recent_types(c);
}

}  // namespace

KIV_API int pyembed_module_init(JNIEnv* env, jboolean publishMainModules) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* existing = PyDict_GetItemString(modules, "_kiv");  // borrowed
  if (existing) {
    // Reuse only Kiv's own, complete module; anything else stored under the name is
    // replaced.
    if (PyModule_Check(existing) && PyModule_GetDef(existing) == &kivModuleDef &&
        state_complete(static_cast<ModuleState*>(PyModule_GetState(existing)))) {
      return 0;
    }
    PyErr_Clear();
  } else if (PyErr_Occurred()) {
    pyembed_throw_illegal_state(env, "Error checking for existing module _kiv", 1);
    return -1;
  }

  kiv::PyRef module = kiv::PyRef::steal(PyModule_Create2(&kivModuleDef, 1013));
  if (!module) {
    pyembed_throw_illegal_state(env, "Couldn't create module _kiv", 1);
    return -1;
  }
  // The caches hold C++ members: they are built in the zeroed state block now and
  // destroyed by kiv_module_free.
  new (kiv::caches_of(static_cast<ModuleState*>(PyModule_GetState(module.get())))) ModuleCaches();
  if (PyDict_SetItemString(modules, "_kiv", module.get()) < 0) {
    pyembed_throw_illegal_state(env, "Couldn't set _kiv on sys.modules", 1);
    return -1;
  }
  PyObject* m = module.get();

  static const struct {
    const char* name;
    const char* value;
  } kTypeCodes[] = {{"JBOOLEAN_ID", "z"}, {"JINT_ID", "i"},   {"JLONG_ID", "j"},  {"JDOUBLE_ID", "d"},
                    {"JSHORT_ID", "s"},   {"JFLOAT_ID", "f"}, {"JCHAR_ID", "c"},  {"JBYTE_ID", "b"}};
  for (const auto& c : kTypeCodes) {
    if (PyModule_AddStringConstant(m, c.name, c.value) < 0) PyErr_Clear();
  }
  if (PyModule_AddIntConstant(m, "KIV_NUMPY_ENABLED", 1) < 0) PyErr_Clear();
  // Each interpreter has its own faulthandler module to keep from the JVM's handlers.
  kiv::guard_signal_handlers();

  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(m));
  if (!state) return fail(env, modules, "Failed to initialize module state");

  // The cache goes into its slot first, so that every later failure path frees it
  // with the module.
  state->javaTypeCache = PyDict_New();
  if (!state->javaTypeCache) return fail(env, modules, "Couldn't create __javaTypeCache__");
  if (PyModule_AddObjectRef(m, "__javaTypeCache__", state->javaTypeCache) < 0) {
    return fail(env, modules, "Couldn't add __javaTypeCache__ to module _kiv");
  }
  if (PyState_AddModule(m, &kivModuleDef) < 0) return fail(env, modules, "Couldn't register module _kiv");

  if (publishMainModules) {
    if (PyModule_AddObjectRef(m, "mainInterpreterModules", kiv::main_interpreter_modules()) < 0) PyErr_Clear();
    if (PyModule_AddObjectRef(m, "mainInterpreterModulesLock", kiv::main_interpreter_modules_lock()) < 0) {
      PyErr_Clear();
    }
  }

  PyObject* typeBase = reinterpret_cast<PyObject*>(&PyType_Type);
  auto make = [](PyType_Spec* spec, PyObject* base) -> PyTypeObject* {
    return reinterpret_cast<PyTypeObject*>(base ? PyType_FromSpecWithBases(spec, base) : PyType_FromSpec(spec));
  };
  if (!(state->PyJType_Type = make(&PyJType_Spec, typeBase)) ||
      !(state->PyJField_Type = make(&PyJField_Spec, nullptr)) ||
      !(state->PyJMethod_Type = make(&PyJMethod_Spec, nullptr)) ||
      !(state->PyJConstructor_Type =
            make(&PyJConstructor_Spec, reinterpret_cast<PyObject*>(state->PyJMethod_Type))) ||
      !(state->PyJMultiMethod_Type = make(&PyJMultiMethod_Spec, nullptr)) ||
      !(state->PyJObject_Type = make(&PyJObject_Spec, nullptr)) ||
      !(state->PyJClass_Type = make(&PyJClass_Spec, reinterpret_cast<PyObject*>(state->PyJObject_Type))) ||
      !(state->PyJArray_Type = make(&PyJArray_Spec, reinterpret_cast<PyObject*>(state->PyJObject_Type))) ||
      !(state->PyJMonitor_Type = make(&PyJMonitor_Spec, nullptr)) ||
      !(state->PyJArrayIter_Type = make(&PyJArrayIter_Spec, nullptr))) {
    return fail(env, modules, "Failed to initialize PyJTypes");
  }

  ModuleCaches* caches = kiv::caches_of(state);
  caches->toPythonName = PyUnicode_InternFromString("_to_python");
  caches->initName = PyUnicode_FromString("<init>");
  if (!caches->toPythonName || !caches->initName) return fail(env, modules, "Failed to initialize module caches");

  if (load_numpy_conversions(env) != 0) {
    unregister_module(modules);
    if (!env->ExceptionCheck()) pyembed_throw_illegal_state(env, "Failed to load NumPy conversions", 1);
    return -1;
  }
  return 0;
}

KIV_API int kiv_module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (!state) return 0;
  PyObject** slots = state_slots(state);
  for (int i = 0; i < kStateSlots; ++i) {
    Py_VISIT(slots[i]);
  }
  ModuleCaches* c = kiv::caches_of(state);
  Py_VISIT(c->toPythonName);
  Py_VISIT(c->initName);
  for (int i = 0; i < ModuleCaches::kTypeSlots; ++i) {
    Py_VISIT(c->typeValues[i]);
  }
  return 0;
}

KIV_API void modulestate_clear(ModuleState* state) {
  PyObject** slots = state_slots(state);
  for (int i = 0; i < kStateSlots; ++i) {
    Py_CLEAR(slots[i]);
  }
}

KIV_API void kiv_module_free(void* module) {
  ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (state) {
    modulestate_clear(state);
    ModuleCaches* caches = kiv::caches_of(state);
    caches_clear(caches);
    caches->~ModuleCaches();
  }
}
