// embed/signals.cpp: signal handlers shared by the JVM and Python in one process.
//
// The JVM's own handlers must stay in place: it takes SIGSEGV (and SIGBUS, SIGFPE,
// SIGILL) for ordinary NullPointerExceptions and stack checks in compiled code, and a
// process whose SIGSEGV handler is not the JVM's aborts at the next such fault.
// faulthandler.enable() (which pytest and CPython's test runner call) installs its own
// handlers for exactly those signals, so in every interpreter faulthandler.enable is
// wrapped: once it has run, the JVM's handlers recorded before Python started are put
// back.  (faulthandler still reports through SIGABRT, which the JVM leaves alone.)  A
// process started with the JVM's signal-chaining library (libjsig) needs none of this:
// there the JVM's handlers are never replaced, and it chains faulthandler's itself.
//
// In the kiv command Python owns the signals the JVM leaves alone (java -Xrs leaves
// SIGINT, SIGTERM and SIGHUP), as python does.  One more step makes signals behave as
// in python: a process-directed signal goes to any thread that does not block it, and
// a JVM has dozens, so Python's main thread would rarely see one, and a blocking read,
// sleep or signal.pause() there would never be interrupted.  Once routeSignals has been
// called, every handler Python installs is wrapped: on another thread the wrapper sends
// the signal on to Python's main thread (where Python's handler then runs and the
// blocking call returns EINTR); on the main thread, and for a signal sent to one thread
// (pthread_kill), it runs Python's handler.  While the console reads a line, Ctrl-C
// goes to the line editor instead (see consoleReading).
#include <Python.h>
#include <dlfcn.h>
#include <jni.h>
#include <pthread.h>
#include <signal.h>

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/checks.h"
#include "common/export.h"
#include "common/gil.h"
#include "common/pyref.h"
#include "embed/embed.h"

// CPython's own: raises the main thread's eval-loop flag for a signal received, when
// called on the main thread.  Async-signal-safe (its signal handler calls it).
extern "C" void _PyEval_SignalReceived(PyInterpreterState* interp);

