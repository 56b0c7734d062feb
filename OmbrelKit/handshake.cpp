#include "OmbrelKit/handshake.h"

#include <algorithm>
#include <cstdio>

#include "OmbrelKit/crypto/digest.h"
#include "OmbrelKit/crypto/ed25519.h"
#include "OmbrelKit/crypto/secure_memory.h"
#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/nv_protocol.h"

namespace ombrel {

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSignatureSize = crypto::ed25519SignatureSize;
constexpr std::size_t kInitSize = 4 + kKeySize + kKeySize;                // 68
constexpr std::size_t kReplySize = kKeySize + kKeySize + kSignatureSize;  // 128
constexpr std::size_t kFinishSize = kKeySize + kSignatureSize;            // 96

constexpr std::string_view kIncompatibleClient = "不是相容的 Ombrel Remote 用戶端，請更新 App";
constexpr std::string_view kClientReplyLength = "用戶端回應長度錯誤";
constexpr std::string_view kCommitmentMismatch = "用戶端金鑰承諾不符";
constexpr std::string_view kClientSignatureInvalid = "用戶端簽章無效";
constexpr std::string_view kHostReplyLength = "主機回應長度錯誤";
constexpr std::string_view kHostSignatureInvalid = "主機簽章無效";

[[noreturn]] void fail(std::string_view reason) { throw NVError::handshake(std::string(reason)); }

[[noreturn]] void outOfOrder(const char* step) {
  throw NVError::invalid(std::string("handshake step called out of order: ") + step);
}

crypto::X25519PrivateKey ephemeralKey(const std::optional<Bytes>& fixed) {
  return fixed ? crypto::X25519PrivateKey(*fixed) : crypto::X25519PrivateKey::generate();
}

Bytes bytesOf(ByteView view) { return Bytes(view.begin(), view.end()); }

void deriveKeys(Bytes shared, ByteView transcript, bool isClient, HandshakeResult& result) {
  Bytes c2s = crypto::hkdfSHA256(shared, transcript, view("nerovalde c2s"), 32);
  Bytes s2c = crypto::hkdfSHA256(shared, transcript, view("nerovalde s2c"), 32);
  crypto::wipe(shared);
  result.sendKey = std::move(isClient ? c2s : s2c);
  result.receiveKey = std::move(isClient ? s2c : c2s);
}

}  // namespace

std::string HandshakeResult::sas(ByteView transcript) {
  const Bytes digest = crypto::sha256({view("nerovalde-sas"), transcript});
  const std::uint32_t value = (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
                              (std::uint32_t{digest[2]} << 8) | std::uint32_t{digest[3]};
  const std::uint32_t code = value % 1'000'000;
  char text[8];
  std::snprintf(text, sizeof text, "%03u %03u", code / 1000, code % 1000);
  return text;
}

ClientHandshake::ClientHandshake(DeviceIdentity identity, std::optional<Bytes> ephemeralKeyBytes)
    : identity_(std::move(identity)), ephemeral_(ephemeralKey(ephemeralKeyBytes)) {
  if (ephemeralKeyBytes) crypto::wipe(*ephemeralKeyBytes);
}

Bytes ClientHandshake::makeInit() {
  if (state_ != State::created) outOfOrder("makeInit");
  initMessage_ = concat(NVProtocol::handshakeMagic, crypto::sha256(ephemeral_.publicKey()),
                        identity_.publicKey());
  state_ = State::initMade;
  return initMessage_;
}

ClientHandshake::Finish ClientHandshake::handleHostInit(ByteView reply) {
  if (state_ != State::initMade) outOfOrder("handleHostInit");
  state_ = State::failed;
  if (reply.size() != kReplySize) fail(kHostReplyLength);
  const ByteView hostEphemeral = reply.subspan(0, kKeySize);
  const ByteView hostStatic = reply.subspan(kKeySize, kKeySize);
  const ByteView hostSig = reply.subspan(2 * kKeySize, kSignatureSize);

  const Bytes h1 = crypto::sha256({initMessage_, hostEphemeral, hostStatic});
  if (!crypto::ed25519Verify(hostStatic, h1, hostSig)) fail(kHostSignatureInvalid);
  Finish out;
  out.result.transcript = crypto::sha256({h1, hostSig, ephemeral_.publicKey()});
  out.finish = concat(ephemeral_.publicKey(), identity_.sign(out.result.transcript));
  deriveKeys(ephemeral_.sharedSecret(hostEphemeral), out.result.transcript, true, out.result);
  out.result.peerPublicKey = bytesOf(hostStatic);
  state_ = State::done;
  return out;
}

HostHandshake::HostHandshake(DeviceIdentity identity, std::optional<Bytes> ephemeralKeyBytes)
    : identity_(std::move(identity)), ephemeral_(ephemeralKey(ephemeralKeyBytes)) {
  if (ephemeralKeyBytes) crypto::wipe(*ephemeralKeyBytes);
}

Bytes HostHandshake::handleClientInit(ByteView init) {
  if (state_ != State::created) outOfOrder("handleClientInit");
  state_ = State::failed;
  const std::string_view magic = NVProtocol::handshakeMagic;
  if (init.size() != kInitSize || !std::equal(magic.begin(), magic.end(), init.begin())) {
    fail(kIncompatibleClient);
  }
  commit_ = bytesOf(init.subspan(4, kKeySize));
  clientStatic_ = bytesOf(init.subspan(4 + kKeySize, kKeySize));
  h1_ = crypto::sha256({init, ephemeral_.publicKey(), identity_.publicKey()});
  hostSig_ = identity_.sign(h1_);
  state_ = State::replied;
  return concat(ephemeral_.publicKey(), identity_.publicKey(), hostSig_);
}

HandshakeResult HostHandshake::handleClientFinish(ByteView finish) {
  if (state_ != State::replied) outOfOrder("handleClientFinish");
  state_ = State::failed;
  if (finish.size() != kFinishSize) fail(kClientReplyLength);
  const ByteView clientEphemeral = finish.subspan(0, kKeySize);
  const ByteView clientSig = finish.subspan(kKeySize, kSignatureSize);

  // The commitment is checked first: a client that changed its ephemeral key after seeing the
  // host's is refused without spending a signature verification on it.
  if (crypto::sha256(clientEphemeral) != commit_) fail(kCommitmentMismatch);
  HandshakeResult result;
  result.transcript = crypto::sha256({h1_, hostSig_, clientEphemeral});
  if (!crypto::ed25519Verify(clientStatic_, result.transcript, clientSig)) {
    fail(kClientSignatureInvalid);
  }
  deriveKeys(ephemeral_.sharedSecret(clientEphemeral), result.transcript, false, result);
  result.peerPublicKey = clientStatic_;
  state_ = State::done;
  return result;
}

}  // namespace ombrel
