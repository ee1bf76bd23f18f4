// embed/lifecycle.cpp: starting and stopping Python, binding interpreters to Java
// threads and closing them.
#include <Python.h>
#include <dlfcn.h>
#include <jni.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "access/access.h"
#include "common/checks.h"
#include "common/gil.h"
#include "common/jref.h"
#include "common/pyref.h"
#include "embed/embed.h"
#include "exceptions/exceptions.h"

namespace {

// The main interpreter's thread state made at start-up; null until Python runs.  After
// start-up it is only used at shutdown: work in the main interpreter from other
// threads runs on temporary thread states of its own.
PyThreadState* mainThreadState = nullptr;
PyObject* mainInterpreterModules = nullptr;      // the main interpreter's sys.modules
PyObject* mainInterpreterModulesLock = nullptr;  // a threading.Lock() of the main interpreter
bool finalized = false;
// Why CPython's own initialisation failed, once it has: CPython keeps part of its
// state from a failed Py_InitializeFromConfig, and a second call fails in ways that
// hide the first cause, so start-up is not tried again in this process.
std::string initFailure;
std::atomic<int> open_records{0};

constexpr const char* kRecordKey = "kiv";

PyInterpreterState* main_interp() noexcept { return mainThreadState ? mainThreadState->interp : nullptr; }

// JNI extension modules are loaded with local symbol scope, so the libpython that came
// in with us is invisible to CPython's own extension modules (math, _struct, NumPy),
// which expect to find its symbols globally.  Promote it before Python starts.
void promote_libpython() noexcept {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&Py_InitializeFromConfig), &info) && info.dli_fname) {
    if (!dlopen(info.dli_fname, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD)) {
      std::fprintf(stderr, "WARNING: Kiv could not make %s global: %s\n", info.dli_fname, dlerror());
    }
  }
}

// A Java string as a wide string for PyConfig (UTF-16 to UTF-32), so that every
// character arrives intact whatever the process locale.
bool java_to_wide(JNIEnv* env, jstring s, std::wstring& out) noexcept {
  jsize n = env->GetStringLength(s);
  const jchar* u = env->GetStringChars(s, nullptr);
  if (!u) return false;
  try {
    out.clear();
    out.reserve(static_cast<size_t>(n));
    for (jsize i = 0; i < n; ++i) {
      unsigned cp = u[i];
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
        ++i;
      }
      out.push_back(static_cast<wchar_t>(cp));
    }
  } catch (const std::bad_alloc&) {
    env->ReleaseStringChars(s, u);
    return false;
  }
  env->ReleaseStringChars(s, u);
  return true;
}

PyStatus set_wide(PyConfig* config, wchar_t** field, JNIEnv* env, jstring s) {
  std::wstring w;
  if (!java_to_wide(env, s, w)) {
    env->ExceptionClear();
    return PyStatus_NoMemory();
  }
  if (w.find(L'\0') != std::wstring::npos) return PyStatus_Error("configuration strings cannot contain U+0000");
  return PyConfig_SetString(config, field, w.c_str());
}

PyStatus set_argv(PyConfig* config, JNIEnv* env, jobjectArray argv) {
  jsize n = env->GetArrayLength(argv);
  std::vector<std::wstring> args;
  try {
    args.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return PyStatus_NoMemory();
  }
  PyStatus status = PyStatus_Ok();
  for (jsize i = 0; i < n; ++i) {
    kiv::LocalRef<jstring> s(env, static_cast<jstring>(env->GetObjectArrayElement(argv, i)));
    if (!s) {
      if (env->ExceptionCheck()) env->ExceptionClear();
      status = PyStatus_Error("Received null argv.");
      continue;
    }
    if (!java_to_wide(env, s.get(), args[static_cast<size_t>(i)])) {
      env->ExceptionClear();
      return PyStatus_NoMemory();
    }
  }
  if (PyStatus_Exception(status)) return status;
  std::vector<wchar_t*> ptrs;
  try {
    for (auto& a : args) ptrs.push_back(a.data());
  } catch (const std::bad_alloc&) {
    return PyStatus_NoMemory();
  }
  return PyConfig_SetArgv(config, static_cast<Py_ssize_t>(n), n ? ptrs.data() : nullptr);
}

