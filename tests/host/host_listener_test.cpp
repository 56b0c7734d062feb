#include "Ombrel_Remote_Host/controller/host_listener.h"

#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/controller/address_list.h"
#include "host/controller_fixture.h"
#include "support/loopback.h"

#include <asio/ip/v6_only.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ombrel {
namespace {

using test::ControllerFixture;

class HostListenerTest : public ControllerFixture {};

TEST_F(HostListenerTest, TakenPortIsRetriedFifteenTimesThenAnyFreePortIsAdvertised) {
  // Another program holds the port on every address.
  asio::ip::tcp::acceptor holder(clientContext);
  asio::ip::tcp::endpoint any(asio::ip::tcp::v6(), 0);
  holder.open(any.protocol());
  holder.set_option(asio::ip::v6_only(false));
  holder.bind(any);
  holder.listen();
  const std::uint16_t taken = holder.local_endpoint().port();

  startController(taken);
  for (int attempt = 0; attempt < HostController::listenerRetries; ++attempt) {
    ASSERT_TRUE(waitFor([&] {
      return controller->listenerAttempt() == attempt && controller->listenerRetryPending();
    })) << attempt;
    onMain([&] {
      EXPECT_TRUE(controller->listenerStatus().starts_with("監聽失敗："));
      EXPECT_EQ(controller->listenerPort(), 0);
    });
    clock->advance(HostController::listenerRetryDelay);
  }
  // The fifteenth retry fails as well; the host falls back to any free port at once.
  ASSERT_TRUE(waitForListener());
  const auto port = onMain([&] { return controller->listenerPort(); });
  EXPECT_NE(port, taken);
  EXPECT_EQ(onMain([&] { return controller->listenerStatus(); }),
            "等待連線（埠 " + std::to_string(port) + "）");
  EXPECT_EQ(advertiser->port(), port);
  EXPECT_EQ(advertiser->status().state, BonjourState::advertising);
  auto client = connectClient();
  EXPECT_TRUE(waitFor([&] { return factory->count() == 1; }));
}

TEST_F(HostListenerTest, ShowsWhyItFailed) {
  asio::ip::tcp::acceptor holder(clientContext, {asio::ip::tcp::v4(), 0});
  const std::uint16_t taken = holder.local_endpoint().port();
  startController(taken);
  ASSERT_TRUE(waitFor([&] { return controller->listenerRetryPending(); }));
  EXPECT_EQ(onMain([&] { return controller->listenerStatus(); }),
            "監聽失敗：" + std::make_error_code(std::errc::address_in_use).message());
  // The owner turns both switches off while a retry waits: nothing starts again.
  onMain([&] {
    controller->setCorvaneEnabled(false);
    controller->setRemoteEnabled(false);
  });
  clock->advance(HostController::listenerRetryDelay * 2);
  onMain([&] {
    EXPECT_EQ(controller->listenerStatus(), "Corvane 與 Remote 已關閉");
    EXPECT_FALSE(controller->listenerRetryPending());
  });
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct ExhaustionResult {
  std::uint16_t port = 0;
  double cpuShare = -1;  // of one core while accepting failed for want of descriptors
  bool acceptedAfterwards = false;
};

// Runs in a child of its own: lowers its descriptor limit, exhausts it, and reports over `out`.
[[noreturn]] void exhaustedListenerChild(int out) {
  ExhaustionResult result;
  {
    Runtime runtime;
    auto listener = HostListener::create(runtime, 0);
    std::atomic<std::uint16_t> port{0};
    std::atomic<bool> accepted{false};
    std::vector<asio::ip::tcp::socket> kept;
    listener->onReady = [&](std::uint16_t p) { port = p; };
    listener->onConnection = [&](asio::ip::tcp::socket socket, std::string) {
      kept.push_back(std::move(socket));
      accepted = true;
    };
    listener->start();
    for (int i = 0; i < 1000 && port == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    rlimit limit{64, 64};
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    result.port = port;
    (void)!write(out, &result, sizeof result);  // the parent connects now
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double start = cpuSeconds();
    auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    result.cpuShare = (cpuSeconds() - start) / wall;
    for (int fd : fillers) close(fd);
    for (int i = 0; i < 3000 && !accepted; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    result.acceptedAfterwards = accepted;
    listener->cancel();
  }
  (void)!write(out, &result, sizeof result);
  _exit(0);
}

TEST(HostListenerExhaustionTest, OutOfDescriptorsItPausesInsteadOfSpinningAndRecovers) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  // The address build carries UBSan, whose vptr check opens a pipe to probe memory: with every
  // descriptor taken it reports a false error. The thread build runs this test.
  GTEST_SKIP() << "UBSan's vptr check needs descriptors of its own";
#endif
#endif
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    exhaustedListenerChild(pipeFds[1]);
  }
  close(pipeFds[1]);
  ExhaustionResult ready;
  ASSERT_EQ(read(pipeFds[0], &ready, sizeof ready), static_cast<ssize_t>(sizeof ready));
  ASSERT_NE(ready.port, 0);
  // The kernel completes the handshake into the backlog; taking it needs a descriptor the
  // child no longer has.
  int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(ready.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ExhaustionResult done;
  ASSERT_EQ(read(pipeFds[0], &done, sizeof done), static_cast<ssize_t>(sizeof done));
  close(pipeFds[0]);
  close(client);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_GE(done.cpuShare, 0);
  EXPECT_LT(done.cpuShare, 0.3);
  EXPECT_TRUE(done.acceptedAfterwards);
}

TEST(HostListenerAddressTest, MappedIPv4PeersAreWrittenAsIPv4) {
  EXPECT_EQ(HostListener::addressText(asio::ip::make_address("::ffff:192.168.1.4")), "192.168.1.4");
  EXPECT_EQ(HostListener::addressText(asio::ip::make_address("2001:db8::1")), "2001:db8::1");
  EXPECT_EQ(HostListener::addressText(asio::ip::make_address("127.0.0.1")), "127.0.0.1");
}

TEST(AddressListTest, SelectsByInterfaceClass) {
  const std::vector<InterfaceAddress> walk = {
      {"eth0", "192.168.1.20", false},
      {"wlp2s0", "192.168.7.3", false},
      {"tailscale0", "100.101.1.2", false},
      {"wg0", "10.8.0.2", false},
      {"br-lan", "172.20.0.1", false},
      {"docker0", "172.17.0.1", false},
      {"virbr0", "192.168.122.1", false},
      {"eth0", "fe80::1%eth0", true},
      {"eth0", "fd00::5", true},
      {"eth0", "2001:db8::5", true},
      {"wg0", "2001:db8:1::1", true},
      {"enp3s0", "3001:db8::9", true},
  };
  const LocalAddresses local = selectAddresses(walk);
  EXPECT_EQ(local.ipv4, (std::vector<std::string>{"192.168.1.20", "192.168.7.3", "100.101.1.2",
                                                  "10.8.0.2", "172.20.0.1"}));
  EXPECT_EQ(local.ipv6, (std::vector<std::string>{"2001:db8::5", "3001:db8::9"}));
}

TEST(AddressListTest, AdvertisedListOrder) {
  LocalAddresses local{{"100.64.0.9", "192.168.1.20", "100.100.5.5", "10.0.0.3"},
                       {"2001:db8::1", "2001:db8::2", "2001:db8::3"}};
  EXPECT_EQ(advertisedAddresses(local, 47800, std::string("203.0.113.9:47800")),
            (std::vector<std::string>{"192.168.1.20:47800", "10.0.0.3:47800", "100.64.0.9:47800",
                                      "100.100.5.5:47800", "[2001:db8::1]:47800",
                                      "[2001:db8::2]:47800", "203.0.113.9:47800"}));
  EXPECT_TRUE(advertisedAddresses(local, 0, std::string("203.0.113.9:47800")).empty());
}

TEST(AddressListTest, SystemWalkSkipsLoopback) {
  auto walk = systemInterfaces();
  ASSERT_TRUE(walk);
  for (const auto& entry : *walk) {
    EXPECT_NE(entry.address, "127.0.0.1");
    EXPECT_NE(entry.address, "::1");
  }
}

}  // namespace
}  // namespace ombrel
