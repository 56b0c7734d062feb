#pragma once

// One settings domain kept as a JSON file, the host's equivalent of a user-defaults domain.
//
// The file is one JSON object from key to value. A value is a Boolean (JSON true/false), a
// string (JSON string) or bytes, written as {"type": "bytes", "value": "<standard Base64>"}.
// Anything else found in a file (edited by hand, written by a newer version) is kept as it is
// and reads as the wrong type, which callers treat as their default.
//
// Loading: a missing, unreadable or corrupt file reads as no values; the next save rewrites it.
// A corrupt file (not one JSON object) is first moved aside to "<file name>.damaged", replacing
// an older one, and logged once.
// Saving: every change writes the whole domain at once through a temporary file in the same
// directory (fsync, rename, fsync of the directory), so a crash at any point leaves either the
// previous or the new file on disk, never a mixture. A failed write keeps the change in memory;
// the next save writes it again.
//
// Threading: every operation takes the store's one mutex for its whole duration, file writes
// included, so saves reach the disk in the order the changes were made. Safe from any thread.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/bytes.h"

namespace ombrel {

class SettingsStore {
 public:
  using Value = nlohmann::json;
  using Values = std::map<std::string, Value, std::less<>>;

  // The settings file of `domain`: $XDG_CONFIG_HOME/Ombrel Remote/<domain>.json, with
  // ~/.config standing in for an unset, empty or relative $XDG_CONFIG_HOME.
  static std::filesystem::path fileFor(std::string_view domain);
  static std::filesystem::path configHome();

  // Loads `file`; never fails (see above).
  explicit SettingsStore(std::filesystem::path file);
  // Loads `file` only when it can be read or does not exist yet; nullptr when it exists but
  // reading it fails (a suite that "cannot be opened"). A corrupt file still opens, empty.
  static std::unique_ptr<SettingsStore> openExisting(std::filesystem::path file);

  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  const std::filesystem::path& file() const { return file_; }

  // True when the key holds any value, of whatever type.
  bool contains(std::string_view key) const;
  std::optional<Value> value(std::string_view key) const;
  // Typed reads: nothing when the key is absent or holds another type.
  std::optional<bool> boolValue(std::string_view key) const;
  std::optional<std::string> stringValue(std::string_view key) const;
  std::optional<Bytes> bytesValue(std::string_view key) const;

  // Each change is saved at once; the result tells whether the file was written.
  bool setBool(std::string_view key, bool value);
  bool setString(std::string_view key, std::string_view value);
  bool setBytes(std::string_view key, ByteView value);
  bool setValue(std::string_view key, Value value);
  bool remove(std::string_view key);
  // Several changes in one save. `change` runs under the store's mutex and must not call back
  // into this store.
  bool edit(const std::function<void(Values&)>& change);

  // Every stored value, as loaded or last changed.
  Values values() const;

  // The stored form of a byte value.
  static Value bytesEntry(ByteView bytes);

 private:
  void load();
  bool saveLocked();

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  Values values_;
};

}  // namespace ombrel
