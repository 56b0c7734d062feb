#include "OmbrelKit/crypto/random.h"

#include <openssl/rand.h>

#include <cctype>
#include <climits>

#include "OmbrelKit/crypto/openssl_support.h"

namespace ombrel::crypto {

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const int chunk = static_cast<int>(std::min<std::size_t>(count - done, INT_MAX));
    if (RAND_bytes(out.data() + done, chunk) != 1) detail::fail("secure random bytes");
    done += static_cast<std::size_t>(chunk);
  }
  return out;
}

std::string randomUUIDString() {
  Bytes b = randomBytes(16);
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string hex = hexString(b);
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

}  // namespace ombrel::crypto
