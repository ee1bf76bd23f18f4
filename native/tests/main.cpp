// tests/main.cpp: starts one JVM and one CPython for the whole run, then the tests.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/gil.h"

namespace kiv_test {
namespace {

JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;
PyThreadState* g_main = nullptr;

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "native tests: %s\n", why.c_str());
  std::exit(2);
}

void start_jvm() {
  const char* cp = std::getenv("KIV_TEST_CLASSPATH");
  std::string class_path = "-Djava.class.path=";
  class_path += cp && *cp ? cp : KIV_TEST_DEFAULT_CLASSPATH;
  std::vector<JavaVMOption> options = {
      {const_cast<char*>(class_path.c_str()), nullptr},
      {const_cast<char*>("-Xcheck:jni"), nullptr},
      // One collector that always runs a full, stop-the-world collection on System.gc().
      {const_cast<char*>("-XX:+UseSerialGC"), nullptr},
      {const_cast<char*>("-Xmx128m"), nullptr},
  };
  JavaVMInitArgs args{};
  args.version = JNI_VERSION_10;
  args.nOptions = static_cast<jint>(options.size());
  args.options = options.data();
  args.ignoreUnrecognized = JNI_FALSE;
  void* env = nullptr;
  if (JNI_CreateJavaVM(&g_vm, &env, &args) != JNI_OK) die("JNI_CreateJavaVM failed");
  g_env = static_cast<JNIEnv*>(env);
  // What the JVM does when it loads the library: the library learns its VM.
  JNI_OnLoad(g_vm, nullptr);
}

void start_python() {
#if defined(__SANITIZE_ADDRESS__)
  // Python objects from malloc, so that AddressSanitizer sees each one's bounds and
  // its freeing (Python's own allocator keeps freed objects in its pools).
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  PyStatus pre_status = Py_PreInitialize(&pre);
  if (PyStatus_Exception(pre_status)) die("Python did not pre-initialise");
#endif
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.site_import = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.home, KIV_TEST_PYTHON_HOME);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) die(std::string("Python did not start: ") + (status.err_msg ? status.err_msg : "?"));
  g_main = PyThreadState_Get();
}

class Runtime : public ::testing::Environment {
 public:
  void TearDown() override {
    if (kiv::current_tstate() != g_main) std::fprintf(stderr, "native tests: a test left another thread state current\n");
    PyThreadState_Swap(g_main);
    if (Py_FinalizeEx() != 0) ADD_FAILURE() << "Py_FinalizeEx failed";
    // The JVM is left to the process exit: DestroyJavaVM on the primordial thread
    // waits for every non-daemon thread and adds nothing to the tests.
  }
};

}  // namespace

JNIEnv* env() { return g_env; }

PyThreadState* main_tstate() { return g_main; }

jobject new_object(JNIEnv* env) {
  jclass object = env->FindClass("java/lang/Object");
  jmethodID init = env->GetMethodID(object, "<init>", "()V");
  jobject obj = env->NewObject(object, init);
  env->DeleteLocalRef(object);
  return obj;
}

jweak watch(JNIEnv* env, jobject obj) { return env->NewWeakGlobalRef(obj); }

bool collected(JNIEnv* env, jweak weak) {
  jclass system = env->FindClass("java/lang/System");
  jmethodID gc = env->GetStaticMethodID(system, "gc", "()V");
  bool gone = false;
  for (int round = 0; round < 3 && !gone; ++round) {
    env->CallStaticVoidMethod(system, gc);
    if (env->ExceptionCheck()) {
      env->ExceptionDescribe();
      env->ExceptionClear();
      break;
    }
    gone = env->IsSameObject(weak, nullptr);
  }
  env->DeleteLocalRef(system);
  return gone;
}

int thread_states_of(PyInterpreterState* interp) {
  int n = 0;
  for (PyThreadState* t = PyInterpreterState_ThreadHead(interp); t; t = PyThreadState_Next(t)) ++n;
  return n;
}

bool python_runs() {
  PyObject* r = PyRun_String("sum(range(10))", Py_eval_input, PyEval_GetBuiltins(), PyEval_GetBuiltins());
  bool ok = r && PyLong_AsLong(r) == 45;
  Py_XDECREF(r);
  return ok;
}

}  // namespace kiv_test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kiv_test::start_jvm();
  kiv_test::start_python();
  ::testing::AddGlobalTestEnvironment(new kiv_test::Runtime);
  return RUN_ALL_TESTS();
}
