// common/gil.h: the interpreter lock and thread states, as scopes.
#pragma once

#include <Python.h>

#include "common/checks.h"

namespace kiv {

// The thread state current on this OS thread, or nullptr; never fails.
inline PyThreadState* current_tstate() noexcept { return _PyThreadState_UncheckedGet(); }

// Releases the interpreter lock around work that does not touch Python (a Java call
// that may block or call back into Python).  Requires: lock held.
class AllowThreads {
 public:
  AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

// Sets the thread state current on this OS thread (if any) aside for the scope: its lock
// is released, and it is made current again when the scope ends, by which time the
// code inside must have left no thread state current.  For work that makes other
// thread states, or interpreters, current.
class ThreadStateAside {
 public:
  ThreadStateAside() noexcept : prev_(current_tstate()) {
    if (prev_) PyEval_SaveThread();
  }
  ~ThreadStateAside() {
    if (prev_) PyEval_RestoreThread(prev_);
  }
  ThreadStateAside(const ThreadStateAside&) = delete;
  ThreadStateAside& operator=(const ThreadStateAside&) = delete;

 private:
  PyThreadState* prev_;
};

// CPython 3.12 keeps, per OS thread, the thread state that its PyGILState_* functions
// use, and binds it to the thread state made current last on that thread.  The next
// time the thread makes another one current, CPython writes to the bound one.  So a
// thread state that another thread may delete (see embed/threads.cpp) must not stay
// bound once its use ends: drop_gilstate_binding(ts), with ts current on this thread,
// leaves this thread with no bound thread state (ts stays current).  Defined in
// embed/threads.cpp.
void drop_gilstate_binding(PyThreadState* ts) noexcept;

// What a ThreadStateScope does with CPython's per-thread binding when it ends: Keep it
// (the thread state belongs to this thread for good) or Drop it (the thread state is
// lent to this thread and may be deleted by another; see drop_gilstate_binding).
enum class Binding { Keep, Drop };

// Makes `ts` current on this OS thread, with its interpreter's lock, for the scope.
// Nests: when ts is already current nothing happens; when another thread state is
// current (a Java call made while some interpreter's lock is held), that one is
// released first and restored afterwards.  ts must be used by no other OS thread
// meanwhile.  For calls from Java into Python: releasing ts with a Python error still
// set is a broken invariant (checked with KIV_DEBUG_CHECKS, see common/checks.h).
class ThreadStateScope {
 public:
  explicit ThreadStateScope(PyThreadState* ts, Binding binding = Binding::Keep) noexcept
      : ts_(ts), prev_(current_tstate()), drop_(binding == Binding::Drop) {
    if (prev_ == ts_) return;
    if (prev_) PyEval_SaveThread();
    PyEval_RestoreThread(ts_);
  }
  ~ThreadStateScope() {
    if (prev_ == ts_) return;
    if (ts_) {
      KIV_CHECK_NO_PYTHON_ERROR("ThreadStateScope");
      if (drop_) drop_gilstate_binding(ts_);
      PyEval_SaveThread();
    }
    if (prev_) PyEval_RestoreThread(prev_);
  }
  ThreadStateScope(const ThreadStateScope&) = delete;
  ThreadStateScope& operator=(const ThreadStateScope&) = delete;

  // For code that deleted ts inside the scope (or ended its interpreter), which leaves
  // no thread state current: the scope then only restores the one it released.
  void forget() noexcept { ts_ = nullptr; }

 private:
  PyThreadState* ts_;
  PyThreadState* prev_;
  bool drop_;
};

// A new thread state of `interp` for this OS thread, held for the scope and deleted
// afterwards; the thread state current before is set aside meanwhile.  Used wherever
// work must run in an interpreter whose long-lived thread states belong to other
// threads (the main interpreter after start-up): one thread state must never run on two
// OS threads at once.  Like ThreadStateScope, for calls from Java.
class TemporaryThreadState {
 public:
  explicit TemporaryThreadState(PyInterpreterState* interp) noexcept : ts_(PyThreadState_New(interp)) {
    if (ts_) PyEval_RestoreThread(ts_);
  }
  ~TemporaryThreadState() {
    if (!ts_) return;
    KIV_CHECK_NO_PYTHON_ERROR("TemporaryThreadState");
    PyThreadState_Clear(ts_);
    PyThreadState_DeleteCurrent();  // also releases the lock
  }
  TemporaryThreadState(const TemporaryThreadState&) = delete;
  TemporaryThreadState& operator=(const TemporaryThreadState&) = delete;

  // False when the thread state could not be made (out of memory); nothing is held.
  bool ok() const noexcept { return ts_ != nullptr; }
  PyThreadState* get() const noexcept { return ts_; }
  // The thread state has a new owner, which released it (a new interpreter binding):
  // the scope no longer deletes it and only restores the one set aside.
  void disown() noexcept { ts_ = nullptr; }

 private:
  ThreadStateAside aside_;  // first: set aside before ts_ is made current
  PyThreadState* ts_;
};

}  // namespace kiv
