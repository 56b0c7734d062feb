#include "Ombrel_Remote_Host/settings/settings_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/atomic_file.h"
#include "base/base64.h"
#include "base/log.h"
#include "base/xdg_dirs.h"

namespace ombrel {
namespace {

constexpr std::string_view kBytesType = "bytes";

// Reads the whole file; nothing with errno set when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

std::filesystem::path SettingsStore::configHome() { return XdgDirs::configHome(); }

std::filesystem::path SettingsStore::fileFor(std::string_view domain) {
  return configHome() / "Ombrel Remote" / (std::string(domain) + ".json");
}

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {
  load();
  AtomicFile::removeStaleTemporaries(file_);
}

std::unique_ptr<SettingsStore> SettingsStore::openExisting(std::filesystem::path file) {
  // Checked before building the store so an unreadable suite is never written to.
  if (!readFile(file) && errno != ENOENT) return nullptr;
  return std::make_unique<SettingsStore>(std::move(file));
}

void SettingsStore::load() {
  values_.clear();
  auto text = readFile(file_);
  if (!text) return;
  Value root = Value::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) {
    // Moved aside rather than left for the next save to overwrite: what the owner had set may
    // still be recoverable by hand. Once moved, no later reader reports it again.
    const std::filesystem::path damaged = file_.string() + ".damaged";
    const bool kept = ::rename(file_.c_str(), damaged.c_str()) == 0;
    log::line(
        "Ombrel Remote: settings file " + file_.filename().string() +
        " is damaged; starting from defaults" +
        (kept ? ", the damaged file is kept as " + damaged.filename().string() : std::string()));
    return;
  }
  for (auto& [key, value] : root.items()) values_.emplace(key, std::move(value));
}

bool SettingsStore::saveLocked() {
  Value root = Value::object();
  for (const auto& [key, value] : values_) root[key] = value;
  const std::string text = root.dump(2, ' ', false, Value::error_handler_t::replace) + "\n";

  const auto error = AtomicFile::write(file_, text, {.mode = 0600, .parentMode = 0777});
  if (error) {
    log::line("Ombrel Remote: could not save settings file " + file_.filename().string() + " (" +
              error->step + ": " + error->text() + ")");
    return false;
  }
  return true;
}

bool SettingsStore::contains(std::string_view key) const {
  std::lock_guard lock(mutex_);
  return values_.find(key) != values_.end();
}

std::optional<SettingsStore::Value> SettingsStore::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<bool> SettingsStore::boolValue(std::string_view key) const {
  auto stored = value(key);
  if (!stored || !stored->is_boolean()) return std::nullopt;
  return stored->get<bool>();
}

std::optional<std::string> SettingsStore::stringValue(std::string_view key) const {
  auto stored = value(key);
  if (!stored || !stored->is_string()) return std::nullopt;
  return stored->get<std::string>();
}

std::optional<Bytes> SettingsStore::bytesValue(std::string_view key) const {
  auto stored = value(key);
  if (!stored || !stored->is_object()) return std::nullopt;
  auto type = stored->find("type");
  auto text = stored->find("value");
  if (type == stored->end() || text == stored->end() || !type->is_string() || !text->is_string() ||
      type->get_ref<const std::string&>() != kBytesType) {
    return std::nullopt;
  }
  return base64::decode(text->get_ref<const std::string&>());
}

SettingsStore::Value SettingsStore::bytesEntry(ByteView bytes) {
  return Value{{"type", kBytesType}, {"value", base64::encode(bytes)}};
}

bool SettingsStore::setBool(std::string_view key, bool value) { return setValue(key, value); }

bool SettingsStore::setString(std::string_view key, std::string_view value) {
  return setValue(key, std::string(value));
}

bool SettingsStore::setBytes(std::string_view key, ByteView value) {
  return setValue(key, bytesEntry(value));
}

bool SettingsStore::setValue(std::string_view key, Value value) {
  return edit([&](Values& values) { values.insert_or_assign(std::string(key), std::move(value)); });
}

bool SettingsStore::remove(std::string_view key) {
  return edit([&](Values& values) {
    if (auto it = values.find(key); it != values.end()) values.erase(it);
  });
}

bool SettingsStore::edit(const std::function<void(Values&)>& change) {
  std::lock_guard lock(mutex_);
  change(values_);
  return saveLocked();
}

SettingsStore::Values SettingsStore::values() const {
  std::lock_guard lock(mutex_);
  return values_;
}

}  // namespace ombrel
