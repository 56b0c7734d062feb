#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace ombrel {

// The one-byte type code in front of every session message. Declaration order is not code
// order (ping..clientStats were added after the tunnel and AI codes), so never index a table by
// the enumerator's position; use the code.
//
// Codes outside this list are unknown: the receiver drops such a message and keeps the
// connection.
enum class MessageType : std::uint8_t {
  clientHello = 1,
  hostHello = 2,
  pairRequest = 3,
  pairResult = 4,
  startStream = 10,
  stopStream = 11,
  streamStarted = 12,
  videoFrame = 13,
  requestKeyframe = 14,
  updateBitrate = 15,
  audioFrame = 16,
  videoReceipt = 17,
  cursorImage = 20,
  cursorPosition = 21,
  caretPosition = 22,
  input = 30,
  clipboard = 40,
  fileOffer = 41,
  fileChunk = 42,
  fileDone = 43,
  fileResult = 44,
  privacyMode = 45,
  wakeRequest = 46,
  clipboardImage = 47,
  clipboardImagePaste = 48,
  clipboardTextPaste = 49,
  linkSignal = 54,
  vpnActivate = 55,
  vpnOffer = 56,
  vpnEndpoint = 57,
  vpnStatus = 58,
  aiRequest = 60,
  aiResponse = 61,
  ping = 50,
  pong = 51,
  hostStats = 52,
  clientStats = 53,
  error = 99,
};

// Every case, in declaration order.
extern const std::array<MessageType, 38> allMessageTypes;

constexpr std::uint8_t rawValue(MessageType type) { return static_cast<std::uint8_t>(type); }

// The case for a wire code, or nothing for an unknown code.
std::optional<MessageType> messageType(std::uint8_t code);

}  // namespace ombrel
