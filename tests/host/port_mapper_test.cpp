// The port mapper against the real miniupnpd in a RouterLab (router_lab.h). The mapper runs in
// this process: the test thread moves into the LAN namespace before it builds the mapper, so
// the mapper's thread starts there too.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Ombrel_Remote_Host/reachability/port_mapper.h"
#include "Ombrel_Remote_Host/reachability/port_mapper_service.h"
#include "Ombrel_Remote_Host/reachability/router_sockets.h"
#include "base/clock.h"
#include "base/log.h"
#include "tests/host/router_lab.h"

namespace ombrel {
namespace {

using test::InNamespace;
using test::RouterLab;
using test::wanAddress;

using namespace std::chrono_literals;
using Kind = PortMapper::Status::Kind;

// Every status the mapper reports and every log line, for waiting on.
class Observer {
 public:
  Observer() {
    previousSink_ = log::setSink([this](std::string_view text) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(text);
      changed_.notify_all();
    });
  }
  ~Observer() { log::setSink(previousSink_); }

  void watch(PortMapper& mapper) {
    mapper.onChange = [this](const PortMapper::Status& status) {
      std::lock_guard lock(mutex_);
      statuses_.push_back(status);
      changed_.notify_all();
    };
  }

  // Waits (generously) until the mapper has reported `count` statuses.
  std::vector<PortMapper::Status> statuses(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return statuses_.size() >= count; });
    return statuses_;
  }

  std::size_t linesContaining(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PortMapper::Status> statuses_;
  std::vector<std::string> lines_;
  log::Sink previousSink_;
};

// A listener on all of the LAN side's addresses, on a port the kernel picks.
struct Listener {
  Listener() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    socklen_t length = sizeof any;
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) == 0)
      port = ntohs(any.sin_port);
  }
  ~Listener() { close(fd); }
  int fd;
  std::uint16_t port = 0;
};

class PortMapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (auto missing = RouterLab::missingTool()) GTEST_SKIP() << *missing << " is not installed";
    lab_ = std::make_unique<RouterLab>();
    ASSERT_TRUE(lab_->ok()) << "could not build the namespaces and the router's table";
    inLAN_ = std::make_unique<InNamespace>(lab_->lan);
    ASSERT_TRUE(inLAN_->entered());
  }

  void TearDown() override {
    mapper_.reset();
    inLAN_.reset();
    lab_.reset();
  }

  PortMapper& makeMapper() {
    mapper_ = std::make_unique<PortMapper>(PortMapper::Endpoints{}, clock_);
    observer_.watch(*mapper_);
    return *mapper_;
  }

  // The WAN peer's line reaches the LAN listener through the router, and the answer comes back.
  void expectForwarded(Listener& listener, std::uint16_t externalPort) {
    const int peer = test::connectFrom(lab_->wan, externalPort);
    ASSERT_GE(peer, 0) << "no connection through the router";
    ASSERT_EQ(send(peer, "hello\n", 6, MSG_NOSIGNAL), 6);
    pollfd p{.fd = listener.fd, .events = POLLIN, .revents = 0};
    ASSERT_EQ(poll(&p, 1, 15000), 1);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int connection = accept(listener.fd, reinterpret_cast<sockaddr*>(&from), &length);
    char buffer[16] = {};
    pollfd c{.fd = connection, .events = POLLIN, .revents = 0};
    if (poll(&c, 1, 10000) == 1 && recv(connection, buffer, sizeof buffer, 0) == 6) {
      EXPECT_EQ(std::string(buffer, 6), "hello\n");
      EXPECT_EQ(from.sin_addr.s_addr, htonl(0xCB007202)) << "the peer is 203.0.114.2";
      send(connection, "welcome", 7, MSG_NOSIGNAL);
    }
    close(connection);
    const ssize_t n = recv(peer, buffer, sizeof buffer, 0);
    close(peer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "welcome");
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  Observer observer_;
  std::unique_ptr<RouterLab> lab_;
  std::unique_ptr<InNamespace> inLAN_;
  std::unique_ptr<PortMapper> mapper_;
};