// Undoes a start-up that got past Py_InitializeFromConfig: otherwise this thread would
// keep the interpreter lock and a retry would initialise a live runtime twice.
void abandon_startup(JNIEnv* env, const char* msg) {
  pyembed_throw_illegal_state(env, msg, 1);
  Py_CLEAR(mainInterpreterModules);
  Py_CLEAR(mainInterpreterModulesLock);
  Py_FinalizeEx();
}

}  // namespace

// ---- JNI load and unload --------------------------------------------------------------

KIV_API jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  kiv::set_java_vm(vm);
  return JNI_VERSION_1_2;
}

KIV_API void JNICALL JNI_OnUnload(JavaVM* vm, void*) { pyembed_shutdown(vm); }

// ---- start-up and shutdown ----------------------------------------------------------

KIV_API void pyembed_startup(JNIEnv* env, jboolean isolated, jobjectArray argv, jint hashSeed, jint useHashSeed,
                             jstring home, jint optimizationLevel, jint parseArgv, jstring programName,
                             jint siteImport, jint useEnvironment, jint userSiteDirectory, jint verbose,
                             jint writeBytecode) {
  if (mainThreadState) return;
  if (finalized) {
    pyembed_throw_illegal_state(env, "Python has been finalized in this process and cannot start again", 0);
    return;
  }
  if (!initFailure.empty()) {
    std::string why = "Python failed to start earlier in this process (" + initFailure +
                      "); its start-up cannot be tried again in this process";
    pyembed_throw_illegal_state(env, why.c_str(), 0);
    return;
  }
  char msg[200] = {};
  if (!kiv::python_version_ok(Py_GetVersion(), msg, sizeof msg)) {
    pyembed_throw_illegal_state(env, msg, 0);
    return;
  }
  if (Py_IsInitialized()) {
    pyembed_throw_illegal_state(env, "Python was already initialised in this process by other code", 0);
    return;
  }
  if (!cache_frequent_classes(env) || !cache_primitive_classes(env) || !kiv::make_out_of_memory_error(env)) return;

  PyConfig config;
  if (isolated) {
    PyConfig_InitIsolatedConfig(&config);
  } else {
    PyConfig_InitPythonConfig(&config);
  }
  if (parseArgv >= 0) config.parse_argv = parseArgv;
  if (useEnvironment >= 0) config.use_environment = useEnvironment;
  PyStatus status = PyStatus_Ok();
  if (argv) status = set_argv(&config, env, argv);
  if (hashSeed >= 0) config.hash_seed = static_cast<unsigned long>(hashSeed);
  if (useHashSeed >= 0) config.use_hash_seed = useHashSeed;
  if (home && !PyStatus_Exception(status)) status = set_wide(&config, &config.home, env, home);
  if (optimizationLevel >= 0) config.optimization_level = optimizationLevel;
  if (programName && !PyStatus_Exception(status)) {
    status = set_wide(&config, &config.program_name, env, programName);
  }
  if (siteImport >= 0) config.site_import = siteImport;
  if (userSiteDirectory >= 0) config.user_site_directory = userSiteDirectory;
  if (verbose >= 0) config.verbose = verbose;
  if (writeBytecode >= 0) config.write_bytecode = writeBytecode;

  bool initialized = false;
  if (!PyStatus_Exception(status)) {
    promote_libpython();
    kiv::record_signal_handlers();
    initialized = true;
    status = Py_InitializeFromConfig(&config);
  }
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    if (PyStatus_IsExit(status)) {
      std::snprintf(msg, sizeof msg, "Python initialization exited with status %d", status.exitcode);
    } else {
      std::snprintf(msg, sizeof msg, "%s", status.err_msg ? status.err_msg : "Python initialization failed");
    }
    if (initialized) {
      try {
        initFailure = msg;
      } catch (const std::bad_alloc&) {
      }
      // Raw: a failed start may leave its half-made main thread state current.  Python is
      // never started again in this process, so unset it without touching the lock.
      if (kiv::current_tstate()) PyThreadState_Swap(nullptr);
    }
    pyembed_throw_illegal_state(env, msg, 0);
    return;
  }

  kiv::PyRef sys = kiv::PyRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return abandon_startup(env, "Failed to import sys module");
  mainInterpreterModules = PyObject_GetAttrString(sys.get(), "modules");
  if (!mainInterpreterModules) return abandon_startup(env, "Failed to get sys.modules");
  sys.reset();
  kiv::PyRef threading = kiv::PyRef::steal(PyImport_ImportModule("threading"));
  if (!threading) return abandon_startup(env, "Failed to import threading module");
  kiv::PyRef lockType = kiv::PyRef::steal(PyObject_GetAttrString(threading.get(), "Lock"));
  if (!lockType) return abandon_startup(env, "Failed to get Lock attribute");
  mainInterpreterModulesLock = PyObject_CallNoArgs(lockType.get());
  if (!mainInterpreterModulesLock) return abandon_startup(env, "Failed to get main thread modules lock");
  lockType.reset();
  threading.reset();

  // Python may have installed handlers (faulthandler from PYTHONFAULTHANDLER) over
  // those the JVM cannot do without.
  kiv::guard_signal_handlers();

  // Give the module definition its index now, under the main interpreter's lock:
  // two interpreters with their own locks could otherwise race to assign it.
  PyModuleDef_Init(kiv::kiv_module_def());

  // Work for other threads' bindings drops CPython's per-thread binding after each use
  // (common/gil.h); finding where it is kept makes that cheap.
  kiv::find_gilstate_key();

  mainThreadState = PyThreadState_Get();
  // Raw: start-up made the main thread state current; from here on no thread holds the
  // lock between calls, and work in the main interpreter uses thread states of its own.
  PyEval_ReleaseThread(mainThreadState);
}

