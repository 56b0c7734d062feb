#include "OmbrelKit/key_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "OmbrelKit/crypto/secure_memory.h"

namespace ombrel::KeyFile {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kKeyMode = 0600;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close itself succeeded (it can report a write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, ByteView data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

fs::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

}  // namespace

fs::path dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    fs::path configured(xdg);
    if (configured.is_absolute()) return configured;
  }
  return homeDirectory() / ".local" / "share";
}

fs::path path(std::string_view account) {
  return dataHome() / "Ombrel Remote" / (std::string(account) + ".key");
}

fs::path legacyPath(std::string_view account) {
  return dataHome() / "NeroValde" / (std::string(account) + ".key");
}

Contents read(const fs::path& file, std::size_t limit) {
  Contents contents;
  // Non-blocking so that a FIFO planted at the path cannot hang the caller.
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    contents.status = errno == ENOENT ? ReadStatus::missing : ReadStatus::unreadable;
    return contents;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    contents.status = ReadStatus::unreadable;
    return contents;
  }
  contents.size = static_cast<std::uintmax_t>(info.st_size);
  contents.bytes.resize(std::min<std::uintmax_t>(contents.size, limit));
  std::size_t done = 0;
  while (done < contents.bytes.size()) {
    const ssize_t n = ::read(fd.get(), contents.bytes.data() + done, contents.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      crypto::wipe(contents.bytes);
      contents.bytes.clear();
      contents.status = ReadStatus::unreadable;
      return contents;
    }
    if (n == 0) break;  // shrank while being read: report what is there
    done += static_cast<std::size_t>(n);
  }
  contents.bytes.resize(done);
  contents.status = ReadStatus::ok;
  return contents;
}

bool writeAtomically(const fs::path& file, ByteView contents) {
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  std::string temporary = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX"));
  // mkstemp creates the file with mode 0600 from the start.
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return false;
  const bool written = writeAll(fd.get(), contents) && ::fchmod(fd.get(), kKeyMode) == 0 &&
                       ::fsync(fd.get()) == 0 && fd.close() &&
                       ::rename(temporary.c_str(), file.c_str()) == 0;
  if (!written) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable; failing that is not worth failing the write.
  FileDescriptor directory(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
  return true;
}

void migrateLegacy(std::string_view account) {
  const fs::path current = path(account);
  const fs::path legacy = legacyPath(account);
  std::error_code error;
  if (fs::exists(fs::symlink_status(current, error)) || !fs::exists(legacy, error)) return;
  fs::create_directories(current.parent_path(), error);
  if (::rename(legacy.c_str(), current.c_str()) != 0) {
    if (errno != EXDEV) return;
    // Another file system: copy through the atomic writer, then drop the legacy file.
    Contents old = read(legacy, 4096);
    const bool moved = old.status == ReadStatus::ok && old.bytes.size() == old.size &&
                       writeAtomically(current, old.bytes);
    crypto::wipe(old.bytes);
    if (!moved) return;
    ::unlink(legacy.c_str());
  }
  ::chmod(current.c_str(), kKeyMode);
}

}  // namespace ombrel::KeyFile
