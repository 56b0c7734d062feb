#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "base/bytes.h"

namespace ombrel {

// Where a device's identity key file lives and how it is read and written. The file holds
// secret key bytes, so it is only ever created with mode 0600 (never made and then narrowed)
// and by renaming a finished temporary file into place, so a crash cannot leave half a key.
// Whatever stands at the path and cannot be read as a key (a FIFO, a link to a drive that is
// not mounted) may be the real key behind a passing fault: nothing here writes over it.
namespace KeyFile {

// $XDG_DATA_HOME, or ~/.local/share when that is unset, empty or relative (as the XDG base
// directory rules require).
std::filesystem::path dataHome();

// <data home>/Ombrel Remote/<account>.key, and the legacy <data home>/NeroValde/<account>.key.
std::filesystem::path path(std::string_view account);
std::filesystem::path legacyPath(std::string_view account);

enum class ReadStatus {
  ok,          // `bytes` holds the file's first bytes (up to the limit) and `size` its size
  missing,     // nothing at all at the path
  unreadable,  // something is there but could not be read (permissions, I/O, not a regular
               // file, a symbolic link whose target is missing)
};
struct Contents {
  ReadStatus status = ReadStatus::missing;
  Bytes bytes;
  std::uintmax_t size = 0;
};
// Reads at most `limit` bytes, so a stray large file costs nothing.
Contents read(const std::filesystem::path& file, std::size_t limit);

// Creates `file` with `contents` (mode 0600) when nothing is at the path: a temporary file in
// the same directory, written, flushed to disk, then moved into place without replacing
// anything. Creates missing directories. False on any failure or when something already stands
// there, which is left untouched.
bool create(const std::filesystem::path& file, ByteView contents);

// The same, but replacing a regular file that is already there (a corrupt key).
bool writeAtomically(const std::filesystem::path& file, ByteView contents);

// Appends `marker` to `file` only when it is a regular file holding exactly `key`, and makes
// its mode 0600. One byte more or less is the whole change, so a crash leaves the key intact
// either way. False when the file holds anything else or cannot be written.
bool appendMarker(const std::filesystem::path& file, ByteView key, std::uint8_t marker);

// Moves the legacy key file of `account` to the current location once: only when the current
// file does not exist and the legacy one does. Errors are ignored (the legacy file then stays).
void migrateLegacy(std::string_view account);

}  // namespace KeyFile
}  // namespace ombrel
