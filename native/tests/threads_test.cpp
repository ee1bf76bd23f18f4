// tests/threads_test.cpp: threads other than a binding's owner run Python through thread
// states of their own, which carry the record, leave no PyGILState binding behind once
// used, and go when the binding closes (or their thread ends).
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "common/gil.h"
#include "common/jref.h"
#include "embed/embed.h"

namespace {

using kiv::AllowThreads;
using kiv::current_tstate;
using kiv::RecordScope;
using kiv_test::python_runs;
using kiv_test::thread_states_of;

// What a thread saw inside and after one RecordScope on the record.
struct Seen {
  bool ok = false;
  PyThreadState* ts = nullptr;
  KivThread* found = nullptr;  // pyembed_get_kivthread inside the scope
  bool bound_inside = false;   // PyGILState's binding was ts inside the scope
  bool ensure_kept_it = false; // PyGILState_Ensure inside the scope kept ts current
  bool ran = false;
  PyThreadState* binding_after = nullptr;
  unsigned bound_flag_after = 1;
};

Seen use(KivThread* rec) {
  Seen s;
  {
    RecordScope scope(kiv::attached_env(), rec);
    s.ok = scope.ok();
    if (!s.ok) return s;
    s.ts = current_tstate();
    s.found = pyembed_get_kivthread();
    s.bound_inside = PyGILState_GetThisThreadState() == s.ts;
    PyGILState_STATE g = PyGILState_Ensure();
    s.ensure_kept_it = g == PyGILState_LOCKED && current_tstate() == s.ts;
    PyGILState_Release(g);
    s.ran = python_runs();
  }
  s.binding_after = PyGILState_GetThisThreadState();
  s.bound_flag_after = s.ts->_status.bound_gilstate;
  return s;
}

// Runs f on a new thread while this one lets the interpreter lock go.
template <class F>
void on_new_thread(F f) {
  std::thread t(f);
  AllowThreads allow;
  t.join();
}

// A binding of the main interpreter that every thread, this one included, uses as an
// outsider: its owner is no thread.
class ForeignThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(main, current_tstate());
    rec.emplace();
    rec->tstate = main;
    rec->ownerThread = pthread_t{};
    kiv::foreign_threads_init(&*rec);
    before = thread_states_of(main->interp);
  }
  void TearDown() override {
    ASSERT_EQ(main, current_tstate());
    kiv::end_foreign_thread_states(&*rec);
    EXPECT_EQ(before, thread_states_of(main->interp)) << "closing deleted every one";
    EXPECT_EQ(main, PyGILState_GetThisThreadState()) << "this thread's binding is its own again";
    rec.reset();
  }
  PyThreadState* main = kiv_test::main_tstate();
  std::optional<KivThread> rec;
  int before = 0;
};

TEST_F(ForeignThreadTest, AThreadRunsPythonOnAThreadStateOfItsOwnThatCarriesTheRecord) {
  Seen first, second;
  on_new_thread([&] {
    first = use(&*rec);
    second = use(&*rec);
  });
  ASSERT_TRUE(first.ok);
  EXPECT_NE(main, first.ts);
  EXPECT_EQ(main->interp, first.ts->interp);
  EXPECT_EQ(&*rec, first.found);
  EXPECT_TRUE(first.ran);
  EXPECT_EQ(first.ts, second.ts) << "kept for the thread's next call";
  EXPECT_TRUE(kiv::is_foreign_thread_state(&*rec, first.ts));
  EXPECT_EQ(before + 1, thread_states_of(main->interp));
}

// PyGILState's binding follows the thread state while it is used, and is dropped after:
// otherwise another thread deleting it would leave this one bound to freed memory.
void expect_binding_dropped(KivThread* rec) {
  Seen fresh, here;
  on_new_thread([&] { fresh = use(rec); });
  ASSERT_TRUE(fresh.ok);
  EXPECT_TRUE(fresh.bound_inside);
  EXPECT_TRUE(fresh.ensure_kept_it);
  EXPECT_EQ(nullptr, fresh.binding_after);
  EXPECT_EQ(0u, fresh.bound_flag_after);
  here = use(rec);  // a thread with a binding of its own (the main thread state) gets it back
  ASSERT_TRUE(here.ok);
  EXPECT_TRUE(here.bound_inside);
  EXPECT_EQ(0u, here.bound_flag_after);
  EXPECT_EQ(kiv_test::main_tstate(), current_tstate());
  EXPECT_TRUE(python_runs());
}

