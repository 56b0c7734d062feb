// Every JSON message record on untrusted bodies. The first byte picks the record, the rest is
// the body. A body that decodes must survive encode + decode unchanged.
#include <cstdint>
#include <cstdlib>
#include <tuple>

#include "OmbrelKit/messages.h"
#include "base/log.h"

using namespace ombrel;

namespace {

using Records = std::tuple<DisplayInfo, ClientHello, HostHello, PairRequest, PairResult,
                           ErrorMessage, StreamConfig, VirtualDisplayRequest, StreamStarted,
                           BitrateUpdate, HostStats, ClientStats, PingMessage, CursorImage,
                           CursorPosition, ClipboardMessage, PrivacyMode, WakeRequest, FileOffer,
                           FileDone, FileResult, AIRequest, UINode, AIResponse, InputEvent>;

template <typename T>
void roundTrip(ByteView body) {
  auto value = NVJSON::tryDecode<T>(body);
  if (!value) return;
  auto encoded = NVJSON::encode(*value);
  if (encoded.empty()) std::abort();  // everything decoded is finite, so it must encode
  auto again = NVJSON::tryDecode<T>(encoded);
  if (!again || !(*again == *value)) std::abort();
}

template <std::size_t... I>
void dispatch(std::size_t selector, ByteView body, std::index_sequence<I...>) {
  ((selector == I ? roundTrip<std::tuple_element_t<I, Records>>(body) : void()), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size < 1 || size > (1 << 16)) return 0;
  constexpr std::size_t count = std::tuple_size_v<Records>;
  ByteView body(data + 1, size - 1);
  std::size_t selector = data[0] % (count + 1);
  if (selector == count) {
    if (auto pts = VideoReceipt::decode(body)) {
      if (VideoReceipt::decode(VideoReceipt::encode(*pts)) != pts) std::abort();
    }
    return 0;
  }
  dispatch(selector, body, std::make_index_sequence<count>{});
  return 0;
}
