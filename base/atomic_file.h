#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

// Replaces (or creates) a whole file so that a reader or a crash sees either the old file or the
// complete new one, never a mixture: the contents go to a temporary of their own in the same
// directory, are flushed to disk, and are then renamed over the target; the directory is flushed
// after. Temporaries are named ".<file>.<pid>.XXXXXX.tmp", so writers never share one and those
// of a process that died midway can be told from those of a live one.
//
// Threading: the functions are safe from any thread; concurrent writers of one target each
// leave the target holding one writer's whole contents.
namespace ombrel::AtomicFile {

struct Options {
  // The file's mode, exactly (not narrowed by the umask). It holds from the moment the
  // temporary exists: 0600 contents are never readable by others, even briefly.
  mode_t mode = 0600;
  // Never replace whatever stands at the target, of any type (a FIFO, a dangling symbolic
  // link): the write then fails with EEXIST and the target is left alone.
  bool createOnly = false;
  // Creates missing parent directories with this mode (the umask applies) when given.
  std::optional<mode_t> parentMode;
};

struct Error {
  // The step that failed: "directory", "create", "write", "sync", "close" or "rename".
  std::string step;
  int code = 0;  // the errno value
  // The system's text for `code`.
  std::string text() const;
};

// Writes `contents` to `target`. On any failure the temporary is removed, the target is as it
// was, and the error says which step failed and why.
std::optional<Error> write(const std::filesystem::path& target, std::string_view contents,
                           const Options& options = {});
std::optional<Error> write(const std::filesystem::path& target, ByteView contents,
                           const Options& options = {});

// Renames `from` to `to` unless something stands at `to`. File systems whose rename cannot
// refuse to replace get a hard link and an unlink instead, which refuses as well. False with
// errno set (EEXIST when `to` exists).
bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes the temporaries that writers of `target` left behind when their process died.
void removeStaleTemporaries(const std::filesystem::path& target);

}  // namespace ombrel::AtomicFile
