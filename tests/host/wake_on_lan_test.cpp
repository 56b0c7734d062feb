// Wake-on-LAN: parsing, the packet, and real sends between two network namespaces the test
// creates (never on a real interface).
#include "Ombrel_Remote_Host/power/wake_on_lan.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "host/wake_namespaces.h"

namespace ombrel {
namespace {

using test::countMagicPackets;
using test::finish;
using test::NamespaceChild;
using test::Received;
using test::runIn;
using test::startIn;
using test::waitReady;
using test::WakeNamespaces;

using MAC = std::array<uint8_t, 6>;

TEST(WakeOnLANTest, ParseMACAcceptsColonsAndDashesAndNothingElse) {
  const MAC abc = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const std::pair<const char*, std::optional<MAC>> cases[] = {
      {"AA-BB-CC-DD-EE-FF", abc},
      {"aa:bb:cc:dd:ee:ff", abc},
      {"aa:bb-cc:dd-ee:ff", abc},
      {"::aa:bb:cc::dd:ee:ff:", abc},  // empty parts are dropped
      {"0:1:2:a:b:00ff", MAC{0, 1, 2, 0x0A, 0x0B, 0xFF}},
      {"aa:bb:cc:dd:ee", std::nullopt},
      {"aa:bb:cc:dd:ee:gg", std::nullopt},
      {"aa:bb:cc:dd:ee:ff:00", std::nullopt},
      {"aa:bb:cc:dd:ee:100", std::nullopt},
      {"aa:bb:cc:dd:ee: ff", std::nullopt},
      {"aa:bb:cc:dd:ee:+f", std::nullopt},
      {"aabbccddeeff", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(WakeOnLAN::parseMAC(text), expected) << '"' << text << '"';
  }
}

TEST(WakeOnLANTest, MagicPacketIsSixFFsThenTheAddressSixteenTimes) {
  const MAC mac = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
  const Bytes packet = WakeOnLAN::magicPacket(mac);
  ASSERT_EQ(packet.size(), 102u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(packet[i], 0xFF);
  for (int r = 0; r < 16; ++r) {
    for (int i = 0; i < 6; ++i) EXPECT_EQ(packet[6 + r * 6 + i], mac[i]) << r;
  }
}

TEST(WakeOnLANTest, LogLineNamesTheAddressesAndTheCount) {
  EXPECT_EQ(HostWake::logLine({"aa:bb:cc:dd:ee:ff", "x\n\"y"}, 4),
            "Ombrel Remote: wake-on-LAN for [\"aa:bb:cc:dd:ee:ff\", \"x??y\"] sent 4 packets");
  EXPECT_EQ(HostWake::logLine({}, 0), "Ombrel Remote: wake-on-LAN for [] sent 0 packets");
  const std::string many = HostWake::logLine(std::vector<std::string>(40, "a"), 0);
  EXPECT_NE(many.find("... 8 more]"), std::string::npos);
}

class WakeOnLANSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    namespaces.emplace();
    if (!namespaces->ok()) GTEST_SKIP() << "could not create network namespaces with ip netns";
  }

  std::optional<WakeNamespaces> namespaces;
};

TEST_F(WakeOnLANSendTest, OneAddressAndOneBroadcastInterfaceMakeFourPackets) {
  const auto broadcasts = runIn<std::array<uint32_t, 4>>(namespaces->sender, [](int) {
    std::array<uint32_t, 4> out{};
    const auto list = HostWake::broadcastAddresses();
    for (std::size_t i = 0; i < list.size() && i < out.size(); ++i) out[i] = list[i];
    return out;
  });
  ASSERT_TRUE(broadcasts);
  EXPECT_EQ(*broadcasts,
            (std::array<uint32_t, 4>{htonl(INADDR_BROADCAST), inet_addr("10.250.0.255"), 0, 0}));

  const std::string mac = "aa:bb:cc:dd:ee:ff";
  const Bytes packet = WakeOnLAN::magicPacket(*WakeOnLAN::parseMAC(mac));
  const NamespaceChild listener = startIn(
      namespaces->receiver, [&](int readyFd) { return countMagicPackets(readyFd, packet); });
  ASSERT_TRUE(waitReady(listener));
  const std::vector<std::string> macs = {"not a mac", mac};
  const auto sent = runIn<int>(namespaces->sender, [&](int) { return HostWake::wake(macs); });
  const auto received = finish<Received>(listener);
  EXPECT_EQ(sent, 4);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->port9, 2);
  EXPECT_EQ(received->port7, 2);
  EXPECT_EQ(received->toLimitedBroadcast, 2);
}

TEST_F(WakeOnLANSendTest, AHugeRequestIsServedForItsFirstAddressesOnly) {
  const std::string mac = "aa:bb:cc:dd:ee:ff";
  const Bytes packet = WakeOnLAN::magicPacket(*WakeOnLAN::parseMAC(mac));
  const NamespaceChild listener = startIn(
      namespaces->receiver, [&](int readyFd) { return countMagicPackets(readyFd, packet); });
  ASSERT_TRUE(waitReady(listener));
  const std::vector<std::string> macs(10000, mac);
  const auto sent = runIn<int>(namespaces->sender, [&](int) { return HostWake::wake(macs); });
  const auto received = finish<Received>(listener);
  // Two broadcast addresses, two ports each, for the first 32 addresses.
  EXPECT_EQ(sent, static_cast<int>(HostWake::maxAddresses) * 4);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->port9, static_cast<int>(HostWake::maxAddresses) * 2);
  EXPECT_EQ(received->port7, static_cast<int>(HostWake::maxAddresses) * 2);
}

TEST_F(WakeOnLANSendTest, NoValidAddressSendsNothing) {
  for (const std::vector<std::string>& macs :
       {std::vector<std::string>{}, std::vector<std::string>{"aa:bb:cc:dd:ee", "zz"}}) {
    EXPECT_EQ(runIn<int>(namespaces->sender, [&](int) { return HostWake::wake(macs); }), 0);
  }
}

}  // namespace
}  // namespace ombrel
