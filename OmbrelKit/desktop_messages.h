#pragma once

// The records of desktop integration: clipboard text, Wake-on-LAN requests and the JSON side of
// file transfer (the chunks themselves are binary, file_chunk.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace ombrel {

// Carried by clipboard and clipboardTextPaste.
struct ClipboardMessage {
  // Longer text is not sent at all (UTF-8 bytes).
  static constexpr std::size_t maxTextBytes = 999'999;

  std::string text;

  bool operator==(const ClipboardMessage&) const = default;
};

struct WakeRequest {
  std::vector<std::string> macAddresses;  // hardware addresses of the machines to wake

  bool operator==(const WakeRequest&) const = default;
};

struct FileOffer {
  std::string id;  // a 36-character UUID string chosen by the sender
  std::string name;
  std::int64_t size = 0;  // bytes

  bool operator==(const FileOffer&) const = default;
};

struct FileDone {
  std::string id;

  bool operator==(const FileDone&) const = default;
};

struct FileResult {
  std::string id;
  std::string name;
  bool ok = false;
  std::optional<std::string> message;

  bool operator==(const FileResult&) const = default;
};

void toJSON(nlohmann::json& out, const ClipboardMessage& value);
void fromJSON(const nlohmann::json& in, ClipboardMessage& value);
void toJSON(nlohmann::json& out, const WakeRequest& value);
void fromJSON(const nlohmann::json& in, WakeRequest& value);
void toJSON(nlohmann::json& out, const FileOffer& value);
void fromJSON(const nlohmann::json& in, FileOffer& value);
void toJSON(nlohmann::json& out, const FileDone& value);
void fromJSON(const nlohmann::json& in, FileDone& value);
void toJSON(nlohmann::json& out, const FileResult& value);
void fromJSON(const nlohmann::json& in, FileResult& value);

}  // namespace ombrel
