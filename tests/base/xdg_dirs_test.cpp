#include "base/xdg_dirs.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ombrel
