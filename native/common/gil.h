// common/gil.h: the interpreter lock and thread states, as scopes.
#pragma once

#include <Python.h>

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

// Makes `ts` current on this OS thread, with its interpreter's lock, for the scope.
// Nests: when ts is already current nothing happens; when another thread state is
// current (a Java call made while some interpreter's lock is held), that one is
// released first and restored afterwards.  ts must belong to this OS thread.
class ThreadStateScope {
 public:
  explicit ThreadStateScope(PyThreadState* ts) noexcept : ts_(ts), prev_(current_tstate()) {
    if (prev_ == ts_) return;
    if (prev_) PyEval_SaveThread();
    PyEval_RestoreThread(ts_);
  }
  ~ThreadStateScope() {
    if (prev_ == ts_) return;
    PyEval_SaveThread();
    if (prev_) PyEval_RestoreThread(prev_);
  }
  ThreadStateScope(const ThreadStateScope&) = delete;
  ThreadStateScope& operator=(const ThreadStateScope&) = delete;

 private:
  PyThreadState* ts_;
  PyThreadState* prev_;
};

// A temporary thread state of `interp` for this OS thread, held for the scope and
// deleted afterwards.  Used wherever work must run in an interpreter whose long-lived
// thread states belong to other threads (the main interpreter after start-up): one
// thread state must never run on two OS threads at once.
class TemporaryThreadState {
 public:
  explicit TemporaryThreadState(PyInterpreterState* interp) noexcept
      : prev_(current_tstate()), ts_(PyThreadState_New(interp)) {
    if (!ts_) return;
    if (prev_) PyEval_SaveThread();
    PyEval_RestoreThread(ts_);
  }
  ~TemporaryThreadState() {
    if (!ts_) return;
    PyThreadState_Clear(ts_);
    PyThreadState_DeleteCurrent();  // also releases the lock
    if (prev_) PyEval_RestoreThread(prev_);
  }
  TemporaryThreadState(const TemporaryThreadState&) = delete;
  TemporaryThreadState& operator=(const TemporaryThreadState&) = delete;

  // False when the thread state could not be made (out of memory); nothing is held.
  bool ok() const noexcept { return ts_ != nullptr; }
  PyThreadState* get() const noexcept { return ts_; }

 private:
  PyThreadState* prev_;
  PyThreadState* ts_;
};

}  // namespace kiv