KIV_API void pyembed_shutdown(JavaVM* vm) {
  if (mainThreadState) {
    if (open_records.load() > 0) {
      std::printf("WARNING: Kiv internal error. Python not finalized: %d interpreter binding(s) still open.\n",
                  open_records.load());
      std::fflush(stdout);
    } else {
      // Raw: finalisation runs on the main thread state and leaves none behind to restore.
      PyEval_AcquireThread(mainThreadState);
      Py_CLEAR(mainInterpreterModules);
      Py_CLEAR(mainInterpreterModulesLock);
      Py_FinalizeEx();
      mainThreadState = nullptr;
      finalized = true;
    }
  }
  void* env = nullptr;
  if (vm && vm->GetEnv(&env, JNI_VERSION_1_6) == JNI_OK) {
    kiv::release_out_of_memory_error(static_cast<JNIEnv*>(env));
    unref_cache_primitive_classes(static_cast<JNIEnv*>(env));
    unref_cache_frequent_classes(static_cast<JNIEnv*>(env));
  }
}

namespace kiv {

PyObject* main_interpreter_modules() noexcept { return mainInterpreterModules; }
PyObject* main_interpreter_modules_lock() noexcept { return mainInterpreterModulesLock; }
PyInterpreterState* main_interpreter() noexcept { return main_interp(); }

}  // namespace kiv

// ---- records --------------------------------------------------------------------------

namespace {

// Ends a sub-interpreter whose set-up failed.  The thread state is current and has no
// frames.  A pending Java exception is kept aside so that objects freed on the way may
// still call JNI.
void abandon_subinterpreter(JNIEnv* env, PyThreadState* ts) {
  if (PyErr_Occurred()) kiv::print_python_error();
  kiv::LocalRef<jthrowable> pending(env, env->ExceptionOccurred());
  if (pending) env->ExceptionClear();
  Py_EndInterpreter(ts);  // leaves no thread state current and no lock held
  if (pending) env->Throw(pending.get());
}

bool config_conflict(JNIEnv* env, const PyInterpreterConfig& c, bool publish) {
  if (c.gil == PyInterpreterConfig_OWN_GIL && c.use_main_obmalloc) {
    pyembed_throw_illegal_state(
        env,
        "A sub-interpreter with its own interpreter lock must have its own object allocator "
        "(use_main_obmalloc = 0)",
        0);
    return true;
  }
  if (!c.use_main_obmalloc && !c.check_multi_interp_extensions) {
    pyembed_throw_illegal_state(env, "per-interpreter obmalloc does not support single-phase init extension modules",
                                0);
    return true;
  }
  if (publish && (c.gil == PyInterpreterConfig_OWN_GIL || !c.use_main_obmalloc)) {
    pyembed_throw_illegal_state(
        env,
        "mainInterpreterModules can only be published to a sub-interpreter that shares the main interpreter's "
        "lock and object allocator",
        0);
    return true;
  }
  return false;
}

}  // namespace

