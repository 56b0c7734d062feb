#pragma once

#include <initializer_list>

#include "base/bytes.h"

namespace ombrel::crypto {

// Hashes, MACs and key derivation over SHA-256. All functions are thread-safe and throw
// NVError::crypto only when the crypto library itself fails.

inline constexpr std::size_t sha256Size = 32;

// SHA-256 of the concatenation of `parts` (no concatenated copy is made).
Bytes sha256(std::initializer_list<ByteView> parts);
inline Bytes sha256(ByteView data) { return sha256({data}); }

// HMAC-SHA-256 of the concatenation of `parts` under `key`; 32 bytes.
Bytes hmacSHA256(ByteView key, std::initializer_list<ByteView> parts);
inline Bytes hmacSHA256(ByteView key, ByteView data) { return hmacSHA256(key, {data}); }

// HKDF-SHA-256 (extract and expand) of `outputLength` bytes.
Bytes hkdfSHA256(ByteView inputKey, ByteView salt, ByteView info, std::size_t outputLength);

}  // namespace ombrel::crypto