TEST_F(PortMapperTest, NATPMPMapsForwardsRenewsMovesAndRemovesOnSwitchOff) {
  ASSERT_TRUE(lab_->startMiniupnpd(true)) << lab_->daemonLog();
  Listener listener;
  ASSERT_NE(listener.port, 0);
  const std::string dport = "dport " + std::to_string(listener.port) + " ";
  const std::string address = std::string(wanAddress) + ":" + std::to_string(listener.port);

  auto& mapper = makeMapper();
  mapper.update(true, listener.port);
  const auto statuses = observer_.statuses(2);
  ASSERT_EQ(statuses.size(), 2u) << lab_->daemonLog();
  EXPECT_EQ(statuses[0], (PortMapper::Status{Kind::working, {}}));
  EXPECT_EQ(statuses[1], (PortMapper::Status{Kind::mapped, address}));
  EXPECT_NE(lab_->natRules().find(dport), std::string::npos) << lab_->natRules();
  EXPECT_NE(lab_->daemonLog().find("NAT-PMP " + std::to_string(listener.port) + " tcp"),
            std::string::npos);
  expectForwarded(listener, listener.port);

  // Each renewal asks the router again (one more accepted request in its log) and, with the
  // same answer, reports nothing new.
  const auto accepted = [&] {
    const std::string log = lab_->daemonLog();
    std::size_t n = 0;
    for (auto at = log.find("port mapping accepted"); at != std::string::npos;
         at = log.find("port mapping accepted", at + 1))
      ++n;
    return n;
  };
  const std::size_t before = accepted();
  clock_->advance(PortMapper::renewalInterval);
  clock_->advance(PortMapper::renewalInterval);
  EXPECT_EQ(accepted(), before + 2);
  EXPECT_EQ(observer_.linesContaining("reachable from the internet at " + address), 1u);
  mapper.update(true, listener.port);  // unchanged: nothing happens
  expectForwarded(listener, listener.port);

  // A new listener port: the old mapping goes before the new one is asked for.
  Listener moved;
  ASSERT_NE(moved.port, 0);
  const std::string movedDport = "dport " + std::to_string(moved.port) + " ";
  const std::string movedAddress = std::string(wanAddress) + ":" + std::to_string(moved.port);
  mapper.update(true, moved.port);
  const auto changed = observer_.statuses(4);
  ASSERT_EQ(changed.size(), 4u);
  EXPECT_EQ(changed[2], (PortMapper::Status{Kind::working, {}}));
  EXPECT_EQ(changed[3], (PortMapper::Status{Kind::mapped, movedAddress}));
  const std::string rules = lab_->natRules();
  EXPECT_EQ(rules.find(dport), std::string::npos) << rules;
  EXPECT_NE(rules.find(movedDport), std::string::npos) << rules;
  expectForwarded(moved, moved.port);

  mapper.update(false, moved.port);
  const auto after = observer_.statuses(5);
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(after[4], (PortMapper::Status{Kind::off, {}}));
  EXPECT_EQ(lab_->natRules().find(movedDport), std::string::npos) << lab_->natRules();
  EXPECT_EQ(observer_.linesContaining("Ombrel Remote: port mapping removed"), 2u);
  EXPECT_EQ(clock_->pendingTimers(), 0u) << "switching off stops the renewal timer";
}

TEST_F(PortMapperTest, UsesUPnPWhenNATPMPIsOffAndRemovesAtShutdown) {
  ASSERT_TRUE(lab_->startMiniupnpd(false)) << lab_->daemonLog();
  Listener listener;
  ASSERT_NE(listener.port, 0);
  const std::string dport = "dport " + std::to_string(listener.port) + " ";
  const std::string address = std::string(wanAddress) + ":" + std::to_string(listener.port);

  // Through the controller's seam, as the host program drives it.
  PortMapperService service(PortMapper::Endpoints{}, clock_);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<PortMappingStatus> seen;
  service.onChange = [&](const PortMappingStatus& status) {
    std::lock_guard lock(mutex);
    seen.push_back(status);
    changed.notify_all();
  };
  const auto waitFor = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 60s, [&] { return seen.size() >= count; });
    return seen;
  };
  service.update(true, listener.port);
  auto statuses = waitFor(2);
  ASSERT_EQ(statuses.size(), 2u) << lab_->daemonLog();
  EXPECT_EQ(statuses[0], (PortMappingStatus{PortMappingStatus::State::working, std::nullopt,
                                            "正在請路由器開埠…"}));
  EXPECT_EQ(statuses[1], (PortMappingStatus{PortMappingStatus::State::mapped, address,
                                            "外網直接連線：" + address}));
  EXPECT_NE(lab_->natRules().find(dport), std::string::npos) << lab_->natRules();
  EXPECT_NE(lab_->daemonLog().find("AddPortMapping"), std::string::npos);
  expectForwarded(listener, listener.port);

  service.shutdown();
  statuses = waitFor(3);
  ASSERT_EQ(statuses.size(), 3u);
  EXPECT_EQ(statuses[2].state, PortMappingStatus::State::off);
  EXPECT_EQ(lab_->natRules().find(dport), std::string::npos) << lab_->natRules();
}

