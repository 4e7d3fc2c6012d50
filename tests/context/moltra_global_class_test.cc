// The public class as a caller sees it: shared context, own listeners, fixed fallbacks.
#include "velmo/moltra_global_class.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "config/builtin_documents.h"
#include "context/application_context.h"
#include "fakes.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "scratch_registry.h"
#include "temp_dir.h"

namespace velmo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Recorder final : public UserEvents {
 public:
  explicit Recorder(std::vector<std::string>& log, std::string name)
      : log_(log), name_(std::move(name)) {}
  void UserChanging(std::u16string_view new_user, bool&) override {
    log_.push_back(name_ + " changing " + platform::ToUtf8(new_user));
  }
  void UserChanged(std::u16string_view, std::u16string_view new_user) override {
    log_.push_back(name_ + " changed " + platform::ToUtf8(new_user));
  }

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

class MOLTRAGlobalClassTest : public ::testing::Test {
 protected:
  MOLTRAGlobalClassTest() {
    Platform p = SystemPlatform();
    p.registry = scratch_.api();
    p.message_box = box_;
    ResetCurrentContext(p);
    const std::u16string release = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2";
    dirs_.MakeDirectory(u"app");
    dirs_.MakeDirectory(u"user");
    registry::RegWriteString(*scratch_.api(), registry::RegRootLocalMachine, release, u"PATH",
                             dirs_.path() + u"app");
    registry::RegWriteString(*scratch_.api(), registry::RegRootCurrentUser, release, u"USER",
                             dirs_.path() + u"user");
  }
  ~MOLTRAGlobalClassTest() override { ResetCurrentContext(Platform{}); }