namespace {

// Lets go of a record and the Java references it holds: the one place they are deleted.
// Its globals and thread state must be gone already.
void free_record(KivThread* rec) noexcept {
  kiv::delete_global_ref(rec->classloader);
  kiv::delete_global_ref(rec->caller);
  delete rec;
}

struct RecordDeleter {
  void operator()(KivThread* rec) const noexcept { free_record(rec); }
};
using RecordPtr = std::unique_ptr<KivThread, RecordDeleter>;

// Tells the kiv.Kiv which interpreter it is bound to (its field interpreterId, the
// interpreter's number), by which the Java side and JPyObject_As_PyObject keep Python
// objects in their own interpreter.  False with a Java exception pending.
bool tell_interpreter(JNIEnv* env, jobject kiv, PyInterpreterState* interp) {
  kiv::LocalRef<jclass> cls(env, env->GetObjectClass(kiv));
  jfieldID field = cls ? env->GetFieldID(cls.get(), "interpreterId", "J") : nullptr;
  if (!field) {
    env->ExceptionClear();
    pyembed_throw_illegal_state(env, "kiv.Kiv has no field interpreterId", 0);
    return false;
  }
  env->SetLongField(kiv, field, static_cast<jlong>(PyInterpreterState_GetID(interp)));
  return true;
}

// Builds the record for the thread state `ts`, which is current and holds its lock, and
// registers it in the thread state's dict.  Steals `globals`.  Null with a Java exception
// pending on failure.  Either way ts stays current.
KivThread* record_new(JNIEnv* env, jobject classloader, jobject caller, kiv::PyRef globals, PyThreadState* ts) {
  RecordPtr rec(new (std::nothrow) KivThread());
  if (!rec) {
    pyembed_throw_illegal_state(env, "Out of memory.", 0);
    return nullptr;
  }
  rec->tstate = ts;
  rec->env = env;
  rec->ownsInterpreter = 0;
  rec->ownerThread = pthread_self();
  rec->classloader = kiv::GlobalRef<jobject>::make(env, classloader).release();
  rec->caller = kiv::GlobalRef<jobject>::make(env, caller).release();
  if ((classloader && !rec->classloader) || (caller && !rec->caller)) {
    pyembed_throw_illegal_state(env, "Out of memory.", 0);
    return nullptr;
  }
  try {
    kiv::foreign_threads_init(rec.get());
  } catch (const std::bad_alloc&) {
    pyembed_throw_illegal_state(env, "Out of memory.", 0);
    return nullptr;
  }
  if (caller && !tell_interpreter(env, caller, ts->interp)) return nullptr;
  PyObject* dict = PyThreadState_GetDict();
  kiv::PyRef capsule = kiv::PyRef::steal(PyCapsule_New(rec.get(), nullptr, nullptr));
  if (!dict || !capsule || PyDict_SetItemString(dict, kRecordKey, capsule.get()) < 0) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    pyembed_throw_illegal_state(env, "Couldn't register the interpreter binding in its thread state", 1);
    return nullptr;
  }
  rec->globals = globals.release();
  open_records.fetch_add(1);
  return rec.release();
}

}  // namespace

