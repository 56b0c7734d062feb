// The STUN codec on untrusted datagrams: a probe parses whatever arrives on its socket, a relay
// whatever a client sends to its port. Neither may crash or read out of bounds, and what they
// accept must be what the encoder would have written.
#include <cstdint>
#include <cstdlib>

#include "CorvaneKit/stun.h"
#include "base/log.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size > 4096) return 0;
  ByteView bytes(data, size);
  // The datagram's own transaction field, so the fuzzer reaches the attributes; and one it
  // cannot match.
  const Bytes own =
      size >= STUN::headerSize ? Bytes(data + 8, data + STUN::headerSize) : Bytes(12, 0);
  for (const Bytes& transaction : {own, Bytes(12, 0xA5)}) {
    auto address = STUN::address(bytes, transaction);
    if (!address) continue;
    if (size > STUN::maxMessageSize || transaction != own) std::abort();
    auto again = STUN::successResponse(transaction, *address);
    if (!again || STUN::address(*again, transaction).value() != *address) std::abort();
  }
  if (auto transaction = STUN::bindingRequestTransaction(bytes)) {
    if (*transaction != own) std::abort();
    auto answer = STUN::successResponse(*transaction, {"192.0.2.1", 3478});
    if (!answer || !STUN::address(*answer, *transaction)) std::abort();
  }
  return 0;
}
