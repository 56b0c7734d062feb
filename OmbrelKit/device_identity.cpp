#include "OmbrelKit/device_identity.h"

#include <algorithm>
#include <cstdio>

#include "OmbrelKit/crypto/digest.h"
#include "OmbrelKit/crypto/secure_memory.h"
#include "OmbrelKit/key_file.h"
#include "base/log.h"

namespace ombrel {

namespace {

constexpr std::size_t kKeySize = crypto::ed25519KeySize;
constexpr std::uint8_t kSealedMarker = 0x01;

std::uint64_t leadingU64(ByteView digest) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | digest[i];
  return value;
}

// `digits` as groups of `group` characters separated by single spaces.
std::string grouped(std::string_view digits, std::size_t group) {
  std::string out;
  for (std::size_t i = 0; i < digits.size(); i += group) {
    if (i > 0) out += ' ';
    out += digits.substr(i, group);
  }
  return out;
}

std::string numericID(ByteView publicKey, std::uint64_t modulus, int width, std::size_t group) {
  const std::uint64_t value = leadingU64(crypto::sha256(publicKey)) % modulus;
  char digits[24];
  std::snprintf(digits, sizeof digits, "%0*llu", width, static_cast<unsigned long long>(value));
  return grouped(digits, group);
}

DeviceIdentity identityFromSeed(ByteView seed) {
  return DeviceIdentity(Bytes(seed.begin(), seed.end()));
}

}  // namespace

DeviceIdentity::DeviceIdentity(Bytes signingKeySeed32) : signingKey_(signingKeySeed32) {
  crypto::wipe(signingKeySeed32);
}

DeviceIdentity DeviceIdentity::generate() {
  return identityFromSeed(crypto::Ed25519PrivateKey::generate().rawRepresentation());
}

DeviceIdentity DeviceIdentity::loadOrCreate(std::string_view account) {
  KeyFile::migrateLegacy(account);
  const std::filesystem::path file = keyPath(account);
  KeyFile::Contents contents = KeyFile::read(file, kKeySize);
  if (contents.status == KeyFile::ReadStatus::ok && contents.bytes.size() == kKeySize) {
    DeviceIdentity identity(std::move(contents.bytes));
    return identity;
  }
  crypto::wipe(contents.bytes);

  DeviceIdentity identity = generate();
  if (contents.status == KeyFile::ReadStatus::unreadable) {
    log::line("Ombrel Remote: the identity key file cannot be read; using a temporary identity");
    identity.temporary_ = true;
    return identity;
  }
  Bytes seed = identity.signingKey_.rawRepresentation();
  // A corrupt file (a regular file too short to hold a key) holds nothing to keep; anything
  // else that appeared at the path since it was read is not replaced.
  const bool stored = contents.status == KeyFile::ReadStatus::missing
                          ? KeyFile::create(file, seed)
                          : KeyFile::writeAtomically(file, seed);
  crypto::wipe(seed);
  if (!stored) {
    log::line("Ombrel Remote: the identity key file cannot be written; using a temporary identity");
    identity.temporary_ = true;
  }
  return identity;
}

Bytes DeviceIdentity::seal(ByteView data, std::string_view purpose) const {
  Bytes seed = signingKey_.rawRepresentation();
  Bytes key = crypto::sha256({view(purpose), seed});
  Bytes tag = crypto::hmacSHA256(key, data);
  crypto::wipe(seed);
  crypto::wipe(key);
  return tag;
}

std::string DeviceIdentity::deviceID(ByteView publicKey) {
  return numericID(publicKey, 1'000'000'000'000ull, 12, 4);
}

std::string DeviceIdentity::hostID(ByteView publicKey) {
  return numericID(publicKey, 1'000'000'000ull, 9, 3);
}

std::string DeviceIdentity::fingerprint(ByteView publicKey) {
  const Bytes digest = crypto::sha256(publicKey);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i > 0 && i % 2 == 0) out += '-';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

std::string DeviceIdentity::normalizeHostID(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  if (digits.size() == 9) return grouped(digits, 3);
  if (digits.size() == 12) return grouped(digits, 4);
  return std::string(text);
}

bool DeviceIdentity::matchesHostID(std::string_view text, ByteView publicKey) {
  return normalizeHostID(text) == deviceID(publicKey);
}

std::optional<std::string> DeviceIdentity::migratedSavedHostID(std::string_view saved,
                                                               ByteView pinnedKey) {
  if (pinnedKey.size() != kKeySize) return std::nullopt;
  const std::string normalized = normalizeHostID(saved);
  const std::string current = deviceID(pinnedKey);
  if (normalized == current || normalized == hostID(pinnedKey)) return current;
  return std::nullopt;
}

bool DeviceIdentity::isSealed(std::string_view account) {
  KeyFile::Contents contents = KeyFile::read(keyPath(account), 0);
  return contents.status == KeyFile::ReadStatus::ok && contents.size == kKeySize + 1;
}

void DeviceIdentity::markSealed(std::string_view account, const DeviceIdentity& identity) {
  if (identity.temporary_) return;
  const std::filesystem::path file = keyPath(account);
  Bytes seed = identity.signingKey_.rawRepresentation();
  if (!KeyFile::appendMarker(file, seed, kSealedMarker)) {
    Bytes contents(kKeySize + 1, kSealedMarker);
    std::copy(seed.begin(), seed.end(), contents.begin());
    KeyFile::create(file, contents);
    crypto::wipe(contents);
  }
  crypto::wipe(seed);
}

std::filesystem::path DeviceIdentity::keyPath(std::string_view account) {
  return KeyFile::path(account);
}

}  // namespace ombrel
