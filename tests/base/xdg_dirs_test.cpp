#include "base/xdg_dirs.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_home.h"

namespace ombrel {
namespace {

// Each variable is honoured only as an absolute path; otherwise the home-based default holds.
TEST(XdgDirsTest, AbsoluteValuesOnlyElseUnderHome) {
  struct Case {
    std::optional<std::string> value;
    bool used;
  };
  const Case cases[] = {
      {"/elsewhere/dir", true}, {std::nullopt, false}, {"", false},
      {"relative/dir", false},  {"./relative", false}, {"~/dir", false},
  };
  test::TempHome temp;
  const std::filesystem::path home = temp.root() / "home";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
      temp.set(name, c.value);
    }
    const std::filesystem::path configured = c.value.value_or("");
    EXPECT_EQ(XdgDirs::configHome(), c.used ? configured : home / ".config");
    EXPECT_EQ(XdgDirs::dataHome(), c.used ? configured : home / ".local" / "share");
    EXPECT_EQ(XdgDirs::runtimeDir(),
              c.used ? std::optional<std::filesystem::path>(configured) : std::nullopt);
  }
}

TEST(XdgDirsTest, HomeFallsBackToThePasswordDatabase) {
  test::TempHome temp;
  temp.set("XDG_CONFIG_HOME", std::nullopt);
  for (const std::optional<std::string>& value : {std::optional<std::string>(), {""}}) {
    temp.set("HOME", value);
    const std::filesystem::path home = XdgDirs::home();
    EXPECT_TRUE(home.is_absolute()) << home;
    EXPECT_EQ(XdgDirs::configHome(), home / ".config");
  }
}

// The forms xdg-user-dirs writes resolve; what a shell would have to expand is not guessed at.
TEST(XdgDirsTest, UserDirReadsTheUserDirsFile) {
  struct Case {
    const char* file;                     // nullptr: no user-dirs.dirs at all
    std::optional<std::string> download;  // relative to home unless absolute
  };
  const Case cases[] = {
      {nullptr, std::nullopt},
      {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", std::nullopt},
      {"# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Hämtningar\"\n", "Hämtningar"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/My\\\"Files/\"\n", "My\"Files"},
      {"XDG_DOWNLOAD_DIR=\"/srv/dl\"\n", "/srv/dl"},
      {"XDG_DOWNLOAD_DIR=\"$HOME\"\n", ""},
      {"XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"\n", "b"},
      {"XDG_DOWNLOAD_DIR=\"$HOME//etc\"\n", "etc"},
      {"XDG_DOWNLOAD_DIR=\"relative\"\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=$HOME/unquoted\n", std::nullopt},
      {"XDG_DOWNLOAD_DIR=\"${HOME}/braces\"\n", std::nullopt},
  };
  test::TempHome temp;
  const std::filesystem::path home = temp.root() / "home";
  const std::filesystem::path file = temp.configHome() / "user-dirs.dirs";
  std::filesystem::create_directories(temp.configHome());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "(no file)");
    std::filesystem::remove(file);
    if (c.file) std::ofstream(file) << c.file;
    std::optional<std::filesystem::path> expected;
    if (c.download) expected = c.download->empty() ? home : home / *c.download;
    EXPECT_EQ(XdgDirs::userDir("DOWNLOAD"), expected);
  }
}

}  // namespace
}  // namespace ombrel
