#include "OmbrelKit/key_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

// Reads from `offset` until `bytes` is full or the file ends; the count read, or nothing.
std::optional<std::size_t> readAt(int fd, Bytes& bytes, off_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pread(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void syncDirectory(const fs::path& directory) {
  // Makes a rename durable; failing that is not worth failing the write.
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// A finished, flushed file with `contents` and mode 0600 beside `file`; its path, or nothing.
std::optional<std::string> writeTemporary(const fs::path& file, ByteView contents) {
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  std::string temporary = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX"));
  // mkstemp creates the file with mode 0600 from the start.
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  if (!writeAll(fd.get(), contents) || ::fchmod(fd.get(), kKeyMode) != 0 ||
      ::fsync(fd.get()) != 0 || !fd.close()) {
    ::unlink(temporary.c_str());
    return std::nullopt;
  }
  return temporary;
}

// Renames without ever replacing what is at `to`. File systems that cannot say so to rename
// get a hard link instead, which refuses to replace as well. False with errno set.
bool moveWithoutReplacing(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from, to) != 0) return false;
  ::unlink(from);
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
    struct stat link {};
    // A symbolic link whose target is missing (the key on a drive not mounted yet) is not "no
    // file": a new key written there would cut the host off from its own.
    const bool nothing = errno == ENOENT && ::lstat(file.c_str(), &link) != 0;
    contents.status = nothing ? ReadStatus::missing : ReadStatus::unreadable;
    return contents;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    contents.status = ReadStatus::unreadable;
    return contents;
  }
  contents.size = static_cast<std::uintmax_t>(info.st_size);
  contents.bytes.resize(std::min<std::uintmax_t>(contents.size, limit));
  const std::optional<std::size_t> done = readAt(fd.get(), contents.bytes, 0);
  if (!done) {
    crypto::wipe(contents.bytes);
    contents.bytes.clear();
    contents.status = ReadStatus::unreadable;
    return contents;
  }
  contents.bytes.resize(*done);  // shrank while being read: report what is there
  contents.status = ReadStatus::ok;
  return contents;
}

bool create(const fs::path& file, ByteView contents) {
  const std::optional<std::string> temporary = writeTemporary(file, contents);
  if (!temporary) return false;
  if (!moveWithoutReplacing(temporary->c_str(), file.c_str())) {
    ::unlink(temporary->c_str());
    return false;
  }
  syncDirectory(file.parent_path());
  return true;
}

bool writeAtomically(const fs::path& file, ByteView contents) {
  const std::optional<std::string> temporary = writeTemporary(file, contents);
  if (!temporary) return false;
  if (::rename(temporary->c_str(), file.c_str()) != 0) {
    ::unlink(temporary->c_str());
    return false;
  }
  syncDirectory(file.parent_path());
  return true;
}

bool appendMarker(const fs::path& file, ByteView key, std::uint8_t marker) {
  // Checked and written through one descriptor, so what is checked is what gets the marker.
  FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uintmax_t>(info.st_size) != key.size()) {
    return false;
  }
  Bytes held(key.size());
  const std::optional<std::size_t> done = readAt(fd.get(), held, 0);
  const bool same = done == key.size() && CRYPTO_memcmp(held.data(), key.data(), key.size()) == 0;
  crypto::wipe(held);
  if (!same) return false;
  return ::pwrite(fd.get(), &marker, 1, static_cast<off_t>(key.size())) == 1 &&
         ::fchmod(fd.get(), kKeyMode) == 0 && ::fsync(fd.get()) == 0;
}

void migrateLegacy(std::string_view account) {
  const fs::path current = path(account);
  const fs::path legacy = legacyPath(account);
  std::error_code error;
  if (fs::exists(fs::symlink_status(current, error)) || !fs::exists(legacy, error)) return;
  fs::create_directories(current.parent_path(), error);
  if (!moveWithoutReplacing(legacy.c_str(), current.c_str())) {
    if (errno != EXDEV) return;
    // Another file system: copy through the atomic writer, then drop the legacy file.
    Contents old = read(legacy, 4096);
    const bool moved =
        old.status == ReadStatus::ok && old.bytes.size() == old.size && create(current, old.bytes);
    crypto::wipe(old.bytes);
    if (!moved) return;
    ::unlink(legacy.c_str());
  }
  ::chmod(current.c_str(), kKeyMode);
}

}  // namespace ombrel::KeyFile
