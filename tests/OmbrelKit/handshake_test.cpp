#include "OmbrelKit/handshake.h"

#include <gtest/gtest.h>

#include <functional>

#include "OmbrelKit/crypto/digest.h"
#include "OmbrelKit/nv_error.h"

namespace ombrel {
namespace {

// Fixed keys and the messages, transcript and keys they must give, computed independently of
// this code base.
Bytes seedFrom(std::uint8_t first) {
  Bytes seed(32);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
  return seed;
}
const Bytes kClientEphemeral(32, 0x11);
const Bytes kHostEphemeral(32, 0x22);
const char* kInit =
    "4e565332d19bf3f082782c87b783fe7134698aeff6e66d9f86afaf7cf9e9b8bf40bab3ff79b5562e8fe654f94078b1"
    "12e8a98ba7901f853ae695bed7e0e3910bad049664";
const char* kReply =
    "0faa684ed28867b97f4a6a2dee5df8ce974e76b7018e3f22a1c4cf2678570f20e7f162a10bec559afea195e4dce84b"
    "69568d5d2cb0963eb446c0685e2b17f2f08c77ed315b4ea50756cd5976391e77d3747806aa6ec550f45adb1d9e1942"
    "05a92a08b988a8ad622b22ac5045496809b8637f371c34b545bb77cb427af2dcbd0e";
const char* kFinish =
    "7b4e909bbe7ffe44c465a220037d608ee35897d31ef972f07f74892cb0f73f1361bf160789097f34be1350442b0fb0"
    "eb8e28d1800f723ef0658adf7442dd7d9be865771a9cc84f7c8e8f9e87faa71b69c06a8d18b658e2eb84411f59ae55"
    "4903";
const char* kTranscript = "4f4f5cc0e5e02978f382b1bf7fc9e98e55c76d6d62a52fa3cc64ba38632baa0a";
const char* kC2S = "32be042e4f805811d1b03aaec26a88e2afcd875e1653064123b6f7be05b41117";
const char* kS2C = "9e37e9cf961a245a2fc1ffda24dd7f69c583555bf7f70398e05dc019dcf5f2b9";

void expectError(const std::function<void()>& step, NVError::Kind kind, std::string_view text) {
  try {
    step();
    ADD_FAILURE() << "no error, expected " << text;
  } catch (const NVError& error) {
    EXPECT_EQ(error.kind(), kind) << error.what();
    if (!text.empty()) {
      EXPECT_EQ(error.payload(), text);
    }
  }
}
void expectHandshakeError(const std::function<void()>& step, std::string_view text) {
  expectError(step, NVError::Kind::handshake, text);
}

class HandshakeTest : public ::testing::Test {
 protected:
  DeviceIdentity clientIdentity{seedFrom(1)};
  DeviceIdentity hostIdentity{seedFrom(33)};
  ClientHandshake client{clientIdentity, kClientEphemeral};
  HostHandshake host{hostIdentity, kHostEphemeral};

