#include "OmbrelKit/byte_codec.h"

#include <gtest/gtest.h>

#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/nv_protocol.h"

namespace ombrel {
namespace {

TEST(ByteReaderTest, ReadsBigEndianAndNeverReturnsPartialValues) {
  const Bytes nine = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  ByteReader r(nine);
  EXPECT_EQ(r.u64(), 0x0001020304050607ull);
  EXPECT_EQ(r.remaining(), 1u);
  try {
    r.u16();
    FAIL() << "u16 over one byte must throw";
  } catch (const NVError& e) {
    EXPECT_EQ(e.kind(), NVError::Kind::truncated);
    EXPECT_EQ(e.errorDescription(), "資料不完整");
  }
  EXPECT_EQ(r.offset(), 8u);
  EXPECT_EQ(r.rest(), Bytes{8});
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_TRUE(r.rest().empty());
}

TEST(ByteReaderTest, BlockReads) {
  const Bytes data = {0x00, 0x03, 'a', 'b', 'c', 0x00, 0x05, 'x'};
  ByteReader r(data);
  EXPECT_TRUE(r.bytes(0).empty());
  EXPECT_EQ(r.offset(), 0u);
  EXPECT_THROW(r.bytes(-1), NVError);
  EXPECT_THROW(r.bytes(9), NVError);
  EXPECT_EQ(r.offset(), 0u);
  EXPECT_EQ(r.bytes16(), toBytes("abc"));
  // Only the block is short: the length field stays consumed.
  EXPECT_THROW(r.bytes16(), NVError);
  EXPECT_EQ(r.offset(), 7u);
  const Bytes shortLength = {0x00, 0x00, 0x01};
  ByteReader r32(shortLength);
  EXPECT_THROW(r32.bytes32(), NVError);
  EXPECT_EQ(r32.offset(), 0u);
}

TEST(ByteWriterTest, WritesBigEndianAndLengthPrefixes) {
  ByteWriter w;
  w.u8(0xAB);
  w.u16(0x0102);
  w.u32(0x03040506);
  w.u64(0x0708090A0B0C0D0Eull);
  w.bytes16({});
  w.bytes32(toBytes("hi"));
  EXPECT_EQ(hexString(w.data()), "ab0102030405060708090a0b0c0d0e0000000000026869");
  ByteWriter tooLong;
  Bytes big(65536);
  EXPECT_THROW(tooLong.bytes16(big), std::length_error);
  EXPECT_TRUE(tooLong.data().empty());
}

TEST(NVErrorTest, Texts) {
  EXPECT_EQ(NVError::invalid("frame length 0").errorDescription(), "frame length 0");
  EXPECT_EQ(NVError::handshake("主機簽章無效").errorDescription(), "安全握手失敗：主機簽章無效");
  EXPECT_EQ(NVError::closed().errorDescription(), "連線已關閉");
  EXPECT_STREQ(NVError::truncated().what(), "資料不完整");
  EXPECT_EQ(Frame::lengthErrorText(257), "frame length 257");
}

TEST(NVProtocolTest, RelaysFromSetting) {
  EXPECT_TRUE(NVProtocol::relays("  OFF  ").empty());
  EXPECT_TRUE(NVProtocol::relays("").empty());
  EXPECT_TRUE(NVProtocol::relays(" \n").empty());
  EXPECT_EQ(NVProtocol::relays("a.example, B.example;c.example"),
            (std::vector<std::string>{"a.example", "B.example", "c.example"}));
  EXPECT_EQ(NVProtocol::relays(",,x  y;"), (std::vector<std::string>{"x", "y"}));
}

TEST(NVProtocolTest, StunServersUsePort3478) {
  EXPECT_EQ(NVProtocol::stunServers("[2001:db8::1]:5000, relay.example, bad:port, host:47901"),
            (std::vector<std::string>{"stun:[2001:db8::1]:3478", "stun:relay.example:3478",
                                      "stun:host:3478"}));
  EXPECT_EQ(NVProtocol::stunServers("2001:db8::2"),
            (std::vector<std::string>{"stun:[2001:db8::2]:3478"}));
}

}  // namespace
}  // namespace ombrel
