#include "OmbrelKit/message_type.h"

namespace ombrel {

using enum MessageType;

const std::array<MessageType, 38> allMessageTypes = {
    clientHello,
    hostHello,
    pairRequest,
    pairResult,
    startStream,
    stopStream,
    streamStarted,
    videoFrame,
    requestKeyframe,
    updateBitrate,
    audioFrame,
    videoReceipt,
    cursorImage,
    cursorPosition,
    caretPosition,
    input,
    clipboard,
    fileOffer,
    fileChunk,
    fileDone,
    fileResult,
    privacyMode,
    wakeRequest,
    clipboardImage,
    clipboardImagePaste,
    clipboardTextPaste,
    linkSignal,
    vpnActivate,
    vpnOffer,
    vpnEndpoint,
    vpnStatus,
    aiRequest,
    aiResponse,
    ping,
    pong,
    hostStats,
    clientStats,
    error,
};

std::optional<MessageType> messageType(std::uint8_t code) {
  auto known = [] {
    std::array<bool, 256> table{};
    for (auto type : allMessageTypes) table[rawValue(type)] = true;
    return table;
  };
  static const std::array<bool, 256> isKnown = known();
  if (!isKnown[code]) return std::nullopt;
  return static_cast<MessageType>(code);
}

}  // namespace ombrel
