#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// The XDG base directories. A value in the environment counts only when it is an absolute path:
// the base-directory rules call relative ones invalid, and honouring them would put files
// wherever the process happens to have been started.
//
// Threading: reads the environment, so it is safe from any thread that does not change it.
namespace ombrel::XdgDirs {

// $HOME, else the home directory of the password database, else "/".
std::filesystem::path home();

// $XDG_CONFIG_HOME, else <home>/.config.
std::filesystem::path configHome();

// $XDG_DATA_HOME, else <home>/.local/share.
std::filesystem::path dataHome();

// $XDG_RUNTIME_DIR; nothing when it is unset or relative, since that directory has no
// stand-in with the same guarantees (owned by the user, removed at logout).
std::optional<std::filesystem::path> runtimeDir();

// The user directory `name` ("DOWNLOAD", "DESKTOP", ...) as xdg-user-dirs records it in
// <configHome>/user-dirs.dirs (XDG_<name>_DIR="$HOME/..." or an absolute path); nothing when the
// file or the entry is missing or unusable.
std::optional<std::filesystem::path> userDir(std::string_view name);

}  // namespace ombrel::XdgDirs
