// The undefined-version guard's box as a user meets it: a real modal MessageBoxW on a display,
// found by its title, read and closed with OK by a watchdog thread, after which the call gives
// its fallback. Runs under Xvfb on a desktop of its own, where no display-less desktop that the
// other tests' processes share can take its windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "com_caller.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

constexpr const wchar_t* kBoxTitle = L"VELMOSWGlobalLib";

// A desktop for this process's windows. On Wine its window station starts its own desktop
// process with this process's DISPLAY, which a desktop made earlier without one would not use.
class OwnDesktop {
 public:
  OwnDesktop()
      : desktop_(CreateDesktopW(L"velmo-guard-box", nullptr, nullptr, 0, GENERIC_ALL, nullptr)) {}
  ~OwnDesktop() {
    if (desktop_ != nullptr) CloseDesktop(desktop_);
  }
  OwnDesktop(const OwnDesktop&) = delete;
  OwnDesktop& operator=(const OwnDesktop&) = delete;

  // Before the thread has any window: only then may it move.
  bool Enter() const { return desktop_ != nullptr && SetThreadDesktop(desktop_); }
  HDESK get() const { return desktop_; }

 private:
  HDESK desktop_;
};

struct SeenBox {
  bool found = false;
  std::wstring window_class;
  std::wstring text;
};

// Watches the desktop for a box with the library's title and presses its OK button. Gives up
// after `patience`, closing whatever dialog is left so that a wrong box cannot hang the test.
class Watchdog {
 public:
  Watchdog(const OwnDesktop& desktop, std::chrono::milliseconds patience)
      : thread_([this, &desktop, patience] { Watch(desktop, patience); }) {}
  ~Watchdog() { Stop(); }

  SeenBox Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void Watch(const OwnDesktop& desktop, std::chrono::milliseconds patience) {
    if (!desktop.Enter()) {
      ADD_FAILURE() << "the watchdog cannot enter the desktop";
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      if (HWND box = FindWindowW(nullptr, kBoxTitle); box != nullptr) {
        wchar_t window_class[64] = {};
        GetClassNameW(box, window_class, 64);
        wchar_t text[512] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 512);  // a message box's static text
        seen_ = {true, window_class, text};
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      Sleep(10);
    }
    if (!stop_) EnumDesktopWindows(desktop.get(), CloseDialogs, 0);
  }

  static BOOL CALLBACK CloseDialogs(HWND window, LPARAM) {
    wchar_t window_class[64] = {};
    GetClassNameW(window, window_class, 64);
    if (std::wstring(window_class) == L"#32770") PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
  }

  std::atomic<bool> stop_{false};
  SeenBox seen_;
  std::thread thread_;
};

// Runs `body` on a fresh apartment thread (so with an empty context) on `desktop`.
void OnDesktop(const OwnDesktop& desktop, const std::function<void()>& body) {
  std::thread thread([&] {
    ASSERT_TRUE(desktop.Enter());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    body();
    CoUninitialize();
  });
  thread.join();
}

class GuardBox : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t display[64];
    ASSERT_NE(GetEnvironmentVariableW(L"DISPLAY", display, 64), 0u)
        << "this test needs a display (it runs under xvfb-run)";
    ASSERT_NE(desktop_.get(), nullptr) << "CreateDesktopW: " << GetLastError();
  }
  OwnDesktop desktop_;
};

TEST_F(GuardBox, GetServicePackBeforeInitShowsTheBoxAndGivesNothing) {
  OnDesktop(desktop_, [&] {
    HRESULT hr = E_FAIL;
    Ref<_MOLTRAGlobalClass> global =
        CreateByProgId<_MOLTRAGlobalClass>(kGlobalProgId, IID__MOLTRAGlobalClass, &hr);
    ASSERT_EQ(hr, S_OK);
    Watchdog watchdog(desktop_, std::chrono::seconds(20));
    Bstr service_pack(L"not called");
    EXPECT_EQ(global->MOLTRAG_GetServicePack(service_pack.put()), S_OK);
    const SeenBox seen = watchdog.Stop();
    EXPECT_EQ(service_pack.text(), L"");
    ASSERT_TRUE(seen.found) << "no box titled VELMOSWGlobalLib was shown";
    EXPECT_EQ(seen.window_class, L"#32770");
    EXPECT_EQ(seen.text, L"GetServicePack: Version non definie");
  });
}

TEST_F(GuardBox, AfterInitThereIsNoBox) {
  ClearLibraryKeys();  // an installation of no one's: start-up finds no directories
  OnDesktop(desktop_, [&] {
    HRESULT hr = E_FAIL;
    Ref<_MOLTRAGlobalClass> global =
        CreateByProgId<_MOLTRAGlobalClass>(kGlobalProgId, IID__MOLTRAGlobalClass, &hr);
    ASSERT_EQ(hr, S_OK);
    Bstr version(L"2010");
    LONG result = 12345;
    {
      // Start-up reads the registry; whatever it finds there, it asks nothing of the user.
      Watchdog watchdog(desktop_, std::chrono::seconds(20));
      EXPECT_EQ(global->MOLTRAG_Init(version.get(), &result), S_OK);
      EXPECT_FALSE(watchdog.Stop().found);
    }
    EXPECT_EQ(result, 0);
    Watchdog watchdog(desktop_, std::chrono::seconds(20));
    Bstr service_pack;
    EXPECT_EQ(global->MOLTRAG_GetServicePack(service_pack.put()), S_OK);
    EXPECT_FALSE(watchdog.Stop().found);
    EXPECT_EQ(service_pack.text(), L"1");
  });
  ClearLibraryKeys();
}

}  // namespace
}  // namespace velmo::testing
