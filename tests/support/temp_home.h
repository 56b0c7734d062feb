#pragma once

// A throw-away home for one test: a fresh directory with $HOME, $XDG_CONFIG_HOME and
// $XDG_DATA_HOME pointing into it, restored and removed again at the end of the test.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ombrel::test {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ombrel-home-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    set("HOME", (root_ / "home").string());
    set("XDG_CONFIG_HOME", configHome().string());
    set("XDG_DATA_HOME", dataHome().string());
    std::filesystem::create_directories(root_ / "home");
  }
  ~TempHome() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path configHome() const { return root_ / "config"; }
  std::filesystem::path dataHome() const { return root_ / "data"; }

  // Sets (or with nothing, unsets) a variable for the rest of the test.
  void set(const std::string& name, std::optional<std::string> value) {
    const char* old = getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }

 private:
  std::filesystem::path root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace ombrel::test
