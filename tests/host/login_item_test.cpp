#include "Ombrel_Remote_Host/linux/xdg/xdg_login_item.h"

#include <gtest/gtest.h>

#include <fstream>

#include "Ombrel_Remote_Host/platform/fake/fake_login_item.h"
#include "host/desktop_peers.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

class LoginItemTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(LoginItemTest, RegisterWritesTheAutostartEntryAndUnregisterRemovesIt) {
  XdgLoginItem item({.configHome = dir_.path() / "config", .executable = "/usr/bin/ombrel-host"});
  EXPECT_EQ(item.entryPath(), dir_.path() / "config/autostart/ombrel-remote.desktop");
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);

  EXPECT_EQ(item.registerItem(), std::nullopt);
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);
  EXPECT_EQ(readFile(item.entryPath()),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Ombrel Remote\n"
            "Exec=/usr/bin/ombrel-host\n"
            "Terminal=false\n"
            "X-GNOME-Autostart-enabled=true\n");
  // Registering again rewrites in place and leaves no temporary files behind.
  EXPECT_EQ(item.registerItem(), std::nullopt);
  EXPECT_EQ(std::distance(fs::directory_iterator(item.entryPath().parent_path()),
                          fs::directory_iterator()),
            1);

  EXPECT_EQ(item.unregisterItem(), std::nullopt);
  EXPECT_FALSE(fs::exists(item.entryPath()));
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
  EXPECT_EQ(item.unregisterItem(), std::nullopt);
}

TEST_F(LoginItemTest, AnEntryTheDesktopSwitchedOffIsNotRegistered) {
  struct Case {
    const char* extra;
    LoginItemStatus expected;
  };
  const Case cases[] = {
      {"", LoginItemStatus::enabled},
      {"Hidden=true\n", LoginItemStatus::notRegistered},
      {"Hidden=false\n", LoginItemStatus::enabled},
      {"X-GNOME-Autostart-enabled=false\n", LoginItemStatus::notRegistered},
      {"[Desktop Action other]\nHidden=true\n", LoginItemStatus::enabled},
  };
  XdgLoginItem item({.configHome = dir_.path(), .executable = "/usr/bin/ombrel-host"});
  fs::create_directories(item.entryPath().parent_path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\nExec=ombrel-host\n"
                                    << c.extra;
    EXPECT_EQ(item.status(), c.expected);
  }
}

TEST_F(LoginItemTest, FailedWriteReportsTheReasonAndRegistersNothing) {
  // A file where the configuration directory should be: even root cannot create the entry.
  fs::path blocker = dir_.path() / "not-a-directory";
  std::ofstream(blocker) << "x";
  XdgLoginItem item({.configHome = blocker, .executable = "/usr/bin/ombrel-host"});
  auto failure = item.registerItem();
  ASSERT_TRUE(failure.has_value());
  EXPECT_TRUE(failure->starts_with("登入時自動開啟設定失敗：")) << *failure;
  EXPECT_GT(failure->size(), std::string("登入時自動開啟設定失敗：").size());
  EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItemTest, ExecQuotesPathsTheDesktopWouldSplitOrExpand) {
  struct Case {
    const char* path;
    const char* exec;
  };
  const Case cases[] = {
      {"/usr/bin/ombrel-host", "Exec=/usr/bin/ombrel-host\n"},
      {"/opt/Ombrel Remote/ombrel-host", "Exec=\"/opt/Ombrel Remote/ombrel-host\"\n"},
      {"/opt/a$b/host", "Exec=\"/opt/a\\\\$b/host\"\n"},
      {"/opt/100%/host", "Exec=/opt/100%%/host\n"},
      {"/opt/q\"uote/host", "Exec=\"/opt/q\\\\\"uote/host\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_NE(XdgLoginItem::desktopEntry(c.path).find(c.exec), std::string::npos)
        << XdgLoginItem::desktopEntry(c.path);
  }
}

TEST(FakeLoginItemTest, ScriptedFailureKeepsTheRegistration) {
  FakeLoginItem item;
  EXPECT_EQ(item.registerItem(), std::nullopt);
  item.setFailure("denied");
  EXPECT_EQ(item.unregisterItem(), "登入時自動開啟設定失敗：denied");
  EXPECT_EQ(item.status(), LoginItemStatus::enabled);
}

}  // namespace
}  // namespace ombrel
