#include "platform/text.h"

#include <gtest/gtest.h>

namespace velmo::platform {
namespace {

TEST(TextTest, Utf8RoundTripsEveryPlane) {
  const std::u16string text = u"C:\\Users\\Łukasz\\ D:\\設計\\ 𝄞 é";
  const std::string utf8 = ToUtf8(text);
  EXPECT_EQ(utf8,
            "C:\\Users\\\xC5\x81ukasz\\ D:\\\xE8\xA8\xAD\xE8\xA8\x88\\ \xF0\x9D\x84\x9E \xC3\xA9");
  EXPECT_EQ(FromUtf8(utf8), text);
  EXPECT_EQ(ToUtf8(u""), "");
  EXPECT_EQ(FromUtf8(""), u"");
}

TEST(TextTest, MalformedInputIsReplacedNotDropped) {
  EXPECT_EQ(FromUtf8("a\xFF"
                     "b"),
            u"a\uFFFDb");
  EXPECT_EQ(FromUtf8("a\xE8\xA8"), u"a\uFFFD");  // cut inside a character
  const char16_t lone[] = {u'x', 0xD800, u'y'};
  EXPECT_EQ(ToUtf8(std::u16string_view(lone, 3)), "x\xEF\xBF\xBDy");
}

TEST(TextTest, UpperCaseIsPerCharacterAndKeepsTheLength) {
  EXPECT_EQ(ToUpper(u"c:\\velmo\\dat\\param.pp"), u"C:\\VELMO\\DAT\\PARAM.PP");
  EXPECT_EQ(ToUpper(u"łukasz żółć éà"), u"ŁUKASZ ŻÓŁĆ ÉÀ");
  EXPECT_EQ(ToUpper(u"設計 123 _-"), u"設計 123 _-");
  // Full mappings would lengthen these; Windows keeps them as they are.
  EXPECT_EQ(ToUpper(u"straße").size(), 6u);
  EXPECT_EQ(ToUpper(u"ŉ").size(), 1u);
  EXPECT_EQ(ToUpper(u"𐐨"), u"𐐀");  // Deseret, outside the first plane
}

}  // namespace
}  // namespace velmo::platform
