// embed/threads.cpp: the thread states through which threads other than its owner run
// Python for an interpreter binding.
//
// A binding's own thread state belongs to the thread that made it.  Any other thread
// (an executor calling a proxy, a Cleaner, a thread Python started) gets a thread state
// of its own in the binding's interpreter on first use, carrying the same record in its
// dict so that code running there finds its binding.  The thread keeps it in a small
// per-thread cache; the binding keeps all of them in its ForeignThreads, so that closing
// it can delete every one before the interpreter ends (CPython aborts the process when
// an interpreter ends with other thread states left).  A thread that ends hands its
// thread states over for deletion by the next thread that holds the interpreter.
#include <Python.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/gil.h"
#include "common/pyref.h"
#include "embed/embed.h"
#include "exceptions/throw.h"

namespace kiv {

// Shared by a record and the caches of the threads that use it.  The mutex guards the
// lists and is held only for list work, never while waiting for an interpreter lock.
class ForeignThreads {
 public:
  std::mutex mutex;
  std::atomic<bool> closed{false};
  std::vector<PyThreadState*> live;  // their threads may use them again
  std::vector<PyThreadState*> dead;  // their threads ended: to be deleted
};

namespace {

constexpr const char* kRecordKey = "kiv";

// ---- CPython's per-thread binding ---------------------------------------------------------

// The thread-specific key under which CPython keeps the binding (see common/gil.h), once
// found at start-up; without it, bindings are dropped the slow way.
std::atomic<bool> g_key_known{false};
pthread_key_t g_key;

// Drops the binding without the key: a throwaway thread state claims it, and deleting
// that one clears the binding (and nothing else).  Costs an allocation and two passes
// over the runtime's lock.
void drop_binding_slowly(PyThreadState* ts) noexcept {
  PyThreadState* claim = PyThreadState_New(ts->interp);
  if (!claim) return;  // out of memory: the binding stays, as it would without us
  ts->_status.bound_gilstate = 0;
  claim->_status.bound_gilstate = 1;
  PyThreadState_Clear(claim);
  PyThreadState_Delete(claim);  // claim was never current: deleting it switches nothing
}

// ---- per-thread cache -----------------------------------------------------------------------

struct Entry {
  KivThread* rec;
  uint64_t serial;
  PyThreadState* ts;
  std::shared_ptr<ForeignThreads> owner;
};

// The thread states this thread uses for other threads' bindings.  Entries of closed
// bindings are dropped as new ones come; their thread states were deleted at the close.
class ThreadCache {
 public:
  ThreadCache() = default;
  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;
  // The thread ends: its thread states go to their bindings' dead lists.
  ~ThreadCache() {
    for (Entry& e : entries_) {
      std::lock_guard<std::mutex> lock(e.owner->mutex);
      if (e.owner->closed.load()) continue;
      auto& live = e.owner->live;
      auto at = std::find(live.begin(), live.end(), e.ts);
      if (at == live.end()) continue;
      live.erase(at);
      e.owner->dead.push_back(e.ts);
    }
  }

  PyThreadState* find(const KivThread* rec) const noexcept {
    for (const Entry& e : entries_) {
      if (e.rec == rec && e.serial == rec->serial) return e.ts;
    }
    return nullptr;
  }

  bool add(Entry e) noexcept {
    try {
      entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& old) { return old.rec == e.rec || old.owner->closed.load(); }),
                     entries_.end());
      entries_.push_back(std::move(e));
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  void remove(PyThreadState* ts) noexcept {
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.ts == ts; }),
                   entries_.end());
  }

 private:
  std::vector<Entry> entries_;
};

ThreadCache& thread_cache() noexcept {
  static thread_local ThreadCache cache;
  return cache;
}

std::atomic<uint64_t> g_next_serial{1};

// Takes ts out of its binding's list.
void unregister(ForeignThreads& owner, PyThreadState* ts) {
  std::lock_guard<std::mutex> lock(owner.mutex);
  auto at = std::find(owner.live.begin(), owner.live.end(), ts);
  if (at != owner.live.end()) owner.live.erase(at);
}

// Deletes thread states of ts's interpreter that no thread uses any more.  Requires a
// thread state of that interpreter current (whose lock makes the deletion safe).
void delete_unused(const std::vector<PyThreadState*>& unused) noexcept {
  for (PyThreadState* t : unused) {
    // Bindings were dropped after each use; this one must not clear the binding of the
    // thread that deletes it.
    t->_status.bound_gilstate = 0;
    PyThreadState_Clear(t);
    PyThreadState_Delete(t);  // not current anywhere: deleting it switches nothing
  }
}

}  // namespace