namespace {

// The signals the JVM needs for itself and faulthandler takes.
constexpr int kJvmFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

struct sigaction g_before[NSIG];  // every handler as it was before Python started
bool g_recorded = false;

// Python's handler for each signal it owns, while the wrapper stands in for it.
std::atomic<void (*)(int)> g_python[NSIG];
pthread_t g_main;
std::atomic<bool> g_routing{false};

bool chained_by_jvm() noexcept { return dlsym(RTLD_DEFAULT, "JVM_begin_signal_setting") != nullptr; }

bool same_handler(const struct sigaction& a, const struct sigaction& b) noexcept {
  if ((a.sa_flags & SA_SIGINFO) != (b.sa_flags & SA_SIGINFO)) return false;
  return (a.sa_flags & SA_SIGINFO) ? a.sa_sigaction == b.sa_sigaction : a.sa_handler == b.sa_handler;
}

// Puts the JVM's handlers for its fault signals back where something replaced them.
void restore_fault_handlers() noexcept {
  if (!g_recorded || chained_by_jvm()) return;
  for (int sig : kJvmFaultSignals) {
    struct sigaction now;
    if (sigaction(sig, nullptr, &now) == 0 && !same_handler(now, g_before[sig])) {
      sigaction(sig, &g_before[sig], nullptr);
    }
  }
}

// The console's line editor, in Java, waits for a line: Ctrl-C is for it, not for
// Python.  The wrapper writes a byte to this pipe, and a Java thread that reads it tells
// the line editor (consoleInterrupts).
std::atomic<bool> g_console_reading{false};
int g_console_pipe[2] = {-1, -1};
pthread_once_t g_console_pipe_once = PTHREAD_ONCE_INIT;

void make_console_pipe() {
  if (pipe2(g_console_pipe, O_CLOEXEC) != 0) g_console_pipe[0] = g_console_pipe[1] = -1;
}

// The signals Python's main thread blocks, as far as Python changed its mask
// (signal.pthread_sigmask there): one bit per signal.
std::atomic<uint64_t> g_main_blocked{0};
// How many times each signal was handled: os.kill of the process's own id waits for the
// count to move (see send_and_wait).
std::atomic<unsigned> g_handled[NSIG];

// The main interpreter, whose eval loop on the main thread runs Python's handlers.
std::atomic<PyInterpreterState*> g_main_interp{nullptr};

// si_value of the signal that only wakes the main thread, its handler having run.
constexpr int kWakeOnly = 0x6b697621;

bool blocked_in_main(int sig) noexcept {
  return sig < 64 && (g_main_blocked.load(std::memory_order_relaxed) >> sig) & 1;
}

// The wrapper of Python's handlers (see the top of the file).  Async-signal-safe.
void route(int sig, siginfo_t* info, void*) {
  int saved = errno;
  bool elsewhere = g_routing.load(std::memory_order_relaxed) && !pthread_equal(pthread_self(), g_main);
  if (sig == SIGINT && g_console_reading.load(std::memory_order_relaxed) && g_console_pipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(g_console_pipe[1], &byte, 1);
    (void)ignored;
  } else if (info && info->si_code == SI_QUEUE && info->si_value.sival_int == kWakeOnly) {
    // The handler has run on another thread, whose flag CPython does not let reach the
    // main thread's eval loop; from here it does (and a blocking call returns EINTR).
    if (PyInterpreterState* interp = g_main_interp.load(std::memory_order_relaxed)) _PyEval_SignalReceived(interp);
  } else if (elsewhere && info && info->si_code != SI_TKILL && blocked_in_main(sig)) {
    // As in python, where it would stay pending until the main thread unblocks it.
    pthread_kill(g_main, sig);
  } else {
    if (void (*python)(int) = g_python[sig].load(std::memory_order_relaxed)) python(sig);
    g_handled[sig].fetch_add(1, std::memory_order_release);
    if (elsewhere) {
      union sigval v;
      v.sival_int = kWakeOnly;
      pthread_sigqueue(g_main, sig, v);
    }
  }
  errno = saved;
}

// Puts the wrapper in front of the handler Python has just installed for sig, if it did.
void wrap(int sig) noexcept {
  if (sig <= 0 || sig >= NSIG) return;
  struct sigaction now;
  if (sigaction(sig, nullptr, &now) != 0) return;
  if (now.sa_flags & SA_SIGINFO) return;  // the wrapper itself, or not Python's
  if (now.sa_handler == SIG_DFL || now.sa_handler == SIG_IGN) return;
  if (g_recorded && same_handler(now, g_before[sig])) return;  // the JVM's, or the process's own
  g_python[sig].store(now.sa_handler);
  struct sigaction w = now;
  w.sa_handler = nullptr;
  w.sa_sigaction = route;
  w.sa_flags = (now.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
  sigaction(sig, &w, nullptr);
}

// Calls `self` (the wrapped function, held by the wrapper) with the arguments, then
// `after` with the first argument when that is an int.
PyObject* call_then(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, void (*after)(int)) {
  PyObject* result = PyObject_Vectorcall(self, args, static_cast<size_t>(nargs), kwnames);
  if (result) {
    long sig = nargs > 0 && PyLong_Check(args[0]) ? PyLong_AsLong(args[0]) : 0;
    if (sig == -1 && PyErr_Occurred()) PyErr_Clear();
    after(sig > 0 && sig < NSIG ? static_cast<int>(sig) : 0);
  }
  return result;
}

PyObject* faulthandler_enable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_then(self, args, nargs, kwnames, [](int) { restore_fault_handlers(); });
}

PyObject* signal_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_then(self, args, nargs, kwnames, wrap);
}

// How a function sends a signal: args[0] names the target, args[1] is the signal.
enum class Target { Pid, ProcessGroup, PidFd };

