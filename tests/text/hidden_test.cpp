#include "text/hidden.h"

#include "text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace radiolist::text {
namespace {

// Each character that shows nothing, and its neighbours that show (or are ordinary blanks),
// through both the UTF-8 and the UTF-16 functions.
TEST(HiddenCharacters, OnlyThoseThatShowNothingAreReplaced) {
  const char32_t hidden[] = {0x00,   0x0A,   0x1F,   0x7F,    0x85,   0x9F,   0xAD,   0x061C,
                             0x115F, 0x180E, 0x200B, 0x200D,  0x200E, 0x200F, 0x2028, 0x2029,
                             0x202A, 0x202E, 0x2060, 0x2064,  0x2066, 0x2069, 0x3164, 0xFEFF,
                             0xFFA0, 0xFFF9, 0xFFFB, 0xE0001, 0xE007F};
  const char32_t shown[] = {0x20,   0x41,   0xA0,   0xA9,   0x0400, 0x0627, 0x2010,
                            0x2027, 0x202F, 0x2065, 0x206A, 0x3000, 0xFFFD, 0x1F3B5};
  const auto utf16 = [](char32_t cp) {
    std::u16string s = u"a";
    if (cp < 0x10000) {
      s += static_cast<char16_t>(cp);
    } else {
      s += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      s += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    return s + u"b";
  };
  const auto utf8 = [](char32_t cp) {
    std::string s = "a";
    utf8::appendCodePoint(s, cp);
    return s + "b";
  };
  for (const char32_t cp : hidden) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    EXPECT_TRUE(isHidden(cp));
    EXPECT_TRUE(hasHidden(utf16(cp)));
    EXPECT_TRUE(hasHidden(utf8(cp)));
    EXPECT_EQ(replaceHidden(utf16(cp)), u"a_b");
    EXPECT_EQ(replaceHidden(utf8(cp)), "a_b");
  }
  for (const char32_t cp : shown) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    EXPECT_FALSE(isHidden(cp));
    EXPECT_FALSE(hasHidden(utf16(cp)));
    EXPECT_FALSE(hasHidden(utf8(cp)));
    EXPECT_EQ(replaceHidden(utf16(cp)), utf16(cp));
    EXPECT_EQ(replaceHidden(utf8(cp)), utf8(cp));
  }
}

// Bytes that are no UTF-8 are kept as they are, but a stray byte in the C1 range counts as the
// control it would be in a legacy page; a lone surrogate is kept.
TEST(HiddenCharacters, MalformedTextIsKeptButNoControlGetsThrough) {
  // \xE2 starts no whole sequence, so \x80 stands alone: a C1 control as well.
  EXPECT_EQ(replaceHidden(std::string("a\xE2\x80z\x85\xC3", 6)), std::string("a\xE2_z_\xC3", 6));
  EXPECT_EQ(replaceHidden(std::string("\xE2\x80\xAE", 3), '?'), "?");  // U+202E
  EXPECT_EQ(replaceHidden(std::u16string(u"\xD800x\xDC00")), std::u16string(u"\xD800x\xDC00"));
  EXPECT_EQ(replaceHidden(std::string_view("Evil \xE2\x80\xAEgnp.exe")), "Evil _gnp.exe");
}

}  // namespace
}  // namespace radiolist::text
