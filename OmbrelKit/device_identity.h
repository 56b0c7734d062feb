#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "OmbrelKit/crypto/ed25519.h"
#include "base/bytes.h"

namespace ombrel {

// A device's long-term Ed25519 signing key. Its public half is the device's identity on the
// wire: the host ID shown to users and the key clients pin are both derived from it, and the
// host trusts paired clients by theirs.
//
// The key lives in the key file of an account (the host uses "host"):
//   $XDG_DATA_HOME/Ombrel Remote/<account>.key, mode 0600, the 32 raw private-key bytes,
//   optionally followed by the byte 0x01 (the "sealed" marker that says the trusted-client list
//   has carried a seal made with this key).
//
// Threading: immutable after construction; copies share the key and every member may be used
// from any thread. The private key never leaves this class except into the key file.
class DeviceIdentity {
 public:
  // From the 32 raw private-key bytes (the copy handed in is wiped); other sizes throw
  // NVError::crypto.
  explicit DeviceIdentity(Bytes signingKeySeed32);
  static DeviceIdentity generate();
  // The account's identity from its key file, migrating the legacy file first. Never fails: a
  // missing or corrupt file is replaced by a new identity. Something at the path that cannot be
  // read is left alone (it may be the real key behind a passing fault), and a new identity that
  // cannot be stored gets nowhere: either way the result is temporary.
  static DeviceIdentity loadOrCreate(std::string_view account);

  // An identity of this process only: loadOrCreate could not keep it in the key file, so the
  // next start will not have it. Nothing sealed with it can be checked again later, and it
  // never writes the key file. Identities made from a seed or generated are not temporary.
  bool isTemporary() const { return temporary_; }

  const Bytes& publicKey() const { return signingKey_.publicKey(); }
  // Both the current 12-digit form, "0001 2345 6789". (The static hostID below is the legacy
  // 9-digit form; the instance's host ID has always been the current one.)
  std::string deviceID() const { return deviceID(publicKey()); }
  std::string hostID() const { return deviceID(publicKey()); }
  // "AB12-CD34-EF56-7890".
  std::string fingerprint() const { return fingerprint(publicKey()); }

  // 64-byte Ed25519 signature.
  Bytes sign(ByteView message) const { return signingKey_.sign(message); }
  // A 32-byte tag that detects tampering with stored data: HMAC-SHA-256 under
  // SHA-256(purpose ‖ private key). Different purposes give unrelated tags.
  Bytes seal(ByteView data, std::string_view purpose) const;

  // 12-digit host ID of a key: the first 8 bytes of SHA-256(key), big-endian, modulo 10^12, in
  // three groups of four digits.
  static std::string deviceID(ByteView publicKey);
  // Legacy 9-digit host ID: the same modulo 10^9, in three groups of three.
  static std::string hostID(ByteView publicKey);
  // The first 8 bytes of SHA-256(key) in upper-case hex, four groups of four joined by "-".
  static std::string fingerprint(ByteView publicKey);

  // Keeps only the ASCII digits; 9 of them become "123 456 789", 12 become "1234 5678 9012";
  // any other count returns `text` unchanged.
  static std::string normalizeHostID(std::string_view text);
  // Whether typed `text` is the current host ID of `publicKey` (the legacy 9-digit ID is not).
  static bool matchesHostID(std::string_view text, ByteView publicKey);
  // A saved host ID (legacy or current form) upgraded to the current form, when it belongs to
  // `pinnedKey` (32 bytes); nothing otherwise.
  static std::optional<std::string> migratedSavedHostID(std::string_view saved, ByteView pinnedKey);

  // Whether the account's key file carries the sealed marker (it is exactly 33 bytes).
  static bool isSealed(std::string_view account);
  // Makes the key file key ‖ 0x01 with mode 0600: the marker is appended when the file holds
  // exactly this identity's key, and a sealed file is created when there is none. Anything else
  // (another key, what cannot be read) is left as it is, as is every file for a temporary
  // identity. Errors are ignored.
  static void markSealed(std::string_view account, const DeviceIdentity& identity);
  static std::filesystem::path keyPath(std::string_view account);

 private:
  crypto::Ed25519PrivateKey signingKey_;
  bool temporary_ = false;
};

}  // namespace ombrel
