#include "OmbrelKit/file_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <system_error>
#include <utility>

#include "OmbrelKit/crypto/random.h"
#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"
#include "base/runtime.h"
#include "base/serial_queue.h"

namespace ombrel {
namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

// ---- Unicode scalars -------------------------------------------------------------------------

constexpr char32_t replacementScalar = 0xFFFD;

// The scalar at `text[i]`, advancing `i` past it. A byte that cannot start a sequence, or a
// sequence broken off early, becomes one U+FFFD for its longest valid-looking prefix (the
// "maximal subpart" rule), so a name with stray bytes keeps everything readable around them.
char32_t decodeScalar(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i++);
  if (lead < 0x80) return lead;
  int more = 0;
  char32_t scalar = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    scalar = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    scalar = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    scalar = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return replacementScalar;
  }
  for (int k = 0; k < more; ++k) {
    if (i >= text.size() || byte(i) < low || byte(i) > high) return replacementScalar;
    scalar = (scalar << 6) | (byte(i++) & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return scalar;
}

std::u32string decodeUTF8(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) out.push_back(decodeScalar(text, i));
  return out;
}

std::string encodeUTF8(std::u32string_view scalars) {
  std::string out;
  for (char32_t c : scalars) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::size_t utf16Units(std::u32string_view scalars) {
  std::size_t units = 0;
  for (char32_t c : scalars) units += c >= 0x10000 ? 2 : 1;
  return units;
}

// The longest prefix of `scalars` that fits `maxUnits` UTF-16 units (never half a pair).
std::u32string_view prefixUnits(std::u32string_view scalars, std::size_t maxUnits) {
  std::size_t units = 0, n = 0;
  for (; n < scalars.size(); ++n) {
    std::size_t width = scalars[n] >= 0x10000 ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
  }
  return scalars.substr(0, n);
}

// Scalars that render as nothing or reorder text: a name made of them looks empty or
// impersonates another name ("invoice\u202Efdp.exe").
bool isInvisible(char32_t c) {
  return c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 ||
         c == 0x180E || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0x3164 || c == 0xFEFF || c == 0xFFA0 ||
         (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0000 && c <= 0xE007F);
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Unicode White_Space.
bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::u32string shortenScalars(std::u32string_view name, std::size_t maxUnits) {
  if (utf16Units(name) <= maxUnits) return std::u32string(name);
  constexpr std::size_t maxExtensionUnits = 16;
  const std::size_t dot = name.rfind(U'.');
  if (dot != std::u32string_view::npos && dot > 0 && dot + 1 < name.size()) {
    const std::u32string_view extension = name.substr(dot);  // with its dot
    const std::size_t extensionUnits = utf16Units(extension);
    if (extensionUnits - 1 <= maxExtensionUnits && extensionUnits < maxUnits) {
      std::u32string out(prefixUnits(name.substr(0, dot), maxUnits - extensionUnits));
      out += extension;
      return out;
    }
  }
  return std::u32string(prefixUnits(name, maxUnits));
}

// ---- names on disk ---------------------------------------------------------------------------

std::size_t nameLimit(const std::filesystem::path& directory) {
  long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
}

// The longest prefix of UTF-8 `text` of at most `maxBytes` that ends on a scalar boundary.
std::string_view prefixBytes(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

// "report.pdf" -> {"report", "pdf"}; a name without a dot after its first character, or ending in
// one, has no extension.
std::pair<std::string, std::string> splitExtension(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {name, {}};
  return {name.substr(0, dot), name.substr(dot + 1)};
}

// Try `n` of createUnique. Names of up to 200 UTF-16 units can be 600 bytes of UTF-8, and the
// file system takes 255: the stem gives way so the number and the extension stay.
std::string candidateName(const std::string& name, const std::string& stem,
                          const std::string& extension, int n, std::size_t limit) {
  const std::string number = n > 1 ? " " + std::to_string(n) : std::string();
  const std::string suffix = number + (extension.empty() ? "" : "." + extension);
  if (suffix.size() < limit) {
    const std::string_view kept = prefixBytes(stem, limit - suffix.size());
    if (!kept.empty()) return std::string(kept) + suffix;
  }
  // An extension too long to keep whole: cutting the stem to nothing would leave a hidden name.
  return std::string(prefixBytes(name, limit - number.size())) + number;
}

// Hidden siblings: "." + the reservation's name (cut to fit) + "." + 8 hex digits of the
// reservation name's hash + 8 random ones + ".ombrel-part". The hash names the reservation
// even when its name had to be cut; the random half keeps a sibling that a crash left behind
// from blocking a later transfer to the same name.
constexpr std::string_view partSuffix = ".ombrel-part";
constexpr std::size_t tokenLength = 16;

std::uint32_t nameHash(std::string_view name) {  // FNV-1a
  std::uint32_t hash = 2'166'136'261u;
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16'777'619u;
  return hash;
}

std::string partName(const std::string& reservation, std::size_t limit) {
  char token[tokenLength + 1];
  Bytes random = crypto::randomBytes(4);
  std::snprintf(token, sizeof token, "%08x%02x%02x%02x%02x", nameHash(reservation), random[0],
                random[1], random[2], random[3]);
  const std::size_t fixed = 2 + tokenLength + partSuffix.size();
  return "." + std::string(prefixBytes(reservation, limit > fixed ? limit - fixed : 1)) + "." +
         token + std::string(partSuffix);
}

struct PartName {
  std::string prefix;  // the start of the reservation's name
  std::uint32_t hash;
};

std::optional<PartName> parsePartName(std::string_view name) {
  const std::size_t fixed = 2 + tokenLength + partSuffix.size();
  if (name.size() <= fixed || name.front() != '.' || !name.ends_with(partSuffix)) return {};
  name.remove_prefix(1);
  name.remove_suffix(partSuffix.size());
  const std::string_view token = name.substr(name.size() - tokenLength);
  if (name[name.size() - tokenLength - 1] != '.') return {};
  if (!std::all_of(token.begin(), token.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
    return {};
  }
  PartName part;
  part.prefix = std::string(name.substr(0, name.size() - tokenLength - 1));
  part.hash = static_cast<std::uint32_t>(std::stoul(std::string(token.substr(0, 8)), nullptr, 16));
  return part;
}

bool isRegularFile(const std::filesystem::path& path, off_t* size = nullptr) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size) *size = st.st_size;
  return true;
}

void syncDirectory(const std::filesystem::path& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

// ---- FileSender ------------------------------------------------------------------------------

struct FileSender::Private {
  std::filesystem::path url;
  std::shared_ptr<NVConnection> conn;
  std::shared_ptr<SerialQueue> queue;
  std::atomic<bool> started{false};

  // Queue only.
  int fd = -1;
  std::int64_t offset = 0;  // of the next read
  std::int64_t sent = 0;
  std::int64_t inFlight = 0;
  bool eof = false;
  bool failed = false;

  void closeFile() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  static void pump(const std::shared_ptr<FileSender>& self);
  static void completed(const std::shared_ptr<FileSender>& self, std::int64_t length,
                        bool accepted);
  static void fail(const std::shared_ptr<FileSender>& self, const NVError& error);
};

std::shared_ptr<FileSender> FileSender::create(const std::filesystem::path& path,
                                               std::shared_ptr<NVConnection> conn, Runtime& runtime,
                                               std::error_code& error) {
  error.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = lastError();
    return nullptr;
  }
  struct stat st {};
  std::int64_t size = 0;
  if (::fstat(fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ::close(fd);
      error = std::make_error_code(std::errc::is_a_directory);
      return nullptr;
    }
    // Other kinds (a pipe, a /proc file) have no size worth announcing: 0, read to the end.
    if (S_ISREG(st.st_mode)) size = st.st_size;
  }
  return std::shared_ptr<FileSender>(
      new FileSender(crypto::randomUUIDString(), path, size, fd, std::move(conn), runtime));
}

FileSender::FileSender(std::string id, std::filesystem::path path, std::int64_t size, int fd,
                       std::shared_ptr<NVConnection> conn, Runtime& runtime)
    : id_(std::move(id)),
      name_(path.filename().string()),
      size_(size),
      d_(std::make_unique<Private>()) {
  d_->url = std::move(path);
  d_->conn = std::move(conn);
  d_->queue = runtime.makeQueue("nerovalde.file.send");
  d_->fd = fd;
}

FileSender::~FileSender() { d_->closeFile(); }

void FileSender::start() {
  if (d_->started.exchange(true)) return;
  d_->queue->post([self = shared_from_this()] {
    self->d_->conn->send(MessageType::fileOffer,
                         NVJSON::encode(FileOffer{self->id_, self->name_, self->size_}));
    Private::pump(self);
  });
}

void FileSender::Private::pump(const std::shared_ptr<FileSender>& self) {
  Private& d = *self->d_;
  d.queue->assertCurrent();
  while (!d.eof && d.inFlight < window) {
    Bytes body(FileChunk::idLength + chunkSize);
    std::copy_n(self->id_.data(), FileChunk::idLength, body.begin());
    ssize_t n;
    do {
      n = ::pread(d.fd, body.data() + FileChunk::idLength, static_cast<std::size_t>(chunkSize),
                  d.offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      fail(self, NVError::system(lastError()));
      return;
    }
    if (n == 0) {
      d.eof = true;
      d.closeFile();
      d.conn->sendJSON(MessageType::fileDone, FileDone{self->id_});
      if (self->size_ < 1 && self->onProgress) self->onProgress(1.0);
      return;
    }
    body.resize(FileChunk::idLength + static_cast<std::size_t>(n));
    d.offset += n;
    ++d.inFlight;
    // The completion keeps the sender alive until every send it made is answered.
    d.conn->send(MessageType::fileChunk, std::move(body), [self, n](bool accepted) {
      self->d_->queue->post([self, n, accepted] { completed(self, n, accepted); });
    });
  }
}

void FileSender::Private::completed(const std::shared_ptr<FileSender>& self, std::int64_t length,
                                    bool accepted) {
  Private& d = *self->d_;
  d.queue->assertCurrent();
  --d.inFlight;
  if (!accepted) {
    fail(self, NVError::closed());
    return;
  }
  if (d.failed) return;
  d.sent += length;
  const double progress =
      self->size_ < 1 ? 1.0 : std::min(1.0, static_cast<double>(d.sent) / self->size_);
  if (self->onProgress) self->onProgress(progress);
  pump(self);
}

void FileSender::Private::fail(const std::shared_ptr<FileSender>& self, const NVError& error) {
  Private& d = *self->d_;
  d.eof = true;
  d.closeFile();
  if (d.failed) return;
  d.failed = true;
  if (self->onFinished) self->onFinished(error);
}

// ---- FileReceiver ----------------------------------------------------------------------------

struct FileReceiver::Incoming {
  FileOffer offer;
  int fd = -1;                // the hidden sibling, open for writing
  std::filesystem::path url;  // the reservation: where the file ends up
  std::filesystem::path part;
  std::int64_t received = 0;
  bool writeFailed = false;

  ~Incoming() { closeFile(); }

  void closeFile() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  void discard() {
    closeFile();
    ::unlink(part.c_str());
    ::unlink(url.c_str());
  }

  bool write(ByteView data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done,
                           static_cast<off_t>(received + static_cast<std::int64_t>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Puts the complete file under its reserved name. Nothing, or the failure's text.
  const char* commit() {
    // On disk before it gets the name: after a crash the name holds all of it or nothing.
    if (::fsync(fd) != 0) return incompleteText;
    struct stat reserved {};
    const bool haveMode = ::lstat(url.c_str(), &reserved) == 0 && S_ISREG(reserved.st_mode);
    if (::rename(part.c_str(), url.c_str()) != 0) return createFailedText;
    // The reservation was made with the mode a finished file should have (umask included).
    ::fchmod(fd, haveMode ? reserved.st_mode & 07777 : 0644);
    closeFile();
    syncDirectory(url.parent_path());
    return nullptr;
  }
};

FileReceiver::FileReceiver(std::filesystem::path directory) : directory_(std::move(directory)) {}

FileReceiver::~FileReceiver() { cancelAll(); }

bool FileReceiver::handle(MessageType type, ByteView body) {
  switch (type) {
    case MessageType::fileOffer:
      offer(body);
      return true;
    case MessageType::fileChunk:
      chunk(body);
      return true;
    case MessageType::fileDone:
      done(body);
      return true;
    default:
      return false;
  }
}

void FileReceiver::answer(const FileOffer& offer, const char* failure) {
  if (onFinished) onFinished(FileResult{offer.id, offer.name, false, failure}, std::nullopt);
}

void FileReceiver::offer(ByteView body) {
  auto offer = NVJSON::tryDecode<FileOffer>(body);
  if (!offer) return;
  if (offer->size < 0 || offer->size > maxFileBytes || incoming_.count(offer->id) != 0 ||
      incoming_.size() >= maxConcurrent) {
    answer(*offer, refusedText);
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(directory_, error);
  std::optional<std::filesystem::path> url;
  if (!error) url = createUnique(directory_, sanitize(offer->name), error);
  if (!url) {
    answer(*offer, createFailedText);
    return;
  }
  auto in = std::make_unique<Incoming>();
  in->offer = *offer;
  in->url = *url;
  const std::size_t limit = nameLimit(directory_);
  for (int attempt = 0; attempt < 8 && in->fd < 0; ++attempt) {
    in->part = directory_ / partName(url->filename().string(), limit);
    in->fd = ::open(in->part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (in->fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (in->fd < 0) {
    ::unlink(url->c_str());
    answer(*offer, createFailedText);
    return;
  }
  incoming_.emplace(offer->id, std::move(in));
}

void FileReceiver::chunk(ByteView body) {
  if (body.size() < FileChunk::idLength) return;
  const std::string id = toString(body.first(FileChunk::idLength));
  auto found = incoming_.find(id);
  if (found == incoming_.end()) return;
  Incoming& in = *found->second;
  const ByteView data = body.subspan(FileChunk::idLength);
  const auto length = static_cast<std::int64_t>(data.size());
  if (in.writeFailed || in.received + length > in.offer.size) return;
  if (!in.write(data)) {
    // The bytes are lost, so the transfer can only end incomplete.
    in.writeFailed = true;
    return;
  }
  in.received += length;
  const double progress =
      in.offer.size < 1 ? 1.0 : static_cast<double>(in.received) / in.offer.size;
  if (onProgress) onProgress(id, progress);
}

void FileReceiver::done(ByteView body) {
  auto done = NVJSON::tryDecode<FileDone>(body);
  if (!done) return;
  auto node = incoming_.extract(done->id);
  if (node.empty()) return;
  std::unique_ptr<Incoming> in = std::move(node.mapped());
  const char* failure = incompleteText;
  if (!in->writeFailed && in->received == in->offer.size) failure = in->commit();
  if (failure) {
    in->discard();
    answer(in->offer, failure);
    return;
  }
  if (onFinished) onFinished(FileResult{in->offer.id, in->offer.name, true, std::nullopt}, in->url);
}

std::vector<FileOffer> FileReceiver::cancelAll() {
  std::vector<FileOffer> offers;
  for (auto& [id, in] : incoming_) {
    in->discard();
    offers.push_back(in->offer);
  }
  incoming_.clear();
  return offers;
}

std::size_t FileReceiver::inProgress() const { return incoming_.size(); }

std::string FileReceiver::sanitize(std::string_view name) {
  std::string_view last;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    if (end > start) last = name.substr(start, end - start);
    start = end + 1;
  }

  std::u32string cleaned;
  for (char32_t c : decodeUTF8(last)) {
    if (isInvisible(c)) continue;
    cleaned.push_back(c == U':' || isControl(c) ? U'_' : c);
  }
  cleaned.erase(0, cleaned.find_first_not_of(U'.'));
  cleaned = shortenScalars(cleaned, maxNameUnits);
  // Trimming can uncover dots (" .." would become ".."), so the two alternate until neither
  // changes anything: the name is never hidden, "." or "..".
  for (;;) {
    auto head = std::find_if_not(cleaned.begin(), cleaned.end(), isWhiteSpace);
    auto tail = std::find_if_not(cleaned.rbegin(), cleaned.rend(), isWhiteSpace).base();
    cleaned = head < tail ? std::u32string(head, tail) : std::u32string();
    if (cleaned.empty() || cleaned.front() != U'.') break;
    cleaned.erase(0, cleaned.find_first_not_of(U'.'));
  }
  return cleaned.empty() ? "file" : encodeUTF8(cleaned);
}

std::string FileReceiver::shorten(std::string_view name, std::size_t maxUnits) {
  return encodeUTF8(shortenScalars(decodeUTF8(name), maxUnits));
}

std::optional<std::filesystem::path> FileReceiver::createUnique(
    const std::filesystem::path& directory, const std::string& name, std::error_code& error) {
  error.clear();
  const auto [stem, extension] = splitExtension(name);
  const std::size_t limit = nameLimit(directory);
  for (int n = 1; n <= 10'000;) {
    std::filesystem::path path = directory / candidateName(name, stem, extension, n, limit);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno == EINTR) continue;
    if (errno != EEXIST) {
      error = lastError();
      return std::nullopt;
    }
    ++n;
  }
  error = std::make_error_code(std::errc::file_exists);
  return std::nullopt;
}

std::size_t FileReceiver::removeLeftovers(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::size_t cleared = 0;
  for (const std::string& name : names) {
    auto part = parsePartName(name);
    if (!part || !isRegularFile(directory / name)) continue;
    ::unlink((directory / name).c_str());
    ++cleared;
    // Reservations never start with a dot, so no sibling is taken for one.
    auto reservation = std::find_if(names.begin(), names.end(), [&](const std::string& other) {
      return !other.starts_with('.') && other.starts_with(part->prefix) &&
             nameHash(other) == part->hash;
    });
    off_t size = -1;
    if (reservation != names.end() && isRegularFile(directory / *reservation, &size) && size == 0) {
      ::unlink((directory / *reservation).c_str());
    }
  }
  return cleared;
}

}  // namespace ombrel