// The record for the thread state `ts` (see record_new), releasing the lock of ts on
// success.  On failure throws, leaves ts current for the caller to tear down, and
// returns null.
KIV_API KivThread* pyembed_kivthread_new(JNIEnv* env, jobject classloader, jobject caller, PyObject* globals,
                                         PyThreadState* ts) {
  KivThread* rec = record_new(env, classloader, caller, kiv::PyRef::steal(globals), ts);
  // Raw: ts became current when it was made; the record takes it over released, and
  // every later use goes through a scope.
  if (rec) PyEval_ReleaseThread(ts);
  return rec;
}

KIV_API KivThread* pyembed_thread_init_sub(JNIEnv* env, jobject classloader, jobject caller,
                                           jboolean publishMainModules, jboolean isolatedBase, jint useMainObmalloc,
                                           jint allowFork, jint allowExec, jint allowThreads, jint allowDaemonThreads,
                                           jint checkMultiInterpExtensions, jint ownGil) {
  if (!mainThreadState) {
    pyembed_throw_illegal_state(env, "Python is not running", 0);
    return nullptr;
  }
  PyInterpreterConfig cfg;
  if (isolatedBase) {
    cfg = {0, 0, 0, 1, 0, 1, PyInterpreterConfig_OWN_GIL};
  } else {
    cfg = {1, 1, 1, 1, 1, 0, PyInterpreterConfig_SHARED_GIL};
  }
  if (useMainObmalloc != -1) cfg.use_main_obmalloc = useMainObmalloc;
  if (allowFork != -1) cfg.allow_fork = allowFork;
  if (allowExec != -1) cfg.allow_exec = allowExec;
  if (allowThreads != -1) cfg.allow_threads = allowThreads;
  if (allowDaemonThreads != -1) cfg.allow_daemon_threads = allowDaemonThreads;
  if (checkMultiInterpExtensions != -1) cfg.check_multi_interp_extensions = checkMultiInterpExtensions;
  if (ownGil == 0) cfg.gil = PyInterpreterConfig_SHARED_GIL;
  if (ownGil == 1) cfg.gil = PyInterpreterConfig_OWN_GIL;
  if (config_conflict(env, cfg, publishMainModules)) return nullptr;

  // The new interpreter is created with no thread state current on this thread: it then
  // copies the main interpreter's configuration and, whatever happens, leaves no other
  // interpreter's lock held or half-released behind.  The main thread state is never
  // borrowed, so concurrent set-ups on other threads cannot share it.
  kiv::ThreadStateAside aside;
  PyThreadState* ts = nullptr;
  PyStatus status = Py_NewInterpreterFromConfig(&ts, &cfg);  // makes ts current
  if (PyStatus_Exception(status) || !ts) {
    if (ts) Py_EndInterpreter(ts);
    pyembed_throw_illegal_state(env, status.err_msg ? status.err_msg : "Couldn't create sub-interpreter.", 0);
    return nullptr;
  }
  KivThread* rec = nullptr;
  PyObject* mainModule = PyImport_AddModule("__main__");  // borrowed
  if (!mainModule) {
    PyErr_Clear();
    kiv::throw_kiv(env, "Couldn't add module __main__.");
  } else if (pyembed_module_init(env, publishMainModules) == 0) {
    rec = pyembed_kivthread_new(env, classloader, caller, Py_NewRef(PyModule_GetDict(mainModule)), ts);
    if (rec) rec->ownsInterpreter = 1;
  }
  if (!rec) abandon_subinterpreter(env, ts);
  return rec;
}

namespace {

// A new dict of globals for a shared binding, or null with a Java exception pending.
kiv::PyRef fresh_globals(JNIEnv* env) {
  kiv::PyRef globals = kiv::PyRef::steal(PyDict_New());
  if (globals && PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) globals.reset();
  if (!globals) pyembed_throw_illegal_state(env, "Out of memory.", 1);
  return globals;
}

}  // namespace