  testing::ScratchRegistry scratch_;
  std::shared_ptr<testing::RecordingMessageBox> box_ =
      std::make_shared<testing::RecordingMessageBox>();
  testing::TempDir dirs_;
};

TEST_F(MOLTRAGlobalClassTest, BeforeInitialisation) {
  MOLTRAGlobalClass g;
  EXPECT_EQ(g.Application(), u"VELMO_SW2");
  EXPECT_EQ(g.Version(), u"");
  EXPECT_EQ(g.UserPath(), u"");
  EXPECT_EQ(g.User(), u"");
  EXPECT_EQ(g.AppPath(), u"");
  EXPECT_EQ(g.RepBase(), u"");
  EXPECT_EQ(g.Langue(), 0);
  EXPECT_EQ(g.GeometrieDat(), nullptr);
  EXPECT_THAT(box_->shown, IsEmpty());
}

TEST_F(MOLTRAGlobalClassTest, InstancesOnOneThreadShareOneContext) {
  MOLTRAGlobalClass first;
  MOLTRAGlobalClass second;
  EXPECT_EQ(first.MOLTRAG_Init(), 0);  // as with ""
  EXPECT_EQ(second.Version(), u"2008");
  EXPECT_EQ(second.AppPath(), dirs_.path() + u"app\\");
  EXPECT_EQ(second.RepBase(), second.AppPath());
  EXPECT_EQ(second.User(), second.UserPath());
  EXPECT_EQ(second.Langue(), 1);
  EXPECT_EQ(second.VelmoCFG(), nullptr);  // no user file yet
  EXPECT_NE(second.GeometrieDat(), nullptr);

  EXPECT_TRUE(first.RegWriteInterfaceValue(u"Grid", u"on"));
  EXPECT_EQ(second.RegReadInterfaceValue(u"Grid"), u"on");
  EXPECT_TRUE(first.RegWriteSecurityValue(u"Level", u"2"));
  EXPECT_EQ(second.RegReadSecurityValue(u"Level"), u"2");
  std::int32_t lang = 3;
  first.SetLangue(lang);
  EXPECT_EQ(second.Langue(), 3);
  EXPECT_EQ(second.MOLTRAG_GetServicePack(), u"2");
  EXPECT_FALSE(second.MOLTRAG_IsDebug());
}

TEST_F(MOLTRAGlobalClassTest, OnlyTheCallingInstancesListenersHearItsSwitch) {
  MOLTRAGlobalClass first;
  MOLTRAGlobalClass second;
  first.MOLTRAG_Init(u"2010");
  std::vector<std::string> log;
  const auto a = first.Advise(std::make_shared<Recorder>(log, "a"));
  const auto b = first.Advise(std::make_shared<Recorder>(log, "b"));
  second.Advise(std::make_shared<Recorder>(log, "other"));
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(first.Advise(nullptr), 0u);

  EXPECT_EQ(first.MOLTRAG_EcrireUser(u"X:\\u"), 0);
  EXPECT_THAT(log, ElementsAre("a changing X:\\u", "b changing X:\\u", "a changed X:\\u\\",
                               "b changed X:\\u\\"));
  EXPECT_EQ(second.UserPath(), u"X:\\u\\");
  // A path or name holding NUL is refused before anyone is told or anything stored.
  log.clear();
  EXPECT_EQ(first.MOLTRAG_EcrireUser(std::u16string(u"X:\\w\0x", 6)), -1);
  EXPECT_FALSE(first.RegWriteInterfaceValue(std::u16string(u"n\0x", 3), u"v"));
  EXPECT_EQ(first.RegReadInterfaceValue(u"n"), u"");
  EXPECT_THAT(log, IsEmpty());
  EXPECT_EQ(second.UserPath(), u"X:\\u\\");

  log.clear();
  EXPECT_TRUE(first.Unadvise(a));
  EXPECT_FALSE(first.Unadvise(a));
  EXPECT_EQ(first.MOLTRAG_EcrireUser(u"X:\\v"), 0);
  EXPECT_THAT(log, ElementsAre("b changing X:\\v", "b changed X:\\v\\"));
}

TEST_F(MOLTRAGlobalClassTest, AnotherThreadHasItsOwnEmptyContext) {
  MOLTRAGlobalClass here;
  here.MOLTRAG_Init(u"2010");
  std::u16string version_there = u"unset";
  std::u16string app_there = u"unset";
  std::thread other([&] {
    ResetCurrentContext(Platform{});
    MOLTRAGlobalClass there;
    version_there = there.Version();
    app_there = there.AppPath();
  });
  other.join();
  EXPECT_EQ(version_there, u"");
  EXPECT_EQ(app_there, u"");
  EXPECT_EQ(here.Version(), u"2010");
}

TEST_F(MOLTRAGlobalClassTest, ConfigurationObjectsGoInAndOut) {
  dirs_.Write(u"user/dat/velmo.cfg", "[A]\nB=1\n");
  MOLTRAGlobalClass g;
  g.MOLTRAG_Init(u"2010");
  const auto loaded = g.VelmoCFG();
  ASSERT_NE(loaded, nullptr);
  std::shared_ptr<ConfigDocument> mine = std::make_shared<IniDocument>();
  g.SetVelmoCFG(mine);
  EXPECT_EQ(g.VelmoCFG(), mine);
  EXPECT_EQ(g.MOLTRAG_Close(), 0);
  const auto again = g.VelmoCFG();
  EXPECT_NE(again, nullptr);
  EXPECT_NE(again, mine);

  dirs_.Write(u"p.pp", "a=1\n");
  std::shared_ptr<PPDocument> pp;
  EXPECT_EQ(g.MOLTRAG_GetPP(dirs_.path() + u"p.pp", pp), 0);
  EXPECT_NE(pp, nullptr);
  EXPECT_EQ(g.MOLTRAG_GetPP(dirs_.path() + u"absent.pp", pp), -2);
  EXPECT_EQ(pp, nullptr);
}

// Everything behind the members fails: each gives its fallback and none lets a failure out.
TEST_F(MOLTRAGlobalClassTest, EveryMemberHasItsFallback) {
  ResetCurrentContext(testing::BrokenPlatform());
  MOLTRAGlobalClass g;
  // Before any start-up the guard's box itself fails.
  EXPECT_EQ(g.MOLTRAG_GetServicePack(), u"");
  EXPECT_EQ(g.RegReadInterfaceValue(u"x"), u"");
  EXPECT_EQ(g.MOLTRAG_EcrireUser(u"X:\\u"), -1);
  std::shared_ptr<PPDocument> pp = std::make_shared<ParameterDocument>();
  EXPECT_EQ(g.MOLTRAG_GetPP(u"p.pp", pp), -1);
  EXPECT_EQ(pp, nullptr);

  EXPECT_EQ(g.MOLTRAG_Init(u"2010"), 0);  // start-up found nothing, which is no failure of Init
  EXPECT_EQ(g.AppPath(), u"");
  EXPECT_EQ(g.MOLTRAG_GetServicePack(), u"1");
  EXPECT_FALSE(g.MOLTRAG_IsDebug());
  EXPECT_EQ(g.RegReadInterfaceValue(u"x"), u"");
  EXPECT_FALSE(g.RegWriteInterfaceValue(u"x", u"y"));
  EXPECT_EQ(g.RegReadSecurityValue(u"x"), u"");
  EXPECT_FALSE(g.RegWriteSecurityValue(u"x", u"y"));
  EXPECT_EQ(g.VelmoCFG(), nullptr);
  EXPECT_EQ(g.GeometrieDat(), nullptr);
  std::int32_t lang = 5;
  g.SetLangue(lang);
  EXPECT_EQ(g.Langue(), 1);
  EXPECT_EQ(lang, 5);
  EXPECT_EQ(g.MOLTRAG_EcrireUser(u"X:\\u"), -1);
  pp = std::make_shared<ParameterDocument>();
  EXPECT_EQ(g.MOLTRAG_GetPP(u"p.pp", pp), -1);
  EXPECT_EQ(pp, nullptr);
  EXPECT_EQ(g.MOLTRAG_Close(), 0);
}

}  // namespace
}  // namespace velmo
