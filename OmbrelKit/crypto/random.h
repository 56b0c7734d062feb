#pragma once

#include "base/bytes.h"

namespace ombrel::crypto {

// `count` bytes from the operating system's cryptographically secure generator (through
// OpenSSL's DRBG). Thread-safe; throws NVError::crypto if no entropy can be had.
Bytes randomBytes(std::size_t count);

}  // namespace ombrel::crypto
