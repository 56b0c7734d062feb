#pragma once

#include "base/bytes.h"

namespace ombrel::crypto {

// Overwrites `bytes` with zeros in a way the optimizer cannot drop; for copies of secret keys.
void wipe(Bytes& bytes);

}  // namespace ombrel::crypto
