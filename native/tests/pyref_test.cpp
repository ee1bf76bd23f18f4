// tests/pyref_test.cpp: PyRef's reference counts and PyErrorStash.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <utility>

#include "common/pyref.h"

namespace {

using kiv::PyRef;

// Each test gets fresh objects (lists: never immortal, never shared) and checks that
// their counts are back where they started when it ends.
class PyRefTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = PyList_New(0);
    b = PyList_New(0);
    ASSERT_TRUE(a && b);
  }
  void TearDown() override {
    EXPECT_EQ(1, Py_REFCNT(a));
    EXPECT_EQ(1, Py_REFCNT(b));
    Py_DECREF(a);
    Py_DECREF(b);
    EXPECT_FALSE(PyErr_Occurred());
  }
  PyObject* a = nullptr;  // one reference each, the test's own
  PyObject* b = nullptr;
};

TEST_F(PyRefTest, StealTakesTheReferenceBorrowAddsOne) {
  {
    Py_INCREF(a);
    PyRef stolen = PyRef::steal(a);
    EXPECT_EQ(2, Py_REFCNT(a));
    PyRef borrowed = PyRef::borrow(a);
    EXPECT_EQ(3, Py_REFCNT(a));
    EXPECT_EQ(a, borrowed.get());
  }
  EXPECT_EQ(1, Py_REFCNT(a));
  PyRef none = PyRef::borrow(nullptr);
  EXPECT_FALSE(none);
  EXPECT_EQ(nullptr, none.new_ref());
}

TEST_F(PyRefTest, MovesKeepTheCount) {
  PyRef x = PyRef::borrow(a);
  PyRef y(std::move(x));
  EXPECT_FALSE(x);
  EXPECT_EQ(a, y.get());
  EXPECT_EQ(2, Py_REFCNT(a));

  PyRef z = PyRef::borrow(b);
  z = std::move(y);  // drops b, takes a
  EXPECT_FALSE(y);
  EXPECT_EQ(a, z.get());
  EXPECT_EQ(2, Py_REFCNT(a));
  EXPECT_EQ(1, Py_REFCNT(b));

  PyRef& alias = z;
  z = std::move(alias);  // self-assignment: nothing dropped
  EXPECT_EQ(a, z.get());
  EXPECT_EQ(2, Py_REFCNT(a));
}

TEST_F(PyRefTest, ReleaseResetAndNewRef) {
  PyRef r = PyRef::borrow(a);
  PyObject* owned = r.release();
  EXPECT_FALSE(r);
  EXPECT_EQ(2, Py_REFCNT(a));  // the caller owns it now
  Py_DECREF(owned);

  r = PyRef::borrow(a);
  Py_INCREF(b);
  r.reset(b);  // drops a, takes b without another reference
  EXPECT_EQ(1, Py_REFCNT(a));
  EXPECT_EQ(2, Py_REFCNT(b));

  PyObject* copy = r.new_ref();
  EXPECT_EQ(b, copy);
  EXPECT_EQ(3, Py_REFCNT(b));
  Py_DECREF(copy);
  r.reset();
  EXPECT_FALSE(r);
  EXPECT_EQ(1, Py_REFCNT(b));
  r.reset();  // empty: nothing to drop
}

// Takes references, then returns early when asked, as error paths do.
bool hold_then_return(PyObject* x, PyObject* y, bool fail) {
  PyRef first = PyRef::borrow(x);
  if (fail) return false;
  PyRef second = PyRef::borrow(y);
  return PyList_Append(first.get(), second.get()) == 0 && PyList_SetSlice(first.get(), 0, 1, nullptr) == 0;
}

TEST_F(PyRefTest, EveryReturnDropsTheReferences) {
  EXPECT_FALSE(hold_then_return(a, b, true));
  EXPECT_TRUE(hold_then_return(a, b, false));
  // TearDown checks the counts.
}

TEST(PyErrorStash, RestoresTheSameErrorWhateverRanInside) {
  PyObject* original = PyObject_CallFunction(PyExc_ValueError, "s", "outer");
  ASSERT_NE(nullptr, original);
  PyErr_SetRaisedException(original);  // steals it; `original` stays a borrowed pointer
  {
    kiv::PyErrorStash stash;
    EXPECT_EQ(nullptr, PyErr_Occurred()) << "clean-up code runs with no error set";
    PyObject* r = PyRun_String("1 // 0", Py_eval_input, PyEval_GetBuiltins(), PyEval_GetBuiltins());
    EXPECT_EQ(nullptr, r);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ZeroDivisionError));
    // Left set on purpose: the stashed error must win.
  }
  PyObject* now = PyErr_GetRaisedException();
  EXPECT_EQ(original, now);
  Py_XDECREF(now);
}

TEST(PyErrorStash, WithNoErrorLeavesNoneBehind) {
  {
    kiv::PyErrorStash stash;
    EXPECT_EQ(nullptr, PyErr_Occurred());
  }
  EXPECT_EQ(nullptr, PyErr_Occurred());
}

}  // namespace