void drop_gilstate_binding(PyThreadState* ts) noexcept {
  if (!ts->_status.bound_gilstate) return;
  if (KIV_LIKELY(g_key_known.load(std::memory_order_relaxed))) {
    pthread_setspecific(g_key, nullptr);
    ts->_status.bound_gilstate = 0;
    return;
  }
  drop_binding_slowly(ts);
}

bool find_gilstate_key() noexcept {
  // The binding of this thread (start-up's thread state, current) is a non-null pointer
  // that no other thread-specific value holds.  Look for it among the keys, then check
  // that setting the key is what CPython reads back.
  PyThreadState* bound = PyGILState_GetThisThreadState();
  if (!bound) return false;
  int matches = 0;
  pthread_key_t found = 0;
  for (pthread_key_t k = 0; k < PTHREAD_KEYS_MAX; ++k) {
    if (pthread_getspecific(k) == bound) {
      found = k;
      ++matches;
    }
  }
  if (matches != 1) return false;
  pthread_setspecific(found, nullptr);
  bool follows = PyGILState_GetThisThreadState() == nullptr;
  pthread_setspecific(found, bound);
  if (!follows || PyGILState_GetThisThreadState() != bound) return false;
  g_key = found;
  g_key_known.store(true);
  return true;
}

void forget_gilstate_key_for_tests(bool forget) noexcept {
  static bool was_known = false;
  if (forget) {
    was_known = g_key_known.exchange(false);
  } else {
    g_key_known.store(was_known);
  }
}

void foreign_threads_init(KivThread* rec) {
  rec->serial = g_next_serial.fetch_add(1);
  rec->foreign = std::make_shared<ForeignThreads>();
}

bool is_foreign_thread_state(const KivThread* rec, const PyThreadState* ts) noexcept {
  ForeignThreads& f = *rec->foreign;
  std::lock_guard<std::mutex> lock(f.mutex);
  return std::find(f.live.begin(), f.live.end(), ts) != f.live.end() ||
         std::find(f.dead.begin(), f.dead.end(), ts) != f.dead.end();
}

void end_foreign_thread_states(KivThread* rec) noexcept {
  ForeignThreads& f = *rec->foreign;
  std::vector<PyThreadState*> live, dead;
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.closed.store(true);
    live.swap(f.live);
    dead.swap(f.dead);
  }
  delete_unused(live);
  delete_unused(dead);
}

// The Java side lets no call in while it closes a binding and closes none while a call
// is in, so a binding found open here stays open until the scope ends.
void RecordScope::enter_foreign(JNIEnv* env, KivThread* rec) noexcept {
  ThreadCache& cache = thread_cache();
  if (PyThreadState* ts = cache.find(rec)) {
    scope_.emplace(ts, Binding::Drop);
    return;
  }
  // First use of this binding on this thread.
  const std::shared_ptr<ForeignThreads>& owner = rec->foreign;
  if (owner->closed.load()) {
    throw_kiv(env, kClosed);
    return;
  }
  PyThreadState* ts = PyThreadState_New(rec->tstate->interp);
  if (!ts) {
    throw_out_of_memory(env);
    return;
  }
  bool listed = false;
  {
    std::lock_guard<std::mutex> lock(owner->mutex);
    try {
      owner->live.push_back(ts);
      listed = true;
    } catch (const std::bad_alloc&) {
    }
  }
  bool cached = listed && cache.add(Entry{rec, rec->serial, ts, owner});
  scope_.emplace(ts, Binding::Drop);
  // Current now, with the interpreter's lock: give it the record, and delete the thread
  // states that ended threads left.
  PyObject* dict = cached ? PyThreadState_GetDict() : nullptr;  // borrowed
  PyRef capsule = PyRef::steal(dict ? PyCapsule_New(rec, nullptr, nullptr) : nullptr);
  if (capsule && PyDict_SetItemString(dict, kRecordKey, capsule.get()) == 0) {
    std::vector<PyThreadState*> dead;
    {
      std::lock_guard<std::mutex> lock(owner->mutex);
      dead.swap(owner->dead);
    }
    delete_unused(dead);
    return;
  }
  // Out of memory: this thread state goes again.
  PyErr_Clear();
  if (cached) cache.remove(ts);
  if (listed) unregister(*owner, ts);
  scope_->forget();
  // Raw: ts is current and listed nowhere; deleting it leaves this thread as the scope
  // found it, which the scope then restores.
  PyThreadState_Clear(ts);
  PyThreadState_DeleteCurrent();
  scope_.reset();
  throw_out_of_memory(env);
}

}  // namespace kiv
