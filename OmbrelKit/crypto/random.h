#pragma once

#include <string>

#include "base/bytes.h"

namespace ombrel::crypto {

// `count` bytes from the operating system's cryptographically secure generator (through
// OpenSSL's DRBG). Thread-safe; throws NVError::crypto if no entropy can be had.
Bytes randomBytes(std::size_t count);
// A random (version 4) UUID in upper-case text, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", the
// form peers compare session and transfer ids in.
std::string randomUUIDString();

}  // namespace ombrel::crypto
