#pragma once

// The records of a running stream: its configuration and start, bit rate, statistics, ping,
// video receipts, the cursor and caret, and privacy mode.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "OmbrelKit/display_info.h"
#include "OmbrelKit/video_codec.h"
#include "base/bytes.h"

namespace ombrel {

struct VirtualDisplayRequest {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::string name;

  bool operator==(const VirtualDisplayRequest&) const = default;
};

// What the client asks for in startStream. Values arrive unchecked; the host clamps them.
struct StreamConfig {
  std::optional<bool> receiverPacing;      // true: pace video by the client's receipts
  std::optional<std::uint32_t> displayID;  // absent: the host chooses
  std::int64_t maxWidth = 0;
  std::int64_t maxHeight = 0;
  std::int64_t fps = 0;
  std::int64_t bitrateKbps = 0;
  VideoCodec codec = VideoCodec::hevc;
  bool adaptiveBitrate = false;
  bool audio = false;
  std::optional<std::int64_t> startBitrateKbps;
  std::optional<VirtualDisplayRequest> virtualDisplay;

  bool operator==(const StreamConfig&) const = default;
};

struct StreamStarted {
  DisplayInfo display;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t fps = 0;
  VideoCodec codec = VideoCodec::hevc;

  bool operator==(const StreamStarted&) const = default;
};

struct BitrateUpdate {
  std::int64_t bitrateKbps = 0;
  bool adaptive = false;

  bool operator==(const BitrateUpdate&) const = default;
};

struct HostStats {
  std::int64_t bitrateKbps = 0;
  double encodeFps = 0;
  std::int64_t skippedFrames = 0;

  bool operator==(const HostStats&) const = default;
};

struct ClientStats {
  double rttMs = 0;
  double fps = 0;

  bool operator==(const ClientStats&) const = default;
};

// The host never interprets `t`; it answers with the ping's body byte for byte.
struct PingMessage {
  // Larger pings are ignored rather than echoed, so a peer cannot make the host send big pongs.
  static constexpr std::size_t maxEchoedBodySize = 256;

  double t = 0;

  bool operator==(const PingMessage&) const = default;
};

// The videoReceipt body: a bare JSON number, the ptsMicros of the acknowledged frame.
namespace VideoReceipt {
inline constexpr std::size_t maxBodySize = 32;
Bytes encode(std::uint64_t ptsMicros);
// Nothing for a body over maxBodySize or one that is not a non-negative JSON integer in range.
std::optional<std::uint64_t> decode(ByteView body);
}  // namespace VideoReceipt

struct CursorImage {
  Bytes png;
  double width = 0;  // points
  double height = 0;
  double hotX = 0;  // points from the image's top-left corner
  double hotY = 0;

  bool operator==(const CursorImage&) const = default;
};

// Normalized to the streamed display: 0 at the left/top edge, 1 at the right/bottom edge.
// Used for the pointer (cursorPosition) and for the text caret (caretPosition).
struct CursorPosition {
  double x = 0;
  double y = 0;
  bool visible = false;

  bool operator==(const CursorPosition&) const = default;
};

struct PrivacyMode {
  bool enabled = false;

  bool operator==(const PrivacyMode&) const = default;
};

void toJSON(nlohmann::json& out, const VirtualDisplayRequest& value);
void fromJSON(const nlohmann::json& in, VirtualDisplayRequest& value);
void toJSON(nlohmann::json& out, const StreamConfig& value);
void fromJSON(const nlohmann::json& in, StreamConfig& value);
void toJSON(nlohmann::json& out, const StreamStarted& value);
void fromJSON(const nlohmann::json& in, StreamStarted& value);
void toJSON(nlohmann::json& out, const BitrateUpdate& value);
void fromJSON(const nlohmann::json& in, BitrateUpdate& value);
void toJSON(nlohmann::json& out, const HostStats& value);
void fromJSON(const nlohmann::json& in, HostStats& value);
void toJSON(nlohmann::json& out, const ClientStats& value);
void fromJSON(const nlohmann::json& in, ClientStats& value);
void toJSON(nlohmann::json& out, const PingMessage& value);
void fromJSON(const nlohmann::json& in, PingMessage& value);
void toJSON(nlohmann::json& out, const CursorImage& value);
void fromJSON(const nlohmann::json& in, CursorImage& value);
void toJSON(nlohmann::json& out, const CursorPosition& value);
void fromJSON(const nlohmann::json& in, CursorPosition& value);
void toJSON(nlohmann::json& out, const PrivacyMode& value);
void fromJSON(const nlohmann::json& in, PrivacyMode& value);

}  // namespace ombrel
