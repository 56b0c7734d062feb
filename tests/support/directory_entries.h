#pragma once

// What a folder holds, for tests that check no file (visible or hidden) was left behind.

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace ombrel::test {

// Every name in `directory`, hidden ones included, sorted; none when it does not exist.
inline std::vector<std::string> directoryEntries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ombrel::test
