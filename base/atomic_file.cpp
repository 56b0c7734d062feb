#include "base/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ombrel::AtomicFile {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTemporarySuffix = ".tmp";

std::string temporaryPrefix(const fs::path& target) {
  return "." + target.filename().string() + ".";
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// mkdir -p, one level at a time, so each new level gets `mode`.
bool makeDirectories(const fs::path& directory, mode_t mode) {
  if (directory.empty()) return true;
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (errno != ENOENT) return false;
  const fs::path parent = directory.parent_path();
  if (parent != directory && !makeDirectories(parent, mode)) return false;
  // Another writer may have made it meanwhile.
  return ::mkdir(directory.c_str(), mode) == 0 || errno == EEXIST;
}

void syncDirectory(const fs::path& directory) {
  // Makes the rename durable. The target is already complete by then, so a file system that
  // cannot flush a directory is no reason to report the write as failed.
  const int fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string Error::text() const { return std::strerror(code); }

std::optional<Error> write(const fs::path& target, std::string_view contents,
                           const Options& options) {
  const fs::path directory = target.parent_path();
  if (options.parentMode && !makeDirectories(directory, *options.parentMode)) {
    return Error{"directory", errno};
  }

  std::string temporary = (directory / (temporaryPrefix(target) + std::to_string(::getpid()) +
                                        ".XXXXXX" + std::string(kTemporarySuffix)))
                              .string();
  // Created 0600 by mkostemps, so nothing is ever more open than the caller asked for.
  const int fd =
      ::mkostemps(temporary.data(), static_cast<int>(kTemporarySuffix.size()), O_CLOEXEC);
  if (fd < 0) return Error{"create", errno};

  std::optional<Error> error;
  if (!writeAll(fd, contents)) {
    error = Error{"write", errno};
  } else if (::fchmod(fd, options.mode) != 0) {
    error = Error{"create", errno};
  } else if (::fsync(fd) != 0) {
    error = Error{"sync", errno};
  }
  if (::close(fd) != 0 && !error) error = Error{"close", errno};
  if (!error) {
    const bool moved = options.createOnly ? moveWithoutReplacing(temporary, target)
                                          : ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!moved) error = Error{"rename", errno};
  }
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  syncDirectory(directory);
  return std::nullopt;
}

std::optional<Error> write(const fs::path& target, ByteView contents, const Options& options) {
  return write(target,
               std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()),
               options);
}

bool moveWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

void removeStaleTemporaries(const fs::path& target) {
  const std::string prefix = temporaryPrefix(target);
  const fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(kTemporarySuffix)) continue;
    const pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
    if (pid <= 0 || pid == ::getpid()) continue;
    // Only a process that is gone for certain: EPERM means it lives under another user.
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
    fs::remove(entry.path(), ec);
  }
}

}  // namespace ombrel::AtomicFile
