#pragma once

#include <optional>
#include <string>

#include "OmbrelKit/crypto/x25519.h"
#include "OmbrelKit/device_identity.h"
#include "base/bytes.h"

namespace ombrel {

// The three-message authenticated key exchange that opens every connection, carried in plain
// frames before any sealed one:
//
//   ClientInit   client -> host   68 bytes  "NVS2" ‖ SHA-256(E_c) ‖ S_c
//   HostReply    host -> client  128 bytes  E_h ‖ S_h ‖ sign_S_h(h1)
//   ClientFinish client -> host   96 bytes  E_c ‖ sign_S_c(transcript)
//
//   h1         = SHA-256(ClientInit ‖ E_h ‖ S_h)
//   transcript = SHA-256(h1 ‖ hostSig ‖ E_c)
//
// E are fresh X25519 keys, S the devices' Ed25519 identity keys. The client commits to E_c
// before it sees E_h and reveals it only in the last message. Each direction's AES-256 key is
// HKDF-SHA-256(X25519(E), salt = transcript, info = "nerovalde c2s" / "nerovalde s2c").
//
// The exchange accepts any valid static key: the caller compares `peerPublicKey` with the key
// it expects (a trusted client, a pinned host) as soon as the connection is ready.
//
// Failures throw NVError::handshake with the user-facing reason, or NVError::crypto when a
// received value is not a usable X25519 public key. A handshake object serves one attempt and is
// used from one thread at a time; a step called out of order throws NVError::invalid.

// What a finished handshake yields.
struct HandshakeResult {
  Bytes sendKey;        // 32-byte AES-256-GCM key for this side's outgoing frames
  Bytes receiveKey;     // 32-byte key for the peer's frames
  Bytes transcript;     // 32 bytes, identical on both sides
  Bytes peerPublicKey;  // the peer's 32-byte Ed25519 identity key

  // The six-digit short authentication string both sides show for a first pairing, "012 345":
  // SHA-256("nerovalde-sas" ‖ transcript), first 4 bytes big-endian, modulo 1,000,000.
  static std::string sas(ByteView transcript);
  std::string sas() const { return sas(transcript); }
};

// The client's side. States: created -> initMade (makeInit) -> done (handleHostInit), or failed
// from any step that throws.
class ClientHandshake {
 public:
  // `ephemeralKey` (32 raw X25519 bytes) fixes the otherwise random ephemeral key, for
  // known-answer tests and benchmarks only: a reused ephemeral key repeats the session keys.
  explicit ClientHandshake(DeviceIdentity identity, std::optional<Bytes> ephemeralKey = {});

  // The ClientInit message (68 bytes); also kept as `initMessage`.
  Bytes makeInit();
  const Bytes& initMessage() const { return initMessage_; }

  struct Finish {
    Bytes finish;  // the ClientFinish message (96 bytes)
    HandshakeResult result;
  };
  Finish handleHostInit(ByteView reply);

 private:
  enum class State { created, initMade, done, failed };

  DeviceIdentity identity_;
  crypto::X25519PrivateKey ephemeral_;
  Bytes initMessage_;
  State state_ = State::created;
};

// The host's side. States: created -> replied (handleClientInit) -> done (handleClientFinish),
// or failed from any step that throws.
class HostHandshake {
 public:
  // `ephemeralKey`: as for ClientHandshake.
  explicit HostHandshake(DeviceIdentity identity, std::optional<Bytes> ephemeralKey = {});

  // Takes the ClientInit, returns the HostReply (128 bytes).
  Bytes handleClientInit(ByteView init);
  // Takes the ClientFinish, returns the result.
  HandshakeResult handleClientFinish(ByteView finish);

 private:
  enum class State { created, replied, done, failed };

  DeviceIdentity identity_;
  crypto::X25519PrivateKey ephemeral_;
  Bytes commit_;        // SHA-256 of the client's ephemeral key, from ClientInit
  Bytes clientStatic_;  // the client's Ed25519 identity key, from ClientInit
  Bytes h1_;
  Bytes hostSig_;
  State state_ = State::created;
};

}  // namespace ombrel
