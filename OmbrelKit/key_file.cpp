#include "OmbrelKit/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <optional>

#include "OmbrelKit/crypto/secure_memory.h"
#include "base/atomic_file.h"
#include "base/xdg_dirs.h"

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

 private:
  int fd_;
};

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

// Missing directories are made as the umask allows, like any other directory of the user's.
std::optional<AtomicFile::Error> writeKey(const fs::path& file, ByteView contents,
                                          bool createOnly) {
  return AtomicFile::write(file, contents,
                           {.mode = kKeyMode, .createOnly = createOnly, .parentMode = 0777});
}

}  // namespace

fs::path dataHome() { return XdgDirs::dataHome(); }

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
  return !writeKey(file, contents, /*createOnly=*/true);
}

bool writeAtomically(const fs::path& file, ByteView contents) {
  return !writeKey(file, contents, /*createOnly=*/false);
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
  if (!AtomicFile::moveWithoutReplacing(legacy, current)) {
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