// Whether the target of a kill-like call is this process (its pid, its group, or a
// pidfd of it).
bool targets_self(Target kind, PyObject* who) {
  long v = PyLong_AsLong(who);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  switch (kind) {
    case Target::Pid:
      return v == getpid() || v == 0 || v == -1 || v == -getpgrp();
    case Target::ProcessGroup:
      return v == 0 || v == getpgrp();
    case Target::PidFd: {
      struct stat fd, self;
      return fstat(static_cast<int>(v), &fd) == 0 && stat("/proc/self", &self) == 0 && fd.st_ino == self.st_ino &&
             fd.st_dev == self.st_dev;
    }
  }
  return false;
}

// Calls the wrapped kill-like function `self`; when it sent a signal to this process that
// Python handles and the main thread does not block, waits (at most a second) until the
// handler has run on whichever thread the kernel chose, so that Python raises from it
// right after the call, as in python, where the calling thread gets the signal itself.
PyObject* send_and_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Target kind) {
  long sig = nargs >= 2 && PyLong_Check(args[1]) ? PyLong_AsLong(args[1]) : 0;
  if (sig == -1 && PyErr_Occurred()) PyErr_Clear();
  bool wait = g_routing.load() && sig > 0 && sig < NSIG && g_python[sig].load() && !blocked_in_main(static_cast<int>(sig)) &&
              pthread_equal(pthread_self(), g_main) && targets_self(kind, args[0]);
  unsigned before = wait ? g_handled[sig].load(std::memory_order_acquire) : 0;
  PyObject* result = PyObject_Vectorcall(self, args, static_cast<size_t>(nargs), kwnames);
  if (result && wait) {
    struct timespec pause = {0, 20000};
    for (int i = 0; i < 50000 && g_handled[sig].load(std::memory_order_acquire) == before; ++i) nanosleep(&pause, nullptr);
    if (PyErr_CheckSignals() < 0) Py_CLEAR(result);
  }
  return result;
}

PyObject* os_kill(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return send_and_wait(self, args, nargs, kwnames, Target::Pid);
}

PyObject* os_killpg(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return send_and_wait(self, args, nargs, kwnames, Target::ProcessGroup);
}

PyObject* signal_pidfd_send_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return send_and_wait(self, args, nargs, kwnames, Target::PidFd);
}

// signal.pthread_sigmask on the main thread: the mask is recorded for route.
PyObject* signal_pthread_sigmask(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* result = PyObject_Vectorcall(self, args, static_cast<size_t>(nargs), kwnames);
  if (result && g_routing.load() && pthread_equal(pthread_self(), g_main)) {
    sigset_t now;
    if (pthread_sigmask(SIG_BLOCK, nullptr, &now) == 0) {
      uint64_t bits = 0;
      for (int sig = 1; sig < NSIG && sig < 64; ++sig) {
        if (sigismember(&now, sig) == 1) bits |= uint64_t{1} << sig;
      }
      g_main_blocked.store(bits);
    }
  }
  return result;
}

#define KIV_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS
PyMethodDef kOsKill = {"kill", KIV_FASTCALL(os_kill), "os.kill(), the handler run before it returns."};
PyMethodDef kOsKillpg = {"killpg", KIV_FASTCALL(os_killpg), "os.killpg(), the handler run before it returns."};
PyMethodDef kPidfdSendSignal = {"pidfd_send_signal", KIV_FASTCALL(signal_pidfd_send_signal),
                                "signal.pidfd_send_signal(), the handler run before it returns."};
PyMethodDef kPthreadSigmask = {"pthread_sigmask", KIV_FASTCALL(signal_pthread_sigmask),
                               "signal.pthread_sigmask(), recorded for the signals sent to the main thread."};
#undef KIV_FASTCALL

