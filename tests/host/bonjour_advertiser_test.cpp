#include "Ombrel_Remote_Host/linux/avahi/avahi_bonjour_advertiser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "Ombrel_Remote_Host/platform/fake/fake_bonjour_advertiser.h"
#include "e2e/host_process.h"
#include "host/desktop_peers.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

struct Found {
  std::string name;
  int port = 0;
  std::vector<std::string> txt;
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  out << f.name << ":" << f.port << " [";
  for (const auto& t : f.txt) out << t << " ";
  return out << "]";
}

// avahi-browse -p escapes names: "\032" for a space (decimal), "\." for a dot.
std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() + 0 &&
        std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    auto end = line.find(separator, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// "\"v=2\" \"id=ABC\"" -> {"id=ABC", "v=2"}
std::vector<std::string> txtEntries(const std::string& field) {
  std::vector<std::string> entries;
  for (std::size_t open = field.find('"'); open != std::string::npos;
       open = field.find('"', field.find('"', open + 1) + 1)) {
    auto close = field.find('"', open + 1);
    if (close == std::string::npos) break;
    entries.push_back(field.substr(open + 1, close - open - 1));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool waitForState(const BonjourAdvertiser& advertiser, BonjourState state,
                  std::chrono::milliseconds timeout = 20s) {
  return test::waitUntil([&] { return advertiser.status().state == state; }, timeout);
}

// Sets an environment variable for one test (no other thread reads the environment meanwhile).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A system bus of our own and avahi-daemon in a network namespace of its own, where only the
// loopback interface exists: mDNS never leaves the test. avahi-daemon finds its bus through
// DBUS_SYSTEM_BUS_ADDRESS (libdbus), as our client does. libdbus reads that variable once per
// process, so every test of the binary uses the same socket path and starts its own daemon on it.
class AvahiPeersTest : public ::testing::Test {
 protected:
  static constexpr const char* avahiName = "org.freedesktop.Avahi";

  static void SetUpTestSuite() {
    dir_ = new test::TempDir("/tmp");  // not under /run, which the daemon's namespace replaces
    env_ = new ScopedEnv("DBUS_SYSTEM_BUS_ADDRESS",
                         "unix:path=" + (dir_->path() / "system.socket").string());
  }
  static void TearDownTestSuite() {
    delete env_;
    delete dir_;
  }

  void startBus() {
    bus_.emplace(dir_->path(), "system");
    ASSERT_TRUE(bus_->running()) << "dbus-daemon did not start";
  }

  static inline test::TempDir* dir_ = nullptr;
  static inline ScopedEnv* env_ = nullptr;
  std::optional<test::PrivateBus> bus_;
};

class BonjourAdvertiserTest : public AvahiPeersTest {
 protected:
  void SetUp() override {
    for (const char* tool : {"dbus-daemon", "avahi-daemon", "avahi-browse", "avahi-publish",
                             "unshare", "ip", "mount"}) {
      if (!test::programExists(tool)) {
        GTEST_SKIP() << tool << " missing (scripts/packages/desktop.txt)";
      }
    }
    if (geteuid() != 0 || std::system("unshare -n -m true 2>/dev/null") != 0) {
      GTEST_SKIP() << "cannot create network and mount namespaces here (needs root and "
                      "unshare -n -m); the avahi-daemon peer must never touch the real network";
    }
    startBus();
    std::ofstream(dir_->path() / "avahi-daemon.conf") << "[server]\n"
                                                         "host-name=ombrel-test\n"
                                                         "domain-name=local\n"
                                                         "use-ipv4=yes\n"
                                                         "use-ipv6=no\n"
                                                         "allow-interfaces=lo\n"
                                                         "enable-dbus=yes\n"
                                                         "[wide-area]\n"
                                                         "enable-wide-area=no\n"
                                                         "[publish]\n"
                                                         "publish-hinfo=no\n"
                                                         "publish-workstation=no\n";
  }
  void TearDown() override {
    avahi_.reset();
    bus_.reset();
  }

  void startAvahi() {
    // A private /run as well: avahi-daemon keeps its pid file and socket in /run/avahi-daemon.
    std::string script =
        "ip link set lo up && ip link set lo multicast on && "
        "mount -t tmpfs tmpfs /run && exec avahi-daemon -f '" +
        (dir_->path() / "avahi-daemon.conf").string() + "' --no-drop-root --no-chroot --no-rlimits";
    avahi_.emplace(std::vector<std::string>{"unshare", "-n", "-m", "sh", "-c", script},
                   test::ChildProcess::Options{});
    ASSERT_TRUE(test::waitUntil([&] { return bus_->hasOwner(avahiName); }, 20s))
        << "avahi-daemon did not appear on the bus";
  }
  void stopAvahi() {
    avahi_.reset();
    ASSERT_TRUE(test::waitUntil([&] { return !bus_->hasOwner(avahiName); }));
  }

  std::vector<Found> browse() {
    test::ChildProcess browser(
        {"avahi-browse", "-r", "-p", "-t", "-k", std::string(bonjourServiceType)},
        {.captureStdout = true});
    std::vector<Found> found;
    for (const auto& line : split(browser.readAll(20s), '\n')) {
      auto fields = split(line, ';');
      if (fields.size() < 10 || fields[0] != "=") continue;
      found.push_back({unescape(fields[3]), std::stoi(fields[8]), txtEntries(fields[9])});
    }
    return found;
  }

  static AvahiBonjourAdvertiser::Config config(std::string name = "Test Host") {
    return {.name = std::move(name), .retryInterval = 100ms};
  }

  std::optional<test::ChildProcess> avahi_;
};

TEST_F(BonjourAdvertiserTest, AdvertisesNamePortAndTXTAndFollowsUpdates) {
  startAvahi();
  AvahiBonjourAdvertiser advertiser(config());
  std::vector<BonjourStatus> reported;
  std::mutex reportedMutex;
  advertiser.onStatus = [&](const BonjourStatus& s) {
    std::lock_guard lock(reportedMutex);
    reported.push_back(s);
  };
  advertiser.update(47800, "HOSTID1");
  ASSERT_TRUE(waitForState(advertiser, BonjourState::advertising)) << advertiser.status().text;
  EXPECT_EQ(advertiser.status().text, "區域網路廣播中：Test Host");
  EXPECT_THAT(browse(), ElementsAre(Found{"Test Host", 47800, {"id=HOSTID1", "v=2"}}));

  // The listener moved to another port: the advertisement follows.
  advertiser.update(51234, "HOSTID1");
  ASSERT_TRUE(test::waitUntil([&] {
    auto found = browse();
    return found.size() == 1 && found[0].port == 51234;
  })) << "the new port was never advertised";

  advertiser.stop();
  EXPECT_EQ(advertiser.status().state, BonjourState::stopped);
  EXPECT_TRUE(test::waitUntil([&] { return browse().empty(); }));
  std::lock_guard lock(reportedMutex);
  EXPECT_EQ(reported.back().state, BonjourState::stopped);
}

// The host program advertises itself and the reference client finds it by browsing.
TEST_F(BonjourAdvertiserTest, RunningHostIsFoundByTheClientsDiscovery) {
  startAvahi();
  test::TempHome home;
  const std::string bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  test::HostProcess host(home.root() / "host", {{"DBUS_SYSTEM_BUS_ADDRESS", bus}});
  ASSERT_NE(host.port(), 0);
  auto idLine = host.lines().size() > 1 ? host.lines()[1] : std::string();
  ASSERT_TRUE(host.waitFor("bonjour: 區域網路廣播中："));

  test::ChildProcess discover({test::clientProgram(), "--discover", "--timeout", "5"},
                              {.env = {{"DBUS_SYSTEM_BUS_ADDRESS", bus}}, .captureStdout = true});
  std::vector<nlohmann::json> found;
  for (const auto& line : split(discover.readAll(20s), '\n')) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_discarded() && event.value("event", "") == "found") found.push_back(event);
  }
  ASSERT_FALSE(found.empty()) << "the client found no host";
  const auto& entry = found.front();
  EXPECT_EQ(entry["name"], HostController::machineHostName());
  EXPECT_EQ(entry["port"], host.port());
  // "主機 ID：0944 1904 1968" on the host's terminal.
  ASSERT_NE(idLine.find("主機 ID："), std::string::npos) << idLine;
  EXPECT_EQ(entry["hostID"], idLine.substr(idLine.find("：") + std::string("：").size()));
}

TEST_F(BonjourAdvertiserTest, NameTakenOnTheNetworkMovesToAnAlternative) {
  startAvahi();
  test::ChildProcess other(
      {"avahi-publish", "-s", "Test Host", std::string(bonjourServiceType), "4000"}, {});
  ASSERT_TRUE(test::waitUntil([&] { return browse().size() == 1; }, 20s))
      << "avahi-publish did not establish its service";

  AvahiBonjourAdvertiser advertiser(config());
  advertiser.update(47800, "HOSTID2");
  ASSERT_TRUE(waitForState(advertiser, BonjourState::advertising)) << advertiser.status().text;
  EXPECT_EQ(advertiser.status().name, "Test Host #2");
  EXPECT_THAT(browse(), UnorderedElementsAre(Found{"Test Host", 4000, {}},
                                             Found{"Test Host #2", 47800, {"id=HOSTID2", "v=2"}}));
}

TEST_F(BonjourAdvertiserTest, ReportsAMissingDaemonAndRecoversWhenItReturns) {
  AvahiBonjourAdvertiser advertiser(config());
  advertiser.update(47800, "HOSTID3");
  // The bus is there but no daemon yet.
  ASSERT_TRUE(waitForState(advertiser, BonjourState::noDaemon));
  EXPECT_EQ(
      advertiser.status().text,
      "區域網路廣播無法使用：沒有執行中的 mDNS 服務（avahi-daemon），附近裝置無法自動找到這台電腦");

  startAvahi();
  ASSERT_TRUE(waitForState(advertiser, BonjourState::advertising)) << advertiser.status().text;

  stopAvahi();
  ASSERT_TRUE(waitForState(advertiser, BonjourState::noDaemon)) << advertiser.status().text;

  startAvahi();
  ASSERT_TRUE(waitForState(advertiser, BonjourState::advertising)) << advertiser.status().text;
  EXPECT_THAT(browse(), ElementsAre(Found{"Test Host", 47800, {"id=HOSTID3", "v=2"}}));
}

TEST_F(BonjourAdvertiserTest, StartsOnceTheSystemBusItselfAppears) {
  bus_->stop();
  AvahiBonjourAdvertiser advertiser(config());
  advertiser.update(47800, "HOSTID4");
  EXPECT_EQ(advertiser.status().state, BonjourState::noDaemon);

  startBus();
  startAvahi();
  EXPECT_TRUE(waitForState(advertiser, BonjourState::advertising)) << advertiser.status().text;
}

using BonjourWithoutDaemonTest = AvahiPeersTest;

TEST_F(BonjourWithoutDaemonTest, NoBusMeansNoAdvertisementAndNoFailure) {
  AvahiBonjourAdvertiser advertiser({.name = "Test Host", .retryInterval = 10ms});
  EXPECT_EQ(advertiser.status().state, BonjourState::stopped);
  advertiser.update(47800, "HOSTID");
  EXPECT_EQ(advertiser.status().state, BonjourState::noDaemon);
  EXPECT_EQ(
      advertiser.status().text,
      "區域網路廣播無法使用：沒有執行中的 mDNS 服務（avahi-daemon），附近裝置無法自動找到這台電腦");
  // Retries keep failing quietly; stop and destruction are clean.
  std::this_thread::sleep_for(50ms);
  advertiser.stop();
  EXPECT_EQ(advertiser.status().state, BonjourState::stopped);
}

TEST(FakeBonjourAdvertiserTest, RecordsTheAdvertisementAndScriptsDaemonStates) {
  FakeBonjourAdvertiser advertiser;
  std::vector<BonjourState> states;
  advertiser.onStatus = [&](const BonjourStatus& s) { states.push_back(s.state); };
  advertiser.update(47800, "ID");
  advertiser.setState(BonjourState::noDaemon);
  advertiser.setState(BonjourState::advertising, "Test Host #2");
  EXPECT_EQ(advertiser.port(), 47800);
  EXPECT_EQ(advertiser.hostID(), "ID");
  EXPECT_EQ(advertiser.status().name, "Test Host #2");
  EXPECT_THAT(states, ElementsAre(BonjourState::advertising, BonjourState::noDaemon,
                                  BonjourState::advertising));
}

}  // namespace
}  // namespace ombrel
