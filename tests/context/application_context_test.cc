#include "context/application_context.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes.h"

namespace velmo {
namespace {

Platform Fakes() { return {.message_box = std::make_shared<testing::RecordingMessageBox>()}; }

TEST(ApplicationContextTest, StartsEmpty) {
  ResetCurrentContext(Fakes());
  const ApplicationContext& context = CurrentContext();
  EXPECT_EQ(Application(), u"VELMO_SW2");
  EXPECT_EQ(Version(context), u"");
  EXPECT_EQ(UserPath(context), u"");
  EXPECT_EQ(User(context), u"");
  EXPECT_EQ(AppPath(context), u"");
  EXPECT_EQ(RepBase(context), u"");
  EXPECT_EQ(Langue(context), 0);
}

TEST(ApplicationContextTest, UserAndRepBaseMirrorTheirFields) {
  ResetCurrentContext(Fakes());
  ApplicationContext& context = CurrentContext();
  context.directories().SetUser(u"C:\\Users\\Łukasz\\");
  context.directories().SetApp(u"D:\\設計\\");
  EXPECT_EQ(User(context), UserPath(context));
  EXPECT_EQ(User(context), u"C:\\Users\\Łukasz\\");
  EXPECT_EQ(RepBase(context), AppPath(context));
  EXPECT_EQ(RepBase(context), u"D:\\設計\\");
}

TEST(ApplicationContextTest, OneContextPerThread) {
  ResetCurrentContext(Fakes());
  CurrentContext().version_info().Select(u"2010");
  EXPECT_EQ(&CurrentContext(), &CurrentContext());  // everyone on this thread shares it

  std::u16string seen_there = u"unset";
  std::u16string set_there;
  std::thread other([&] {
    ResetCurrentContext(Fakes());
    seen_there = Version(CurrentContext());
    CurrentContext().version_info().Select(u"2008");
    set_there = Version(CurrentContext());
  });
  other.join();
  EXPECT_EQ(seen_there, u"");
  EXPECT_EQ(set_there, u"2008");
  EXPECT_EQ(Version(CurrentContext()), u"2010");
}

TEST(ApplicationContextTest, AThreadThatNeverAskedGetsTheSystemPlatform) {
  bool has_registry = false;
  bool has_box = false;
  std::thread fresh([&] {
    has_registry = CurrentContext().platform.registry != nullptr;
    has_box = CurrentContext().platform.message_box != nullptr;
  });
  fresh.join();
  EXPECT_TRUE(has_registry);
  EXPECT_TRUE(has_box);
}

}  // namespace
}  // namespace velmo
