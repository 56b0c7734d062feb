// Wake-on-LAN: parsing, the packet, and real sends between two network namespaces the test
// creates (never on a real interface).
#include "Ombrel_Remote_Host/power/wake_on_lan.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ombrel {
namespace {

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

// Runs a program and tells whether it exited with 0.
bool run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two namespaces joined by a veth pair: the sender's side 10.250.0.1/24 (broadcast
// 10.250.0.255) with its default route on the link, the receiver's 10.250.0.2/24.
class WakeNamespaces {
 public:
  WakeNamespaces() {
    const std::string id = std::to_string(getpid());
    sender = "ombrel-wol-s-" + id;
    receiver = "ombrel-wol-r-" + id;
    const std::string a = "owa" + id, b = "owb" + id;
    ok_ = run({"ip", "netns", "add", sender}) && run({"ip", "netns", "add", receiver}) &&
          run({"ip", "-n", sender, "link", "add", a, "type", "veth", "peer", "name", b, "netns",
               receiver}) &&
          run({"ip", "-n", sender, "addr", "add", "10.250.0.1/24", "brd", "+", "dev", a}) &&
          run({"ip", "-n", receiver, "addr", "add", "10.250.0.2/24", "brd", "+", "dev", b}) &&
          run({"ip", "-n", sender, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", receiver, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", sender, "link", "set", a, "up"}) &&
          run({"ip", "-n", receiver, "link", "set", b, "up"}) &&
          run({"ip", "-n", sender, "route", "add", "default", "dev", a});
  }
  ~WakeNamespaces() {
    run({"ip", "netns", "del", sender});
    run({"ip", "netns", "del", receiver});
  }
  bool ok() const { return ok_; }

  std::string sender, receiver;

 private:
  bool ok_ = false;
};

// A forked child inside a namespace. Its body gets a descriptor to signal readiness on
// and returns a trivially copyable result, which comes back through a pipe.
struct NamespaceChild {
  pid_t pid = -1;
  int resultFd = -1;
  int readyFd = -1;
};

template <typename Body>
NamespaceChild startIn(const std::string& ns, Body body) {
  int out[2], ready[2];
  if (pipe(out) != 0) return {};
  if (pipe(ready) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    close(ready[0]);
    const int nsFd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    // Never run the body in the test's own namespace: it may broadcast.
    if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) _exit(1);
    const auto result = body(ready[1]);
    if (write(out[1], &result, sizeof result) != sizeof result) _exit(1);
    _exit(0);
  }
  close(out[1]);
  close(ready[1]);
  return {pid, out[0], ready[0]};
}

// Waits until the child signalled readiness (or ended).
bool waitReady(const NamespaceChild& child) {
  pollfd p{.fd = child.readyFd, .events = POLLIN};
  char byte;
  return poll(&p, 1, 5000) > 0 && read(child.readyFd, &byte, 1) == 1;
}

template <typename Result>
std::optional<Result> finish(const NamespaceChild& child) {
  if (child.pid < 0) return std::nullopt;
  Result result{};
  const bool got = read(child.resultFd, &result, sizeof result) == sizeof result;
  close(child.resultFd);
  close(child.readyFd);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

template <typename Result, typename Body>
std::optional<Result> runIn(const std::string& ns, Body body) {
  return finish<Result>(startIn(ns, body));
}

struct Received {
  int port9 = 0;
  int port7 = 0;
  int toLimitedBroadcast = 0;  // sent to 255.255.255.255
};

// Counts the magic packets equal to `expected` on UDP ports 9 and 7 until half a second
// passes without one.
Received countMagicPackets(int readyFd, const Bytes& expected) {
  Received r;
  int sockets[2];
  const uint16_t ports[2] = {9, 7};
  for (int i = 0; i < 2; ++i) {
    sockets[i] = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(sockets[i], IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(ports[i]);
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sockets[i], reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return {-1, -1, -1};
  }
  if (write(readyFd, "r", 1) != 1) return {-1, -1, -1};
  pollfd p[2] = {{.fd = sockets[0], .events = POLLIN}, {.fd = sockets[1], .events = POLLIN}};
  while (poll(p, 2, 500) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      uint8_t buffer[512];
      alignas(cmsghdr) char control[256];
      iovec io{.iov_base = buffer, .iov_len = sizeof buffer};
      msghdr m{};
      m.msg_iov = &io;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(sockets[i], &m, 0);
      if (n != static_cast<ssize_t>(expected.size()) ||
          !std::equal(expected.begin(), expected.end(), buffer)) {
        continue;
      }
      (i == 0 ? r.port9 : r.port7)++;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          const auto* info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
          if (info->ipi_addr.s_addr == htonl(INADDR_BROADCAST)) r.toLimitedBroadcast++;
        }
      }
    }
  }
  return r;
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

TEST_F(WakeOnLANSendTest, NoValidAddressSendsNothing) {
  for (const std::vector<std::string>& macs :
       {std::vector<std::string>{}, std::vector<std::string>{"aa:bb:cc:dd:ee", "zz"}}) {
    EXPECT_EQ(runIn<int>(namespaces->sender, [&](int) { return HostWake::wake(macs); }), 0);
  }
}

}  // namespace
}  // namespace ombrel