  // Runs the first two messages and returns the host's reply.
  Bytes replyToInit() { return host.handleClientInit(client.makeInit()); }
};

TEST_F(HandshakeTest, FixedKeysGiveTheKnownMessagesKeysAndSas) {
  const Bytes init = client.makeInit();
  EXPECT_EQ(hexString(init), kInit);
  EXPECT_EQ(client.initMessage(), init);
  const Bytes reply = host.handleClientInit(init);
  EXPECT_EQ(hexString(reply), kReply);
  const ClientHandshake::Finish finish = client.handleHostInit(reply);
  EXPECT_EQ(hexString(finish.finish), kFinish);
  const HandshakeResult hostResult = host.handleClientFinish(finish.finish);

  const HandshakeResult& clientResult = finish.result;
  EXPECT_EQ(hexString(clientResult.transcript), kTranscript);
  EXPECT_EQ(hostResult.transcript, clientResult.transcript);
  EXPECT_EQ(hexString(clientResult.sendKey), kC2S);
  EXPECT_EQ(hexString(clientResult.receiveKey), kS2C);
  EXPECT_EQ(hostResult.sendKey, clientResult.receiveKey);
  EXPECT_EQ(hostResult.receiveKey, clientResult.sendKey);
  EXPECT_EQ(clientResult.peerPublicKey, hostIdentity.publicKey());
  EXPECT_EQ(hostResult.peerPublicKey, clientIdentity.publicKey());
  EXPECT_EQ(clientResult.sas(), "014 115");
  EXPECT_EQ(hostResult.sas(), "014 115");
}

TEST_F(HandshakeTest, RandomEphemeralKeysAgreeAndDifferPerAttempt) {
  auto run = [&] {
    ClientHandshake c(clientIdentity);
    HostHandshake h(hostIdentity);
    ClientHandshake::Finish finish = c.handleHostInit(h.handleClientInit(c.makeInit()));
    HandshakeResult hostResult = h.handleClientFinish(finish.finish);
    EXPECT_EQ(hostResult.transcript, finish.result.transcript);
    EXPECT_EQ(hostResult.receiveKey, finish.result.sendKey);
    EXPECT_EQ(hostResult.sendKey, finish.result.receiveKey);
    EXPECT_NE(hostResult.sendKey, hostResult.receiveKey);
    return hostResult;
  };
  EXPECT_NE(run().sendKey, run().sendKey);
}

TEST(HandshakeSasTest, KeepsLeadingZeros) {
  EXPECT_EQ(HandshakeResult::sas(
                fromHex("c430000000000000000000000000000000000000000000000000000000000000")),
            "000 038");
  EXPECT_EQ(HandshakeResult::sas(Bytes(32, 0)), "045 780");
}

TEST_F(HandshakeTest, HostRefusesIncompatibleClientInit) {
  const Bytes init = client.makeInit();
  Bytes wrongMagic = init;
  wrongMagic[3] = '1';
  const Bytes candidates[] = {
      Bytes(init.begin(), init.end() - 1),  // 67 bytes
      concat(init, Bytes{0}),               // 69 bytes
      wrongMagic,
      Bytes{},
  };
  for (const Bytes& candidate : candidates) {
    HostHandshake fresh(hostIdentity);
    expectHandshakeError([&] { fresh.handleClientInit(candidate); },
                         "不是相容的 Ombrel Remote 用戶端，請更新 App");
  }
  try {
    host.handleClientInit(wrongMagic);
  } catch (const NVError& error) {
    EXPECT_EQ(error.errorDescription(),
              "安全握手失敗：不是相容的 Ombrel Remote 用戶端，請更新 App");
  }
}

TEST_F(HandshakeTest, HostRefusesAFinishOfTheWrongLength) {
  replyToInit();
  const Bytes finish = fromHex(kFinish);
  for (std::size_t size : {std::size_t{95}, std::size_t{97}, std::size_t{0}}) {
    Bytes candidate = finish;
    candidate.resize(size);
    HostHandshake fresh(hostIdentity, kHostEphemeral);
    fresh.handleClientInit(fromHex(kInit));
    expectHandshakeError([&] { fresh.handleClientFinish(candidate); }, "用戶端回應長度錯誤");
  }
}

TEST_F(HandshakeTest, CommitmentIsCheckedBeforeTheSignature) {
  replyToInit();
  Bytes finish = fromHex(kFinish);
  finish[31] ^= 0x01;  // one bit of the revealed ephemeral key
  finish[95] ^= 0xFF;  // and a broken signature, which must not be what is reported
  expectHandshakeError([&] { host.handleClientFinish(finish); }, "用戶端金鑰承諾不符");
}

TEST_F(HandshakeTest, HostRefusesABadClientSignature) {
  const Bytes reply = replyToInit();
  Bytes finish = client.handleHostInit(reply).finish;
  finish[40] ^= 0x04;
  expectHandshakeError([&] { host.handleClientFinish(finish); }, "用戶端簽章無效");

  // A finish signed by another key than the one announced in ClientInit.
  HostHandshake second(hostIdentity, kHostEphemeral);
  second.handleClientInit(fromHex(kInit));
  const DeviceIdentity intruder = DeviceIdentity::generate();
  const Bytes transcript = fromHex(kTranscript);
  const Bytes knownFinish = fromHex(kFinish);
  const Bytes forged = concat(ByteView(knownFinish).first(32), intruder.sign(transcript));
  expectHandshakeError([&] { second.handleClientFinish(forged); }, "用戶端簽章無效");
}

TEST_F(HandshakeTest, ClientRefusesBadHostReplies) {
  const Bytes reply = replyToInit();
  for (std::size_t size : {std::size_t{127}, std::size_t{129}, std::size_t{0}}) {
    Bytes candidate = reply;
    candidate.resize(size);
    ClientHandshake fresh(clientIdentity, kClientEphemeral);
    fresh.makeInit();
    expectHandshakeError([&] { fresh.handleHostInit(candidate); }, "主機回應長度錯誤");
  }
  // One byte of the signature, of the ephemeral key it covers, or a different static key.
  for (std::size_t at : {std::size_t{64}, std::size_t{127}, std::size_t{0}, std::size_t{40}}) {
    Bytes tampered = reply;
    tampered[at] ^= 0x01;
    ClientHandshake fresh(clientIdentity, kClientEphemeral);
    fresh.makeInit();
    expectHandshakeError([&] { fresh.handleHostInit(tampered); }, "主機簽章無效");
  }
}

// X25519 takes nearly any 32 bytes as a public key; the all-zero (low-order) point is the one
// that must fail, because it forces an all-zero shared secret whatever the other side's key.
TEST_F(HandshakeTest, LowOrderEphemeralKeysAreCryptoErrorsOnBothSides) {
  const Bytes zero(32, 0);
  // Host side: a correctly committed and signed finish revealing the zero point.
  const Bytes init = concat(view("NVS2"), crypto::sha256(zero), clientIdentity.publicKey());
  const Bytes reply = host.handleClientInit(init);
  const Bytes h1 = crypto::sha256({init, ByteView(reply).first(64)});
  const Bytes transcript = crypto::sha256({h1, ByteView(reply).subspan(64), zero});
  expectError([&] { host.handleClientFinish(concat(zero, clientIdentity.sign(transcript))); },
              NVError::Kind::crypto, "");

  // Client side: a correctly signed reply whose ephemeral key is the zero point.
  const Bytes clientInit = client.makeInit();
  const Bytes forgedH1 = crypto::sha256({clientInit, zero, hostIdentity.publicKey()});
  const Bytes forgedReply = concat(zero, hostIdentity.publicKey(), hostIdentity.sign(forgedH1));
  expectError([&] { client.handleHostInit(forgedReply); }, NVError::Kind::crypto, "");
}

TEST_F(HandshakeTest, StepsOutOfOrderAreRefused) {
  expectError([&] { client.handleHostInit(fromHex(kReply)); }, NVError::Kind::invalid, "");
  expectError([&] { host.handleClientFinish(fromHex(kFinish)); }, NVError::Kind::invalid, "");
  const Bytes reply = replyToInit();
  expectError([&] { host.handleClientInit(fromHex(kInit)); }, NVError::Kind::invalid, "");
  const Bytes finish = client.handleHostInit(reply).finish;
  host.handleClientFinish(finish);
  expectError([&] { host.handleClientFinish(finish); }, NVError::Kind::invalid, "");
  expectError([&] { client.handleHostInit(reply); }, NVError::Kind::invalid, "");

  // A failed step ends the attempt: a correct message afterwards is not accepted either.
  HostHandshake failed(hostIdentity, kHostEphemeral);
  failed.handleClientInit(fromHex(kInit));
  expectHandshakeError([&] { failed.handleClientFinish(Bytes(10, 0)); }, "用戶端回應長度錯誤");
  expectError([&] { failed.handleClientFinish(fromHex(kFinish)); }, NVError::Kind::invalid, "");
}

}  // namespace
}  // namespace ombrel