// Another LAN client's SOAP action on miniupnpd's WAN IP connection service; the HTTP status.
int soapAsAnotherClient(const std::string& action, const std::string& arguments) {
  const std::string service = "urn:schemas-upnp-org:service:WANIPConnection:2";
  const std::string body =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
      action + " xmlns:u=\"" + service + "\">" + arguments + "</u:" + action +
      "></s:Body></s:Envelope>";
  const auto reply = httpExchange(test::routerLAN, RouterLab::httpPort, "POST", "/ctl/IPConn",
                                  {"Content-Type: text/xml; charset=\"utf-8\"",
                                   "SOAPAction: \"" + service + "#" + action + "\""},
                                  body, std::chrono::steady_clock::now() + 10s);
  return reply ? reply->status : 0;
}

TEST_F(PortMapperTest, LeavesAMappingThatAnotherComputerTookOver) {
  ASSERT_TRUE(lab_->startMiniupnpd(false, false)) << lab_->daemonLog();
  Listener listener;
  ASSERT_NE(listener.port, 0);
  const std::string port = std::to_string(listener.port);
  auto& mapper = makeMapper();
  mapper.update(true, listener.port);
  ASSERT_EQ(observer_.statuses(2).size(), 2u) << lab_->daemonLog();

  // The router's entry for our external port now forwards to 192.168.77.9.
  const std::string entry = "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + port +
                            "</NewExternalPort><NewProtocol>TCP</NewProtocol>";
  ASSERT_EQ(soapAsAnotherClient("DeletePortMapping", entry), 200) << lab_->daemonLog();
  ASSERT_EQ(soapAsAnotherClient("AddPortMapping",
                                entry + "<NewInternalPort>" + port +
                                    "</NewInternalPort><NewInternalClient>192.168.77.9"
                                    "</NewInternalClient><NewEnabled>1</NewEnabled>"
                                    "<NewPortMappingDescription>other</NewPortMappingDescription>"
                                    "<NewLeaseDuration>3600</NewLeaseDuration>"),
            200)
      << lab_->daemonLog();

  mapper.update(false, listener.port);
  const auto statuses = observer_.statuses(3);
  ASSERT_EQ(statuses.size(), 3u);
  EXPECT_EQ(statuses[2], (PortMapper::Status{Kind::off, {}}));
  EXPECT_EQ(observer_.linesContaining(
                "Ombrel Remote: removing port mapping failed: mapping belongs to another computer"),
            1u);
  EXPECT_NE(lab_->natRules().find("dnat ip to 192.168.77.9:" + port), std::string::npos)
      << lab_->natRules();
}

TEST_F(PortMapperTest, FailsWithinItsDeadlinesWithoutARouter) {
  // No miniupnpd: the gateway stays silent, then nothing answers the SSDP search; and with no
  // default route there is no gateway to ask at all.
  struct Case {
    bool defaultRoute;
    std::string error;
  };
  for (const Case& c :
       {Case{true, "NAT-PMP: no NAT-PMP answer from 192.168.77.1; UPnP: no UPnP router found"},
        Case{false, "NAT-PMP: no IPv4 router; UPnP: no UPnP router found"}}) {
    SCOPED_TRACE(c.error);
    if (!c.defaultRoute) {
      ASSERT_TRUE(test::run({"ip", "-n", lab_->lan, "route", "del", "default"}));
    }
    Observer observer;
    mapper_ = std::make_unique<PortMapper>(PortMapper::Endpoints{}, clock_);
    observer.watch(*mapper_);
    const auto start = std::chrono::steady_clock::now();
    mapper_->update(true, 47800);
    const auto statuses = observer.statuses(2);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1], (PortMapper::Status{Kind::failed, {}}));
    EXPECT_EQ(observer.linesContaining("Ombrel Remote: port mapping failed: " + c.error), 1u);
    // Two NAT-PMP exchanges of 3.75 s at most, then 3 s of SSDP; a loaded machine gets slack.
    EXPECT_LT(elapsed, 30s);
    mapper_.reset();
  }
}

TEST(PortMapperGateway, ReadsTheDefaultRouteFromTheRouteTable) {
  const std::string head =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  struct Case {
    std::string rows;
    std::optional<std::string> gateway;
  };
  const Case cases[] = {
      {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
       "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
       "192.168.1.1"},
      // A link route first, the default route after it.
      {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
       "eth0\t00000000\t01000A0A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "10.10.0.1"},
      // A default route without a gateway (a point-to-point link), one that is down, and a
      // gateway that is not on a local network are no router.
      {"ppp0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", std::nullopt},
      {"eth0\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", std::nullopt},
      {"eth0\t00000000\t017200CB\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", std::nullopt},
      {"garbage\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    EXPECT_EQ(PortMapper::gatewayFromRouteTable(head + c.rows), c.gateway);
  }
}

}  // namespace
}  // namespace ombrel
