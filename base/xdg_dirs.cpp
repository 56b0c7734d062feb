#include "base/xdg_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace ombrel::XdgDirs {
namespace {

std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  std::filesystem::path path(value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

}  // namespace

std::filesystem::path home() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) {
    return entry->pw_dir;
  }
  return "/";
}

std::filesystem::path configHome() {
  return absoluteFromEnvironment("XDG_CONFIG_HOME").value_or(home() / ".config");
}

std::filesystem::path dataHome() {
  return absoluteFromEnvironment("XDG_DATA_HOME").value_or(home() / ".local" / "share");
}

std::optional<std::filesystem::path> runtimeDir() {
  return absoluteFromEnvironment("XDG_RUNTIME_DIR");
}

std::optional<std::filesystem::path> userDir(std::string_view name) {
  std::ifstream file(configHome() / "user-dirs.dirs");
  const std::string key = "XDG_" + std::string(name) + "_DIR=";
  std::optional<std::filesystem::path> found;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(key, 0) != 0) continue;
    // The file is written for shells, but only this form: a double-quoted value that is an
    // absolute path or starts with $HOME; anything else is ignored, as xdg-user-dirs does.
    std::string_view value(line);
    value.remove_prefix(key.size());
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    std::string path;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      path += value[i];
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == "$HOME" || path.rfind("$HOME/", 0) == 0) {
      std::string rest = path.substr(5);
      rest.erase(0, rest.find_first_not_of('/'));
      found = rest.empty() ? home() : home() / rest;
    } else if (!path.empty() && path.front() == '/') {
      found = std::filesystem::path(path);
    }
  }
  return found;
}

}  // namespace ombrel::XdgDirs
