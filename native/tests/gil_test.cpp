// tests/gil_test.cpp: the thread-state scopes restore exactly the thread state that was
// current before them, however they nest.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "common/gil.h"

namespace {

using kiv::AllowThreads;
using kiv::current_tstate;
using kiv::TemporaryThreadState;
using kiv::ThreadStateScope;
using kiv_test::python_runs;
using kiv_test::thread_states_of;

// A sub-interpreter (sharing the main interpreter's lock) for the test, ended after it.
class ThreadStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(main, current_tstate());
    sub = Py_NewInterpreter();
    ASSERT_NE(nullptr, sub);
    PyThreadState_Swap(main);
  }
  void TearDown() override {
    ASSERT_EQ(main, current_tstate());
    PyThreadState_Swap(sub);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main);
  }
  PyThreadState* main = kiv_test::main_tstate();
  PyThreadState* sub = nullptr;
};

TEST_F(ThreadStateTest, AllowThreadsReleasesTheLockForOtherThreads) {
  {
    AllowThreads allow;
    EXPECT_EQ(nullptr, current_tstate());
    // Another OS thread can take the lock and run Python meanwhile.  Detached, so that
    // a lock that was never released fails the test instead of hanging it.
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> other = done->get_future();
    std::thread([done] {
      PyGILState_STATE g = PyGILState_Ensure();
      bool ok = python_runs();
      PyGILState_Release(g);
      done->set_value(ok);
    }).detach();
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(20)));
    EXPECT_TRUE(other.get());
  }
  EXPECT_EQ(main, current_tstate());
  EXPECT_TRUE(python_runs());
}

TEST_F(ThreadStateTest, ScopeOfTheCurrentThreadStateChangesNothing) {
  {
    ThreadStateScope same(main);
    EXPECT_EQ(main, current_tstate());
    EXPECT_TRUE(python_runs());
  }
  EXPECT_EQ(main, current_tstate());
}

TEST_F(ThreadStateTest, ScopeSwitchesInterpretersAndBack) {
  {
    ThreadStateScope in_sub(sub);
    EXPECT_EQ(sub, current_tstate());
    EXPECT_EQ(sub->interp, PyInterpreterState_Get());
    EXPECT_TRUE(python_runs());
    {
      ThreadStateScope again(sub);  // already current: nothing happens
      EXPECT_EQ(sub, current_tstate());
    }
    EXPECT_EQ(sub, current_tstate());
    {
      ThreadStateScope back_in_main(main);  // a call from the sub-interpreter into the main one
      EXPECT_EQ(main, current_tstate());
      EXPECT_TRUE(python_runs());
    }
    EXPECT_EQ(sub, current_tstate());
  }
  EXPECT_EQ(main, current_tstate());
}

TEST_F(ThreadStateTest, ScopeFromNoThreadStateLeavesNone) {
  {
    AllowThreads allow;
    {
      ThreadStateScope in_sub(sub);
      EXPECT_EQ(sub, current_tstate());
      EXPECT_TRUE(python_runs());
    }
    EXPECT_EQ(nullptr, current_tstate()) << "the lock is released again";
  }
  EXPECT_EQ(main, current_tstate());
}

TEST_F(ThreadStateTest, TemporaryThreadStateIsDeletedAndThePreviousRestored) {
  PyInterpreterState* main_interp = main->interp;
  int main_count = thread_states_of(main_interp);
  int sub_count = thread_states_of(sub->interp);
  {
    TemporaryThreadState temp(sub->interp);
    ASSERT_TRUE(temp.ok());
    EXPECT_EQ(temp.get(), current_tstate());
    EXPECT_NE(sub, temp.get());
    EXPECT_EQ(sub->interp, PyInterpreterState_Get());
    EXPECT_EQ(sub_count + 1, thread_states_of(sub->interp));
    EXPECT_TRUE(python_runs());
    {
      TemporaryThreadState nested(main_interp);
      ASSERT_TRUE(nested.ok());
      EXPECT_EQ(nested.get(), current_tstate());
      EXPECT_EQ(main_interp, PyInterpreterState_Get());
      EXPECT_EQ(main_count + 1, thread_states_of(main_interp));
    }
    EXPECT_EQ(temp.get(), current_tstate());
    EXPECT_EQ(main_count, thread_states_of(main_interp));
  }
  EXPECT_EQ(main, current_tstate());
  EXPECT_EQ(sub_count, thread_states_of(sub->interp));
  {
    AllowThreads allow;
    {
      TemporaryThreadState temp(main_interp);
      ASSERT_TRUE(temp.ok());
      EXPECT_TRUE(python_runs());
    }
    EXPECT_EQ(nullptr, current_tstate());
  }
  EXPECT_EQ(main, current_tstate());
}

}  // namespace