TEST_F(ForeignThreadTest, TheBindingIsDroppedThroughTheKey) {
  ASSERT_TRUE(kiv::find_gilstate_key());
  expect_binding_dropped(&*rec);
  kiv::forget_gilstate_key_for_tests(true);
}

TEST_F(ForeignThreadTest, TheBindingIsDroppedWithoutTheKey) {
  kiv::forget_gilstate_key_for_tests(true);
  expect_binding_dropped(&*rec);
}

TEST_F(ForeignThreadTest, ScopesNestAcrossCallsThatLetTheLockGo) {
  bool ok = false;
  on_new_thread([&] {
    RecordScope outer(kiv::attached_env(), &*rec);
    PyThreadState* ts = current_tstate();
    {
      AllowThreads java_call;  // Python calls Java, which calls back
      RecordScope inner(kiv::attached_env(), &*rec);
      ok = current_tstate() == ts && python_runs();
    }
    ok = ok && current_tstate() == ts && python_runs() && PyGILState_GetThisThreadState() == ts;
  });
  EXPECT_TRUE(ok);
}

TEST_F(ForeignThreadTest, ThreadStatesOfEndedThreadsGoWhenTheNextThreadComes) {
  Seen a, b;
  on_new_thread([&] { a = use(&*rec); });
  EXPECT_TRUE(kiv::is_foreign_thread_state(&*rec, a.ts)) << "still listed, to be deleted";
  EXPECT_EQ(before + 1, thread_states_of(main->interp));
  on_new_thread([&] { b = use(&*rec); });
  ASSERT_TRUE(b.ok);
  EXPECT_TRUE(kiv::is_foreign_thread_state(&*rec, b.ts));
  EXPECT_EQ(before + 1, thread_states_of(main->interp)) << "the ended thread's one was deleted";
}

TEST_F(ForeignThreadTest, ManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<Seen> seen(8);
  std::atomic<size_t> done{0};
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 50; ++k) seen[i] = use(&*rec);
      // Alive until all are done: a thread state of an ended thread may be deleted and
      // its memory reused for another.
      ++done;
      while (done.load() < seen.size()) std::this_thread::yield();
    });
  }
  {
    AllowThreads allow;
    for (auto& t : threads) t.join();
  }
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i].ok && seen[i].ran && seen[i].found == &*rec) << i;
    for (size_t j = 0; j < i; ++j) EXPECT_NE(seen[i].ts, seen[j].ts) << "one thread state per thread";
  }
}

TEST_F(ForeignThreadTest, AfterClosingNoThreadStateIsMade) {
  on_new_thread([&] { use(&*rec); });
  kiv::end_foreign_thread_states(&*rec);
  EXPECT_EQ(before, thread_states_of(main->interp));
  Seen late;
  on_new_thread([&] {
    late = use(&*rec);
    kiv::attached_env()->ExceptionClear();
  });
  EXPECT_FALSE(late.ok);
  EXPECT_EQ(before, thread_states_of(main->interp));
}

// A record made later at the same address is another binding: a thread's cache does not
// hand it the thread state it had for the old one, which closing deleted.
TEST_F(ForeignThreadTest, ARecordAtAnEarlierRecordsAddressGetsItsOwnThreadStates) {
  Seen old_use = use(&*rec);  // this thread is an outsider too
  ASSERT_TRUE(old_use.ok);
  KivThread* address = &*rec;
  kiv::end_foreign_thread_states(address);
  rec.reset();
  rec.emplace();
  rec->tstate = main;
  rec->ownerThread = pthread_t{};
  kiv::foreign_threads_init(&*rec);
  ASSERT_EQ(address, &*rec);
  Seen new_use = use(&*rec);
  ASSERT_TRUE(new_use.ok);
  EXPECT_TRUE(kiv::is_foreign_thread_state(&*rec, new_use.ts));
  EXPECT_EQ(&*rec, new_use.found);
  EXPECT_TRUE(new_use.ran);
  EXPECT_EQ(before + 1, thread_states_of(main->interp));
}

}  // namespace
