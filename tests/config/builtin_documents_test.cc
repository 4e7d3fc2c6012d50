// The documents the library brings: INI configuration files and name=value parameter files.
#include "config/builtin_documents.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "temp_dir.h"

namespace velmo {
namespace {

using ::testing::ElementsAre;

TEST(IniDocumentTest, ReadsSectionsValuesAndComments) {
  IniDocument doc;
  doc.Parse(
      "top = before any section\r\n"
      "; a comment\r\n"
      "[Units]\r\n"
      "  Length =  mm  \r\n"
      "Length = ignored, the first one wins\r\n"
      "no equals sign here\r\n"
      "=no name\r\n"
      "Empty =\r\n"
      "Expr = a=b\r\n"
      "[ Paths ]\n"
      "Root = C:\\Users\\\xC5\x81ukasz\\\n"
      "[units]\n"
      "Angle = deg\n");
  EXPECT_THAT(doc.Sections(), ElementsAre(u"", u"Units", u"Paths"));
  EXPECT_EQ(doc.Value(u"", u"top"), u"before any section");
  EXPECT_EQ(doc.Value(u"UNITS", u"length"), u"mm");
  EXPECT_EQ(doc.Value(u"Units", u"Empty"), u"");
  EXPECT_EQ(doc.Value(u"Units", u"Expr"), u"a=b");
  EXPECT_EQ(doc.Value(u"units", u"Angle"), u"deg");  // a section opened twice is one section
  EXPECT_EQ(doc.Value(u"Paths", u"Root"), u"C:\\Users\\Łukasz\\");
  EXPECT_EQ(doc.Value(u"Units", u"Missing"), std::nullopt);
  EXPECT_EQ(doc.Value(u"Missing", u"Length"), std::nullopt);
}

TEST(IniDocumentTest, ReadsEveryEncodingItPromises) {
  IniDocument bom;
  bom.Parse("\xEF\xBB\xBF[S]\nName=\xE8\xA8\xAD\xE8\xA8\x88\n");
  EXPECT_EQ(bom.Value(u"S", u"Name"), u"設計");

  const std::u16string text = u"[S]\r\nName=設計\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : text) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  IniDocument wide;
  wide.Parse(utf16);
  EXPECT_EQ(wide.Value(u"s", u"name"), u"設計");

  IniDocument broken;
  broken.Parse(
      "[S]\nName=a\xFF"
      "b\n");
  EXPECT_EQ(broken.Value(u"S", u"Name"), u"a\uFFFDb");
}

TEST(IniDocumentTest, MergeTakesOnlyWhatIsMissing) {
  IniDocument user;
  user.Parse("[Units]\nLength=mm\n[Own]\nX=1\n");
  IniDocument application;
  application.Parse("[Units]\nlength=inch\nAngle=deg\n[Shared]\nY=2\n");
  user.Merge(application);
  EXPECT_EQ(user.Value(u"Units", u"Length"), u"mm");
  EXPECT_EQ(user.Value(u"Units", u"Angle"), u"deg");
  EXPECT_EQ(user.Value(u"Shared", u"Y"), u"2");
  EXPECT_EQ(user.Value(u"Own", u"X"), u"1");
  EXPECT_EQ(application.Value(u"Own", u"X"), std::nullopt);  // the other one is not changed

  // Another library's document cannot be read from.
  class Foreign final : public ConfigDocument {
   public:
    bool Load(std::u16string_view) override { return true; }
    void Merge(ConfigDocument&) override {}
  } foreign;
  EXPECT_THROW(user.Merge(foreign), std::invalid_argument);
}

TEST(IniDocumentTest, LoadReadsTheFileOrSaysItCannot) {
  velmo::testing::TempDir dir;
  dir.Write(u"Dat/velmo.cfg", "[A]\nB=C\n");
  IniDocument doc;
  EXPECT_TRUE(doc.Load(dir.path() + u"dat\\VELMO.cfg"));
  EXPECT_EQ(doc.Value(u"A", u"B"), u"C");
  IniDocument missing;
  EXPECT_FALSE(missing.Load(dir.path() + u"dat\\other.cfg"));
  EXPECT_TRUE(missing.Sections().empty());
}

TEST(ParameterDocumentTest, ReadsNamesAndValues) {
  ParameterDocument doc;
  doc.Parse("; profile parameters\nHeight = 120\nwidth=80\nHEIGHT = 999\n[ignored]\n");
  EXPECT_EQ(doc.size(), 2u);
  EXPECT_EQ(doc.Value(u"height"), u"120");
  EXPECT_EQ(doc.Value(u"Width"), u"80");
  EXPECT_EQ(doc.Value(u"Depth"), std::nullopt);

  velmo::testing::TempDir dir;
  dir.Write(u"profile.pp", "A=1\n");
  ParameterDocument loaded;
  EXPECT_TRUE(loaded.Load(dir.path() + u"profile.pp"));
  EXPECT_EQ(loaded.Value(u"a"), u"1");
  EXPECT_FALSE(loaded.Load(dir.path() + u"absent.pp"));
}

}  // namespace
}  // namespace velmo
