// tests/text_test.cpp: the Python version gate, and text between Java's UTF-16, UTF-8
// and Python's str: surrogate pairs, lone surrogates, U+0000, U+FEFF, empty and long
// strings.
#include "tests/runtime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/jref.h"
#include "common/pyref.h"
#include "convert/convert.h"
#include "convert/text.h"
#include "embed/version.h"

namespace {

using Units = std::vector<jchar>;

std::string utf8(Units units) {
  std::string out;
  EXPECT_TRUE(kiv::utf16_to_utf8(units.data(), units.size(), out));
  return out;
}

TEST(VersionGate, AcceptsAny312Release) {
  char msg[200] = {};
  EXPECT_TRUE(kiv::python_version_ok("3.12.1 (main, May  9 2026, 07:36:11) [GCC 12.2.0]", msg, sizeof msg));
  EXPECT_TRUE(kiv::python_version_ok("3.12rc1", msg, sizeof msg));
  EXPECT_TRUE(kiv::python_version_ok("3.12.7+", msg, sizeof msg));
  EXPECT_STREQ("", msg);
}

TEST(VersionGate, RefusesOtherVersionsWithTheirDigits) {
  char msg[200];
  EXPECT_FALSE(kiv::python_version_ok("3.11.4 (main)", msg, sizeof msg));
  EXPECT_STREQ(
      "Kiv will not initialize because it was compiled against Python 3.12 but is running against Python 3.11",
      msg);
  EXPECT_FALSE(kiv::python_version_ok("4.12.0", msg, sizeof msg));
  EXPECT_NE(std::string(msg).find("against Python 4.12"), std::string::npos);
  EXPECT_FALSE(kiv::python_version_ok("3.1", msg, sizeof msg));
  EXPECT_FALSE(kiv::python_version_ok("3.120", msg, sizeof msg));
  // No minor number at all, or no digits: a mismatch, not a crash.
  EXPECT_FALSE(kiv::python_version_ok("3", msg, sizeof msg));
  EXPECT_FALSE(kiv::python_version_ok("", msg, sizeof msg));
  EXPECT_FALSE(kiv::python_version_ok("x.y", msg, sizeof msg));
  EXPECT_FALSE(kiv::python_version_ok(nullptr, msg, sizeof msg));
}

TEST(Utf16ToUtf8, EncodesEveryRangeAsRealUtf8) {
  EXPECT_EQ("abc", utf8({'a', 'b', 'c'}));
  EXPECT_EQ("\xc3\xa9", utf8({0xE9}));                        // é, two bytes
  EXPECT_EQ("\xe2\x82\xac", utf8({0x20AC}));                  // €, three bytes
  EXPECT_EQ("\xf0\x9f\x98\x80", utf8({0xD83D, 0xDE00}));      // U+1F600: one four-byte sequence
  EXPECT_EQ("\xef\xbb\xbfx", utf8({0xFEFF, 'x'}));            // a leading BOM is kept as text
}

TEST(Utf16ToUtf8, KeepsNulAndLoneSurrogatesVisible) {
  std::string s = utf8({'a', 0, 'b'});
  ASSERT_EQ(3u, s.size());  // a zero byte, not modified UTF-8's C0 80
  EXPECT_EQ('\0', s[1]);
  EXPECT_EQ("\xed\xa0\xbd!", utf8({0xD83D, '!'}));  // high surrogate not followed by a low one
  EXPECT_EQ("\xed\xb8\x80", utf8({0xDE00}));        // low surrogate alone
  EXPECT_EQ("\xed\xb8\x80\xed\xa0\xbd", utf8({0xDE00, 0xD83D}));  // reversed pair is two lone units
}

// The units of a string that repeats a mix of one-, two-, three- and four-byte
// characters (long enough to outgrow any first buffer), and its UTF-8.
Units long_units(std::string* utf8_out) {
  const Units piece = {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0};
  const std::string piece_utf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\0", 11);
  Units units;
  for (int i = 0; i < 20000; ++i) {
    units.insert(units.end(), piece.begin(), piece.end());
    if (utf8_out) *utf8_out += piece_utf8;
  }
  return units;
}

// Cases shared by the conversions: name, UTF-16 units.
struct TextCase {
  const char* name;
  Units units;
};

const std::vector<TextCase>& valid_texts() {
  static const std::vector<TextCase> cases = {
      {"empty", {}},
      {"ascii", {'a', 'b', 'c'}},
      {"nul inside", {'a', 0, 'b'}},
      {"nul only", {0}},
      {"latin-1", {'c', 'a', 'f', 0xE9}},
      {"bmp", {0x20AC, 0x4E2D}},
      {"pair", {0xD83D, 0xDE00}},
      {"pair between text", {'x', 0xD83D, 0xDE00, 'y'}},
      {"leading BOM", {0xFEFF, 'a'}},
      {"leading reversed BOM", {0xFFFE, 'a', 'b'}},
      {"BOM then pair", {0xFEFF, 0xD83D, 0xDE00}},
      {"long", long_units(nullptr)},
  };
  return cases;
}

class JavaText : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, env->PushLocalFrame(64)); }
  void TearDown() override {
    env->PopLocalFrame(nullptr);
    EXPECT_FALSE(env->ExceptionCheck());
    EXPECT_FALSE(PyErr_Occurred());
  }
  jstring java(const Units& u) {
    return env->NewString(u.empty() ? nullptr : u.data(), static_cast<jsize>(u.size()));
  }
  Units units_of(jstring s) {
    Units u(static_cast<size_t>(env->GetStringLength(s)));
    if (!u.empty()) env->GetStringRegion(s, 0, static_cast<jsize>(u.size()), u.data());
    return u;
  }
  // The code points of a str.
  std::vector<Py_UCS4> code_points(PyObject* str) {
    std::vector<Py_UCS4> out;
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(str); ++i) out.push_back(PyUnicode_READ_CHAR(str, i));
    return out;
  }
  // A str from code points (lone surrogates allowed).
  kiv::PyRef str(const std::vector<Py_UCS4>& cps) {
    return kiv::PyRef::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(),
                                                       static_cast<Py_ssize_t>(cps.size())));
  }

  JNIEnv* env = kiv_test::env();
};

