#include "OmbrelKit/cipher_state.h"

#include <limits>

#include "OmbrelKit/nv_error.h"

namespace ombrel {

CipherState::CipherState(ByteView key, std::uint64_t counter) : key_(key), counter_(counter) {}

std::array<std::uint8_t, crypto::aesGCMNonceSize> CipherState::nonce(std::uint64_t counter) {
  std::array<std::uint8_t, crypto::aesGCMNonceSize> bytes{};
  for (int i = 0; i < 8; ++i) bytes[4 + i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
  return bytes;
}

std::array<std::uint8_t, crypto::aesGCMNonceSize> CipherState::nextNonce() {
  if (exhausted_) {
    throw NVError::invalid(
        "CipherState: all 2^64 nonces of this key are used; the connection must close");
  }
  const auto bytes = nonce(counter_);
  if (counter_ == std::numeric_limits<std::uint64_t>::max()) {
    exhausted_ = true;
  } else {
    ++counter_;
  }
  return bytes;
}

Bytes CipherState::seal(ByteView plaintext) {
  Bytes out;
  sealInto(plaintext, out);
  return out;
}

void CipherState::sealInto(ByteView plaintext, Bytes& out) { sealInto({}, plaintext, out); }

void CipherState::sealInto(ByteView head, ByteView body, Bytes& out) {
  const std::size_t start = out.size();
  out.resize(start + head.size() + body.size() + tagSize);
  try {
    sealTo(head, body, out.data() + start);
  } catch (...) {
    out.resize(start);
    throw;
  }
}

void CipherState::sealTo(ByteView head, ByteView body, std::uint8_t* out) {
  const auto nonceBytes = nextNonce();
  key_.seal(nonceBytes, head, body, out);
}

Bytes CipherState::open(ByteView sealed) {
  if (sealed.size() < tagSize) throw NVError::truncated();
  const auto nonceBytes = nextNonce();
  return key_.open(nonceBytes, sealed);
}

std::optional<std::uint8_t> CipherState::openInPlace(Bytes& message) {
  if (message.size() < tagSize) throw NVError::truncated();
  const auto nonceBytes = nextNonce();
  if (!key_.open(nonceBytes, message, message.data())) {
    throw NVError::crypto("AES-GCM authentication failure");
  }
  message.resize(message.size() - tagSize);
  if (message.empty()) return std::nullopt;
  const std::uint8_t first = message.front();
  // Moving the body down a byte costs far less than a fresh buffer for it: the bytes are
  // already in cache and their pages already mapped.
  message.erase(message.begin());
  return first;
}

}  // namespace ombrel
