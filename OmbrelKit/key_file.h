#pragma once

#include <filesystem>
#include <string_view>

#include "base/bytes.h"

namespace ombrel {

// Where a device's identity key file lives and how it is read and replaced. The file holds
// secret key bytes, so it is only ever created with mode 0600 (never made and then narrowed)
// and replaced by renaming a finished temporary file, so a crash cannot leave half a key.
namespace KeyFile {

// $XDG_DATA_HOME, or ~/.local/share when that is unset, empty or relative (as the XDG base
// directory rules require).
std::filesystem::path dataHome();

// <data home>/Ombrel Remote/<account>.key, and the legacy <data home>/NeroValde/<account>.key.
std::filesystem::path path(std::string_view account);
std::filesystem::path legacyPath(std::string_view account);

enum class ReadStatus {
  ok,          // `bytes` holds the file's first bytes (up to the limit) and `size` its size
  missing,     // no such file
  unreadable,  // it exists but could not be read (permissions, I/O, not a regular file)
};
struct Contents {
  ReadStatus status = ReadStatus::missing;
  Bytes bytes;
  std::uintmax_t size = 0;
};
// Reads at most `limit` bytes, so a stray large file costs nothing.
Contents read(const std::filesystem::path& file, std::size_t limit);

// Replaces `file` with `contents` (mode 0600): a temporary file in the same directory, written,
// flushed to disk, then renamed over the target. Creates missing directories. False on any
// failure, with the target untouched.
bool writeAtomically(const std::filesystem::path& file, ByteView contents);

// Moves the legacy key file of `account` to the current location once: only when the current
// file does not exist and the legacy one does. Errors are ignored (the legacy file then stays).
void migrateLegacy(std::string_view account);

}  // namespace KeyFile
}  // namespace ombrel