KIV_API KivThread* pyembed_thread_init_shared(JNIEnv* env, jobject classloader, jobject caller, KivThread* base,
                                              jboolean shareGlobals) {
  if (!mainThreadState) {
    pyembed_throw_illegal_state(env, "Python is not running", 0);
    return nullptr;
  }
  PyInterpreterState* interp = base ? base->tstate->interp : main_interp();
  kiv::TemporaryThreadState ts(interp);
  if (!ts.ok()) {
    pyembed_throw_illegal_state(env, "Out of memory.", 0);
    return nullptr;
  }
  kiv::PyRef globals = base && shareGlobals ? kiv::PyRef::borrow(base->globals) : fresh_globals(env);
  KivThread* rec = nullptr;
  if (globals && pyembed_module_init(env, JNI_FALSE) == 0) {
    rec = pyembed_kivthread_new(env, classloader, caller, globals.release(), ts.get());
  }
  if (rec) {
    ts.disown();  // the record's now, released
    return rec;
  }
  globals.reset();
  if (PyErr_Occurred()) kiv::print_python_error();
  return nullptr;  // ts deletes the thread state and brings back the one set aside
}

namespace {

// Other thread states of the record's interpreter (Python threads still running, or
// shared bindings made on this record), leaving out those through which other threads
// ran Python for the record itself, which closing deletes.  Requires its thread state
// current.
int other_thread_states(KivThread* rec) {
  PyThreadState* ts = rec->tstate;
  int n = 0;
  for (PyThreadState* t = PyInterpreterState_ThreadHead(ts->interp); t; t = PyThreadState_Next(t)) {
    if (t != ts && !kiv::is_foreign_thread_state(rec, t)) ++n;
  }
  return n;
}

// Python run before a sub-interpreter ends, as interpreter shutdown does: the functions
// registered with threading._register_atexit first (executors stop their workers), then
// the non-daemon threads are joined, all within `timeout` seconds.  Returns the names of
// the threads still running.
constexpr const char* kAwaitThreads =
    "def _kiv_await_threads(timeout):\n"
    "    import sys, time\n"
    "    threading = sys.modules.get('threading')\n"
    "    if threading is None:\n"
    "        return []\n"
    "    atexits = getattr(threading, '_threading_atexits', None)\n"
    "    while atexits:\n"
    "        atexits.pop()()\n"
    "    deadline = time.monotonic() + timeout\n"
    "    me = threading.current_thread()\n"
    "    left = []\n"
    "    for t in threading.enumerate():\n"
    "        if t is me or t.daemon:\n"
    "            continue\n"
    "        t.join(max(0.0, deadline - time.monotonic()))\n"
    "        if t.is_alive():\n"
    "            left.append(repr(t.name))\n"
    "    return left\n";

// Waits up to `millis` for the interpreter's non-daemon Python threads.  Returns null
// when none is left, else the refusal naming them; null with a Python error set when the
// wait itself failed.  Requires the record's thread state current.
kiv::PyRef await_python_threads(jlong millis) {
  kiv::PyRef globals = kiv::PyRef::steal(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return {};
  kiv::PyRef defined = kiv::PyRef::steal(PyRun_String(kAwaitThreads, Py_file_input, globals.get(), globals.get()));
  PyObject* await = defined ? PyDict_GetItemString(globals.get(), "_kiv_await_threads") : nullptr;  // borrowed
  if (!await) return {};
  double seconds = static_cast<double>(millis) / 1000.0;
  kiv::PyRef left = kiv::PyRef::steal(PyObject_CallFunction(await, "d", seconds));
  if (!left || !PyList_Check(left.get())) return {};
  if (PyList_GET_SIZE(left.get()) == 0) return kiv::PyRef::steal(Py_NewRef(Py_None));
  kiv::PyRef comma = kiv::PyRef::steal(PyUnicode_FromString(", "));
  kiv::PyRef names = kiv::PyRef::steal(comma ? PyUnicode_Join(comma.get(), left.get()) : nullptr);
  if (!names) return {};
  char waited[32];
  std::snprintf(waited, sizeof waited, "%.3g", seconds);
  return kiv::PyRef::steal(PyUnicode_FromFormat(
      "Cannot close the sub-interpreter: %zd non-daemon Python thread(s) still running after %s s: %U",
      PyList_GET_SIZE(left.get()), waited, names.get()));
}

constexpr const char* kCodeRunning = "Cannot close an interpreter while Python code is running in it";

// Why the record cannot be closed now (written to `why`), or false when it can.
// Requires the record's thread state current.
bool close_refused(KivThread* rec, bool end, char* why, size_t size) {
  PyThreadState* ts = rec->tstate;
  PyFrameObject* frame = PyThreadState_GetFrame(ts);  // new reference
  if (frame) {
    Py_DECREF(frame);
    std::snprintf(why, size, "%s", kCodeRunning);
    return true;
  }
  if (!end) return false;
  int others = other_thread_states(rec);
  if (others == 0) return false;
  std::snprintf(why, size,
                "Cannot end the sub-interpreter: %d other thread state(s) (Python threads or shared "
                "interpreters) still use it",
                others);
  return true;
}

}  // namespace

KIV_API void pyembed_thread_close(JNIEnv* env, KivThread* rec, jboolean endInterpreter) {
  if (!rec) {
    std::printf("WARNING: thread_close, invalid KivThread pointer.\n");
    std::fflush(stdout);
    return;
  }
  PyThreadState* ts = rec->tstate;
  if (kiv::current_tstate() == ts) {
    // Closing from inside Python code that runs on this very binding.
    pyembed_throw_illegal_state(env, kCodeRunning, 0);
    return;
  }
  char refusal[160] = "";
  {
    kiv::ThreadStateScope scope(ts);
    bool end = endInterpreter && ts->interp != main_interp();
    if (!close_refused(rec, end, refusal, sizeof refusal)) {
      kiv::flush_std_streams();
      PyObject* dict = PyThreadState_GetDict();
      if (dict && PyDict_DelItemString(dict, kRecordKey) < 0) PyErr_Clear();
      Py_CLEAR(rec->globals);
      PyGC_Collect();
      if (PyErr_Occurred()) kiv::print_python_error();
      // Ending an interpreter with other thread states left aborts the process.
      kiv::end_foreign_thread_states(rec);
      if (end) {
        Py_EndInterpreter(ts);  // leaves no thread state current and no lock held
      } else {
        PyThreadState_Clear(ts);
        PyThreadState_DeleteCurrent();
      }
      scope.forget();
    }
  }
  if (refusal[0]) {
    pyembed_throw_illegal_state(env, refusal, 0);
    return;
  }
  open_records.fetch_sub(1);
  free_record(rec);
}

// The owner thread, before it closes a sub-interpreter: waits for its Python threads (see
// await_python_threads).  When some are still running after `millis`, throws
// kiv.KivException naming them, and the interpreter stays as it was.
extern "C" KIV_EXPORT void JNICALL Java_kiv_Kiv_awaitThreads(JNIEnv* env, jobject, jlong record, jlong millis) noexcept {
  KIV_JNI_BOUNDARY();
  KivThread* rec = reinterpret_cast<KivThread*>(static_cast<intptr_t>(record));
  kiv::on_record(env, rec, 0, [&] {
    kiv::PyRef refusal = await_python_threads(millis);
    if (refusal && refusal.get() != Py_None) kiv::throw_kiv_text(env, refusal.get());
    return 0;
  });
}

// ---- look-ups from Python-side code ---------------------------------------------------

KIV_API KivThread* pyembed_get_kivthread(void) {
  PyObject* dict = PyThreadState_GetDict();  // borrowed
  if (dict) {
    PyObject* capsule = PyDict_GetItemString(dict, kRecordKey);  // borrowed
    if (capsule) {
      void* p = PyCapsule_GetPointer(capsule, nullptr);
      if (p) return static_cast<KivThread*>(p);
    }
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "No Kiv instance available on current thread.");
  return nullptr;
}

KIV_API PyObject* pyembed_get_kiv_module(void) {
  PyObject* m = PyState_FindModule(kiv::kiv_module_def());
  if (!m && !PyErr_Occurred()) PyErr_SetString(PyExc_ModuleNotFoundError, "Module _kiv was not found.");
  return m;
}

KIV_API ModuleState* pyembed_get_module_state(void) {
  PyObject* m = pyembed_get_kiv_module();
  if (!m) return nullptr;
  return static_cast<ModuleState*>(PyModule_GetState(m));
}