PyMethodDef kFaulthandlerEnable = {"enable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(faulthandler_enable)),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "faulthandler.enable(), leaving the JVM's own signal handlers in place."};
PyMethodDef kSignalSignal = {"signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(signal_signal)),
                             METH_FASTCALL | METH_KEYWORDS, "signal.signal(), seeing that the handler gets its signals."};

// Replaces module.name (a function) with a wrapper made from def that holds it.  Once per
// module: a wrapper is not wrapped again.  Leaves no Python error.
void wrap_function(const char* module_name, PyMethodDef* def) noexcept {
  kiv::PyErrorStash stash;
  kiv::PyRef module = kiv::PyRef::steal(PyImport_ImportModule(module_name));
  kiv::PyRef original = kiv::PyRef::steal(module ? PyObject_GetAttrString(module.get(), def->ml_name) : nullptr);
  if (original && PyCFunction_Check(original.get()) && PyCFunction_GET_FUNCTION(original.get()) == def->ml_meth) {
    return;
  }
  kiv::PyRef wrapper = kiv::PyRef::steal(original ? PyCFunction_New(def, original.get()) : nullptr);
  if (!wrapper || PyObject_SetAttrString(module.get(), def->ml_name, wrapper.get()) < 0) PyErr_Clear();
  PyErr_Clear();
}

}  // namespace

namespace kiv {

void record_signal_handlers() noexcept {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigaction(sig, nullptr, &g_before[sig]) != 0) std::memset(&g_before[sig], 0, sizeof g_before[sig]);
  }
  g_recorded = true;
}

void guard_signal_handlers() noexcept {
  restore_fault_handlers();
  wrap_function("faulthandler", &kFaulthandlerEnable);
}

}  // namespace kiv

// The kiv command's thread, Python's main thread, after start-up: from now on signals
// Python handles reach it (see the top of the file).
extern "C" KIV_EXPORT void JNICALL Java_kiv_MainInterpreter_routeSignalsNative(JNIEnv*, jclass) noexcept {
  KIV_JNI_BOUNDARY();
  PyInterpreterState* interp = kiv::main_interpreter();
  if (!interp) return;
  kiv::TemporaryThreadState ts(interp);
  if (!ts.ok() || !_PyOS_IsMainThread()) return;
  g_main = pthread_self();
  g_main_interp.store(interp);
  g_routing.store(true);
  for (int sig = 1; sig < NSIG; ++sig) wrap(sig);
  // The os and signal modules copied some of these functions when they were imported.
  wrap_function("_signal", &kSignalSignal);
  wrap_function("_signal", &kPthreadSigmask);
  for (const char* module : {"_signal", "signal"}) wrap_function(module, &kPidfdSendSignal);
  for (const char* module : {"posix", "os"}) {
    wrap_function(module, &kOsKill);
    wrap_function(module, &kOsKillpg);
  }
}

// The console, before and after it reads a line with Python's SIGINT handler in place:
// Ctrl-C meanwhile goes to consoleInterrupts instead of Python.
extern "C" KIV_EXPORT void JNICALL Java_kiv_MainInterpreter_consoleReading(JNIEnv*, jclass, jboolean reading) noexcept {
  KIV_JNI_BOUNDARY();
  pthread_once(&g_console_pipe_once, make_console_pipe);
  g_console_reading.store(reading == JNI_TRUE);
}

// A thread of the console's own: waits for the next Ctrl-C that came while a line was
// read.  False when there is no way to wait.
extern "C" KIV_EXPORT jboolean JNICALL Java_kiv_MainInterpreter_consoleInterrupts(JNIEnv*, jclass) noexcept {
  KIV_JNI_BOUNDARY();
  pthread_once(&g_console_pipe_once, make_console_pipe);
  if (g_console_pipe[0] < 0) return JNI_FALSE;
  char byte;
  for (;;) {
    ssize_t n = read(g_console_pipe[0], &byte, 1);
    if (n == 1) return JNI_TRUE;
    if (n < 0 && errno == EINTR) continue;
    return JNI_FALSE;
  }
}
