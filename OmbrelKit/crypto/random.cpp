#include "OmbrelKit/crypto/random.h"

#include <openssl/rand.h>

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

}  // namespace ombrel::crypto
