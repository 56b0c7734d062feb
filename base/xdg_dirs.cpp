#include "base/xdg_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace ombrel::XdgDirs
