// tests/binding_cache_test.cpp: the least-recently-used cache of texts behind the
// per-binding caches of names and compiled code.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include "embed/binding_cache.h"

namespace {

using kiv::TextCache;

// Fresh lists (never immortal, never shared), whose counts show what the cache holds.
class TextCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (PyObject*& v : values) {
      v = PyList_New(0);
      ASSERT_TRUE(v);
    }
  }
  void TearDown() override {
    for (PyObject* v : values) {
      EXPECT_EQ(1, Py_REFCNT(v)) << "a value the cache no longer holds keeps a reference";
      Py_DECREF(v);
    }
  }
  PyObject* values[3] = {};
};

TEST_F(TextCacheTest, TheLeastRecentlyUsedGoesAndTakesItsReference) {
  TextCache cache(2);
  cache.put(u"a", values[0]);
  cache.put(u"b", values[1]);
  EXPECT_EQ(2, Py_REFCNT(values[0]));
  EXPECT_EQ(values[0], cache.find(u"a"));  // now the most recent: "b" goes next
  cache.put(u"c", values[2]);
  EXPECT_EQ(2u, cache.size());
  EXPECT_EQ(nullptr, cache.find(u"b"));
  EXPECT_EQ(1, Py_REFCNT(values[1]));
  EXPECT_EQ(values[0], cache.find(u"a"));
  EXPECT_EQ(values[2], cache.find(u"c"));
  // Keys differ by every code unit, a leading tag and a lone surrogate included.
  EXPECT_EQ(nullptr, cache.find(u"x\xd800"));
  EXPECT_EQ(nullptr, cache.find(std::u16string_view(u"a\0", 2)));
}

TEST_F(TextCacheTest, ASecondPutOfAKeyKeepsTheFirstValue) {
  {
    TextCache cache(2);
    cache.put(u"k", values[0]);
    cache.put(u"k", values[1]);
    EXPECT_EQ(1u, cache.size());
    EXPECT_EQ(values[0], cache.find(u"k"));
    EXPECT_EQ(1, Py_REFCNT(values[1]));
    // Filling past the capacity after that leaves nothing behind.
    cache.put(u"l", values[1]);
    cache.put(u"m", values[2]);
    EXPECT_EQ(nullptr, cache.find(u"k"));
    EXPECT_EQ(1, Py_REFCNT(values[0]));
  }
  // The cache's end let go of the rest (checked in TearDown).
}

TEST_F(TextCacheTest, ACacheOfNoCapacityKeepsNothing) {
  TextCache cache(0);
  cache.put(u"a", values[0]);
  EXPECT_EQ(0u, cache.size());
  EXPECT_EQ(nullptr, cache.find(u"a"));
}

}  // namespace