TEST_F(JavaText, JavaUtf8MatchesTheUtf16Encoder) {
  for (const TextCase& c : valid_texts()) {
    kiv::JavaUtf8 text(env, java(c.units));
    ASSERT_TRUE(text.ok()) << c.name;
    EXPECT_FALSE(text.is_null()) << c.name;
    std::string expected;
    ASSERT_TRUE(kiv::utf16_to_utf8(c.units.data(), c.units.size(), expected));
    EXPECT_EQ(expected, std::string(text.c_str(), text.size())) << c.name;
  }
}

TEST_F(JavaText, JavaUtf8OfEachKindOfString) {
  kiv::JavaUtf8 empty(env, java({}));
  EXPECT_STREQ("", empty.c_str());
  EXPECT_EQ(0u, empty.size());
  EXPECT_FALSE(empty.has_nul());

  kiv::JavaUtf8 null(env, nullptr);
  EXPECT_TRUE(null.is_null());
  EXPECT_TRUE(null.ok());
  EXPECT_EQ(nullptr, null.c_str());
  EXPECT_FALSE(null.has_nul());

  kiv::JavaUtf8 nul(env, java({'a', 0, 'b'}));
  EXPECT_EQ(3u, nul.size());
  EXPECT_TRUE(nul.has_nul());

  kiv::JavaUtf8 lone(env, java({'a', 0xD800}));  // a high surrogate at the very end
  EXPECT_EQ("a\xed\xa0\x80", std::string(lone.c_str(), lone.size()));
  kiv::JavaUtf8 low_first(env, java({0xDC00, 0xD800, 0xDC00}));  // lone low, then a pair
  EXPECT_EQ("\xed\xb0\x80\xf0\x90\x80\x80", std::string(low_first.c_str(), low_first.size()));

  std::string expected;
  Units units = long_units(&expected);
  kiv::JavaUtf8 longer(env, java(units));
  ASSERT_TRUE(longer.ok());
  EXPECT_EQ(expected.size(), longer.size());
  EXPECT_TRUE(expected == std::string(longer.c_str(), longer.size()));
}

