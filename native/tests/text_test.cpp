// Pure helpers: the Python version gate and UTF-16 to UTF-8 conversion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/text.h"
#include "embed/version.h"

namespace {

std::string utf8(std::vector<jchar> units) {
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

}  // namespace
