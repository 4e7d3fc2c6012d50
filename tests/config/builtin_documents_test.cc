// The documents the library brings: INI configuration files and name=value parameter files.
#include "config/builtin_documents.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "platform/text.h"
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

  // Another library's document is read through its interface, whole before anything changes.
  class Foreign final : public ConfigDocument {
   public:
    bool Load(std::u16string_view) override { return true; }
    void Merge(ConfigDocument&) override {}
    std::optional<std::u16string> Value(std::u16string_view section,
                                        std::u16string_view name) const override {
      if (section == u"Broken") throw std::runtime_error("the other library failed");
      return std::u16string(section) + u"." + std::u16string(name);
    }
    std::vector<std::u16string> Sections() const override { return sections; }
    std::vector<std::u16string> Names(std::u16string_view) const override { return {u"Z", u"x"}; }
    std::vector<std::u16string> sections{u"units", u"Foreign"};
  } foreign;
  user.Merge(foreign);
  EXPECT_THAT(user.Names(u"Units"), ElementsAre(u"Length", u"Angle", u"Z", u"x"));
  EXPECT_EQ(user.Value(u"Units", u"x"), u"units.x");
  EXPECT_EQ(user.Value(u"Foreign", u"Z"), u"Foreign.Z");
  foreign.sections = {u"Late", u"Broken"};
  EXPECT_THROW(user.Merge(foreign), std::runtime_error);
  EXPECT_THAT(user.Sections(), ElementsAre(u"Units", u"Own", u"Shared", u"Foreign"));
}

TEST(DocumentLoadTest, WhatIsNotTextInAKnownEncodingDoesNotLoad) {
  velmo::testing::TempDir dir;
  const std::pair<const char16_t*, std::string> refused[] = {
      {u"latin1.cfg", "[S]\nName=\xE9t\xE9\n"},
      {u"binary.cfg", std::string("[S]\nA=1\n\0\x01\x02", 11)},
      {u"odd.cfg", std::string("\xFF\xFE[\0S", 5)},
      {u"nul16.cfg", std::string("\xFF\xFE[\0\0\0", 6)},
  };
  for (const auto& [name, bytes] : refused) {
    dir.Write(name, bytes);
    IniDocument ini;
    ParameterDocument pp;
    EXPECT_FALSE(ini.Load(dir.path() + name)) << std::string(name, name + 3);
    EXPECT_FALSE(pp.Load(dir.path() + name));
  }
  dir.Write(u"good.cfg", "[S]\nA=1\n");
  IniDocument ini;
  EXPECT_FALSE(ini.Load(dir.path() + u"good.cfg" + std::u16string(1, u'\0') + u"x"));
  EXPECT_TRUE(ini.Load(dir.path() + u"good.cfg"));
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
  EXPECT_THAT(doc.Names(), ElementsAre(u"Height", u"width"));

  velmo::testing::TempDir dir;
  dir.Write(u"profile.pp", "A=1\n");
  ParameterDocument loaded;
  EXPECT_TRUE(loaded.Load(dir.path() + u"profile.pp"));
  EXPECT_EQ(loaded.Value(u"a"), u"1");
  EXPECT_FALSE(loaded.Load(dir.path() + u"absent.pp"));
}

// Enough names to grow the index several times, and names outside ASCII, which fold by their
// own rules: each is found by any spelling, and a second spelling of one is refused.
TEST(NamedValuesTest, FindsEveryNameByAnySpellingAfterGrowing) {
  NamedValues values;
  for (int i = 0; i < 1000; ++i) {
    const std::u16string n =
        u"Name" + std::u16string(1, u'a' + i % 26) + platform::FromUtf8(std::to_string(i));
    ASSERT_TRUE(values.Add(n, n + u"=v"));
  }
  ASSERT_TRUE(values.Add(u"Épaisseur", u"12"));
  EXPECT_FALSE(values.Add(u"ÉPAISSEUR", u"13"));
  EXPECT_FALSE(values.Add(u"namea0", u"again"));
  values.ShrinkToFit();
  EXPECT_EQ(values.size(), 1001u);
  EXPECT_EQ(values.Find(u"éPAISseur"), u"12");
  EXPECT_EQ(values.Find(u"NAMEZ25"), u"Namez25=v");
  EXPECT_EQ(values.Find(u"Namez2"), std::nullopt);
  EXPECT_EQ(values.Names().front(), u"Namea0");
  EXPECT_EQ(values.Names().back(), u"Épaisseur");
}

// A module reads a document handed to it while the library reloads it on its own thread: each
// read sees one file whole, never one half parsed.
TEST(DocumentThreadsTest, AReaderSeesOneWholeFileWhileTheOwnerReloads) {
  velmo::testing::TempDir dir;
  dir.Write(u"one.cfg", "[S]\nA=1\nB=1\n");
  dir.Write(u"two.cfg", "[S]\nA=2\nB=2\nC=2\n[T]\nD=2\n");
  IniDocument ini;
  ParameterDocument pp;
  ASSERT_TRUE(ini.Load(dir.path() + u"one.cfg") && pp.Load(dir.path() + u"one.cfg"));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const size_t ini_names = ini.Names(u"S").size(), pp_names = pp.Names().size();
      const std::u16string a = ini.Value(u"S", u"A").value_or(u""),
                           b = pp.Value(u"B").value_or(u"");
      if (ini_names != 2 && ini_names != 3) ++torn;
      if (pp_names != 2 && pp_names != 4) ++torn;
      if ((a != u"1" && a != u"2") || (b != u"1" && b != u"2")) ++torn;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    const std::u16string file = dir.path() + (i % 2 ? u"one.cfg" : u"two.cfg");
    EXPECT_TRUE(ini.Load(file));
    EXPECT_TRUE(pp.Load(file));
    if (i % 100 == 0) {
      IniDocument other;
      other.Parse("[U]\nE=3\n");
      ini.Merge(other);
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace velmo