TEST_F(JavaText, JavaStringsBecomeTheSameCodePoints) {
  for (const TextCase& c : valid_texts()) {
    kiv::PyRef s = kiv::PyRef::steal(jstring_As_PyString(env, java(c.units)));
    ASSERT_TRUE(s) << c.name;
    std::vector<Py_UCS4> expected;
    for (size_t i = 0; i < c.units.size(); ++i) {
      jchar u = c.units[i];
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < c.units.size()) {
        expected.push_back(0x10000 + ((u - 0xD800) << 10) + (c.units[++i] - 0xDC00));
      } else {
        expected.push_back(u);
      }
    }
    EXPECT_TRUE(expected == code_points(s.get())) << c.name;
  }
}

TEST_F(JavaText, LoneSurrogatesInJavaStringsArriveIntact) {
  for (const Units& u : {Units{0xD800}, Units{'a', 0xDC00}, Units{0xDE00, 0xD83D}, Units{0xD83D, 'x'}}) {
    kiv::PyRef s = kiv::PyRef::steal(jstring_As_PyString(env, java(u)));
    ASSERT_TRUE(s);
    ASSERT_EQ(static_cast<Py_ssize_t>(u.size()), PyUnicode_GET_LENGTH(s.get()));
    for (size_t i = 0; i < u.size(); ++i) EXPECT_EQ(u[i], PyUnicode_READ_CHAR(s.get(), static_cast<Py_ssize_t>(i)));
    jstring back = kiv::unicode_to_jstring(env, s.get());
    ASSERT_NE(nullptr, back);
    EXPECT_TRUE(u == units_of(back));
    env->DeleteLocalRef(back);
  }
}

TEST_F(JavaText, PythonStringsOfEveryWidthBecomeTheSameUnits) {
  for (const TextCase& c : valid_texts()) {
    // Back through Python, built from code points so that each storage width is met.
    kiv::PyRef s = kiv::PyRef::steal(jstring_As_PyString(env, java(c.units)));
    ASSERT_TRUE(s) << c.name;
    jstring back = kiv::unicode_to_jstring(env, s.get());
    ASSERT_NE(nullptr, back) << c.name;
    EXPECT_TRUE(c.units == units_of(back)) << c.name;
    env->DeleteLocalRef(back);
  }
  struct {
    const char* name;
    std::vector<Py_UCS4> cps;
    Units units;
  } widths[] = {
      {"1-byte, past the stack buffer", std::vector<Py_UCS4>(300, 0xE9), Units(300, 0xE9)},
      {"ascii with nul", {'a', 0, 'b'}, {'a', 0, 'b'}},
      {"2-byte with lone surrogates", {0xD800, 'a', 0xDFFF, 0x20AC}, {0xD800, 'a', 0xDFFF, 0x20AC}},
      {"4-byte", {'a', 0x1F600, 0x10FFFF}, {'a', 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}},
  };
  for (auto& w : widths) {
    kiv::PyRef s = str(w.cps);
    ASSERT_TRUE(s) << w.name;
    jstring j = kiv::unicode_to_jstring(env, s.get());
    ASSERT_NE(nullptr, j) << w.name;
    EXPECT_TRUE(w.units == units_of(j)) << w.name;
    env->DeleteLocalRef(j);
  }
  std::vector<Py_UCS4> many(300, 0x1F600);  // 600 units: past the stack buffer
  Units pairs;
  for (int i = 0; i < 300; ++i) pairs.insert(pairs.end(), {0xD83D, 0xDE00});
  kiv::PyRef s = str(many);
  jstring j = kiv::unicode_to_jstring(env, s.get());
  ASSERT_NE(nullptr, j);
  EXPECT_TRUE(pairs == units_of(j));
}

}  // namespace
