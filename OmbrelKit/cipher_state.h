#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "OmbrelKit/crypto/aes_gcm.h"
#include "base/bytes.h"

namespace ombrel {

// One direction of a secure connection: an AES-256-GCM key and its message counter. Every seal
// or open takes the next nonce, 0x00000000 ‖ counter as big-endian u64, and advances the
// counter; the nonce itself is never sent, so the sender's and receiver's states stay in step
// frame by frame. Output of seal is ciphertext ‖ 16-byte tag, no associated data.
//
// A key must never see the same nonce twice, so the state refuses (NVError::invalid) once its
// 2^64 nonces are used up, and the connection closes. For the same reason it cannot be copied:
// two copies would seal with the same nonces.
//
// Threading: not thread-safe; owned by its connection and used on the connection's strand.
class CipherState {
 public:
  static constexpr std::size_t tagSize = crypto::aesGCMTagSize;

  // Throws NVError::crypto unless `key` is 32 bytes. `counter` is the first nonce's counter.
  explicit CipherState(ByteView key, std::uint64_t counter = 0);
  CipherState(CipherState&&) noexcept = default;
  CipherState& operator=(CipherState&&) noexcept = default;

  // The counter of the next nonce.
  std::uint64_t counter() const { return counter_; }
  // True once the last nonce (counter 2^64 - 1) has been used.
  bool exhausted() const { return exhausted_; }

  Bytes seal(ByteView plaintext);
  // Appends the sealed bytes (plaintext.size() + 16) to `out`, so a caller can build a frame
  // header first and seal after it without a copy. `plaintext` must not point into `out`.
  void sealInto(ByteView plaintext, Bytes& out);
  // sealInto of head ‖ body without joining them first (a message's type code and its body).
  void sealInto(ByteView head, ByteView body, Bytes& out);
  // Seals head ‖ body to `out`, which has room for head.size() + body.size() + 16 bytes and
  // overlaps neither: for a destination the caller sized without zeroing it first.
  void sealTo(ByteView head, ByteView body, std::uint8_t* out);
  // Throws NVError::truncated for input shorter than a tag (no nonce is used then) and
  // NVError::crypto when authentication fails.
  Bytes open(ByteView sealed);
  // open where the bytes lie, for a message that becomes its type code and body: on return
  // `message` holds the plaintext after its first byte, which is returned (nothing when the
  // authenticated plaintext is empty). Throws as open does; `message` is garbage then.
  std::optional<std::uint8_t> openInPlace(Bytes& message);

  static std::array<std::uint8_t, crypto::aesGCMNonceSize> nonce(std::uint64_t counter);

 private:
  std::array<std::uint8_t, crypto::aesGCMNonceSize> nextNonce();

  crypto::AESGCMKey key_;
  std::uint64_t counter_;
  bool exhausted_ = false;
};

}  // namespace ombrel
