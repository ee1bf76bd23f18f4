// embed/state.h: the records every part of the library shares: the interpreter binding
// (KivThread), the state of each interpreter's _kiv module, and the look-ups that find
// them from code running in Python.  The rest of the embedding runtime is in embed.h,
// which only embed/ itself needs.
#pragma once

#include <Python.h>
#include <jni.h>
#include <pthread.h>

#include <cstdint>
#include <memory>

#include "common/export.h"
#include "common/jref.h"

namespace kiv {
class ForeignThreads;
struct BindingCache;
}

// One interpreter binding per kiv.Kiv object.  Java holds its address.  Made by
// pyembed_kivthread_new and freed by pyembed_thread_close (embed/lifecycle.cpp), which
// alone create and delete its references.
struct KivThread {
  PyObject* globals;        // owned: the globals (and locals) code runs in
  PyThreadState* tstate;    // owned: acquired by every native call on this record
  JNIEnv* env;              // borrowed: the creating thread's environment
  jobject classloader;      // global reference
  jobject caller;           // global reference to the kiv.Kiv
  // Library-private fields follow.
  int ownsInterpreter;      // 1 for a sub-interpreter record
  pthread_t ownerThread;    // the OS thread the thread state belongs to
  uint64_t serial;          // unique in the process: tells this record from a later one at its address
  // The thread states through which other threads run Python for this binding
  // (embed/threads.cpp); shared with those threads, whose caches may outlive the record.
  std::shared_ptr<kiv::ForeignThreads> foreign;
  // Names and compiled code kept between calls (embed/binding_cache.h); null until first
  // used.  Owned by the record's thread state, which lets it go when the binding closes.
  kiv::BindingCache* cache;
};

// State of one interpreter's _kiv module: the type cache and the ten library types.
struct ModuleState {
  PyObject* javaTypeCache;
  PyTypeObject* PyJType_Type;
  PyTypeObject* PyJField_Type;
  PyTypeObject* PyJMethod_Type;
  PyTypeObject* PyJConstructor_Type;
  PyTypeObject* PyJMultiMethod_Type;
  PyTypeObject* PyJObject_Type;
  PyTypeObject* PyJClass_Type;
  PyTypeObject* PyJArray_Type;
  PyTypeObject* PyJMonitor_Type;
  PyTypeObject* PyJArrayIter_Type;
};
static_assert(sizeof(ModuleState) == 88, "ModuleState is eleven pointer slots");

// Per-interpreter caches kept after the ModuleState in the module's state block: what
// the hot paths would otherwise look up again on every call.  Constructed when the
// module is made and destroyed when it is freed (embed/module.cpp).
struct ModuleCaches {
  PyObject* toPythonName;  // interned "_to_python"
  PyObject* initName;      // "<init>", shared by the constructors of the interpreter
  // The last classes whose per-class type was asked for and those types (strong
  // references), probed with IsSameObject before any reflection (Objects/pyjtype.cpp).
  static constexpr int kTypeSlots = 16;
  kiv::GlobalRef<jclass> typeKeys[kTypeSlots];
  PyObject* typeValues[kTypeSlots];
  int typeNext;
  // The last interfaces asked whether they have exactly one abstract method, and the
  // answers, so that converting a callable does no reflection again (convert/to_java.cpp).
  static constexpr int kFunctionalSlots = 8;
  kiv::GlobalRef<jclass> functionalKeys[kFunctionalSlots];
  bool functionalValues[kFunctionalSlots];
  int functionalNext;
};

struct ModuleStorage {
  ModuleState state;
  ModuleCaches caches;
};

// ---- look-ups from code running in Python ---------------------------------------------

// The calling thread's environment, attaching the thread as a daemon when the JVM does
// not know it; nullptr if that fails.  (embed/jvm.cpp)
KIV_API JNIEnv* pyembed_get_env(void);
// The current thread state's record, or nullptr with a Python error set.
// (embed/lifecycle.cpp)
KIV_API KivThread* pyembed_get_kivthread(void);
// The current interpreter's _kiv module (borrowed), or nullptr with a Python error set.
// (embed/lifecycle.cpp)
KIV_API PyObject* pyembed_get_kiv_module(void);
// That module's state, or nullptr with a Python error set.  (embed/lifecycle.cpp)
KIV_API ModuleState* pyembed_get_module_state(void);

namespace kiv {

// The calling thread's JNI environment, or nullptr with a Python RuntimeError set.
// (embed/jvm.cpp)
JNIEnv* env_or_error() noexcept;
// The module definition of _kiv (one per process; each interpreter makes its own module).
// (embed/module.cpp)
PyModuleDef* kiv_module_def() noexcept;
// The current interpreter's caches, or nullptr with a Python error set.
// (embed/module.cpp)
ModuleCaches* module_caches() noexcept;
// The caches belonging to a module state.
inline ModuleCaches* caches_of(ModuleState* state) noexcept {
  return &reinterpret_cast<ModuleStorage*>(state)->caches;
}

}  // namespace kiv
