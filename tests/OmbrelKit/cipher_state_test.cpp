#include "OmbrelKit/cipher_state.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "OmbrelKit/crypto/aes_gcm.h"
#include "OmbrelKit/nv_error.h"

namespace ombrel {
namespace {

const Bytes kKey = fromHex("32be042e4f805811d1b03aaec26a88e2afcd875e1653064123b6f7be05b41117");

NVError::Kind errorKind(const std::function<void()>& step) {
  try {
    step();
  } catch (const NVError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "no error";
  return NVError::Kind::system;
}

TEST(CipherStateTest, NonceIsFourZeroBytesThenTheBigEndianCounter) {
  EXPECT_EQ(hexString(CipherState::nonce(0x0102030405060708ull)), "000000000102030405060708");
  // Each seal equals a direct AES-GCM computation under the nonce of its position.
  const std::uint64_t start = 0x00000000FFFFFFFEull;  // crosses a 32-bit boundary
  CipherState state(kKey, start);
  crypto::AESGCMKey direct(kKey);
  const Bytes plaintext = toBytes("frame payload");
  for (std::uint64_t counter = start; counter < start + 3; ++counter) {
    EXPECT_EQ(state.seal(plaintext), direct.seal(CipherState::nonce(counter), plaintext));
  }
  EXPECT_EQ(state.counter(), start + 3);
}

TEST(CipherStateTest, SenderAndReceiverStayInStep) {
  CipherState sender(kKey);
  CipherState receiver(kKey);
  Bytes frame = {0, 0, 0, 0};  // room for a header the connection writes itself
  sender.sealInto(toBytes("one"), frame);
  EXPECT_EQ(frame.size(), 4u + 3u + CipherState::tagSize);
  EXPECT_EQ(receiver.open(ByteView(frame).subspan(4)), toBytes("one"));
  EXPECT_EQ(receiver.open(sender.seal({})), Bytes{});  // an empty message is 16 bytes
  EXPECT_EQ(receiver.open(sender.seal(toBytes("three"))), toBytes("three"));
  EXPECT_EQ(sender.counter(), 3u);
  EXPECT_EQ(receiver.counter(), 3u);

  // A lost message puts the receiver's next nonce out of step with the following one.
  sender.seal(toBytes("four"));
  const Bytes fifth = sender.seal(toBytes("five"));
  EXPECT_EQ(errorKind([&] { receiver.open(fifth); }), NVError::Kind::crypto);
}

// A message is sealed from its type code and body where they lie and opened in the buffer it
// arrived in; both must match sealing and opening the joined plaintext.
TEST(CipherStateTest, TypedMessagesSealFromTwoPartsAndOpenInPlace) {
  for (std::size_t bodySize : {0u, 1u, 15u, 16u, 17u, 4096u}) {
    SCOPED_TRACE(bodySize);
    Bytes body(bodySize);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
    CipherState parts(kKey), joined(kKey), receiver(kKey);
    Bytes frame = {1, 2, 3, 4};
    const std::uint8_t code = 0x42;
    parts.sealInto(ByteView(&code, 1), body, frame);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.end()), joined.seal(concat(Bytes{code}, body)));

    Bytes message(frame.begin() + 4, frame.end());
    EXPECT_EQ(receiver.openInPlace(message), code);
    EXPECT_EQ(message, body);
  }

  CipherState sender(kKey), receiver(kKey);
  Bytes empty = sender.seal({});
  EXPECT_EQ(receiver.openInPlace(empty), std::nullopt);
  EXPECT_TRUE(empty.empty());
  Bytes tampered = sender.seal(toBytes("xpayload"));
  tampered[3] ^= 0x01;
  EXPECT_EQ(errorKind([&] { receiver.openInPlace(tampered); }), NVError::Kind::crypto);
  Bytes shorter(15, 0);
  EXPECT_EQ(errorKind([&] { receiver.openInPlace(shorter); }), NVError::Kind::truncated);
  EXPECT_EQ(receiver.counter(), 2u);
}

TEST(CipherStateTest, ShortAndTamperedInputIsRefused) {
  CipherState sender(kKey);
  CipherState receiver(kKey);
  EXPECT_EQ(errorKind([&] { receiver.open(Bytes(15, 0)); }), NVError::Kind::truncated);
  EXPECT_EQ(receiver.counter(), 0u);  // a truncated frame used no nonce

  Bytes sealed = sender.seal(toBytes("payload"));
  sealed[2] ^= 0x20;
  EXPECT_EQ(errorKind([&] { receiver.open(sealed); }), NVError::Kind::crypto);
  EXPECT_THROW(CipherState(Bytes(16, 0)), NVError);
}

TEST(CipherStateTest, RefusesOnceTheCounterWouldWrap) {
  constexpr std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  CipherState sender(kKey, last - 1);
  CipherState receiver(kKey, last - 1);
  EXPECT_EQ(receiver.open(sender.seal(toBytes("a"))), toBytes("a"));
  // The very last nonce still works once...
  EXPECT_EQ(receiver.open(sender.seal(toBytes("b"))), toBytes("b"));
  EXPECT_TRUE(sender.exhausted());
  // ...and nothing after it: counter 0 would repeat the first nonce of the key.
  Bytes out = {9, 9};
  EXPECT_EQ(errorKind([&] { sender.sealInto(toBytes("c"), out); }), NVError::Kind::invalid);
  EXPECT_EQ(out, (Bytes{9, 9}));
  EXPECT_EQ(errorKind([&] { sender.seal(toBytes("c")); }), NVError::Kind::invalid);
  EXPECT_EQ(errorKind([&] { receiver.open(Bytes(20, 0)); }), NVError::Kind::invalid);
}

}  // namespace
}  // namespace ombrel
