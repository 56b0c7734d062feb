// The AI channel's records on untrusted bytes: the host decodes every aiRequest a client sends,
// and a client decodes aiResponses whose UINode trees a host built from another application's
// accessibility data. The first byte picks the record (even: AIRequest, odd: AIResponse), the
// rest is the body. Nothing may crash; a tree that decodes is no deeper than the decoder's
// limit; whatever decodes survives encode + decode unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "OmbrelKit/messages.h"
#include "base/log.h"

using namespace ombrel;

namespace {

int depth(const UINode& node) {
  int deepest = 0;
  if (node.children) {
    for (const auto& child : *node.children) deepest = std::max(deepest, depth(child));
  }
  return deepest + 1;
}

template <typename T>
void roundTrip(const T& value) {
  auto encoded = NVJSON::encode(value);
  if (encoded.empty()) std::abort();  // everything decoded is finite, so it must encode
  auto again = NVJSON::tryDecode<T>(encoded);
  if (!again || !(*again == value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size < 1 || size > (1 << 16)) return 0;
  ByteView body(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    if (auto request = NVJSON::tryDecode<AIRequest>(body)) roundTrip(*request);
    return 0;
  }
  auto response = NVJSON::tryDecode<AIResponse>(body);
  if (!response) return 0;
  if (response->tree && depth(*response->tree) > UINode::maxDecodeDepth + 1) std::abort();
  roundTrip(*response);
  return 0;
}
