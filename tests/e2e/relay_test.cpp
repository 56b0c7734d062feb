// The host program registered with the real ombrel-relay on loopback, and the reference client
// reaching it through the relay: pairing, streaming, input and files, refusals, a relay that
// restarts, and a dead relay ahead of a live one in the list.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/host_process.h"
#include "support/temp_home.h"
#include "support/xvfb_server.h"

#include "support/x_pointer.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ClientRun;
using test::HostProcess;

std::string relayProgram() { return OMBREL_BINARY_DIR "/tools/ombrel-relay/ombrel-relay"; }

// One ombrel-relay process on loopback; port 0 picks a free one.
class RelayProcess {
 public:
  explicit RelayProcess(std::uint16_t port = 0, std::vector<std::string> args = {})
      : process_(command(port, std::move(args)), {.captureStdout = true}) {
    if (auto line = waitFor("\"listening\"")) {
      port_ = nlohmann::json::parse(*line)["port"].get<std::uint16_t>();
    }
  }
  std::uint16_t port() const { return port_; }
  std::optional<std::string> waitFor(std::string_view needle,
                                     std::chrono::milliseconds limit = 20s) {
    return HostProcess::waitForLine(process_, lines_, needle, limit);
  }
  // SIGTERM and the exit status.
  std::optional<int> stop() {
    process_.signal(SIGTERM);
    return process_.wait(20s);
  }

 private:
  static std::vector<std::string> command(std::uint16_t port, std::vector<std::string> args) {
    std::vector<std::string> argv = {relayProgram(), "--listen",
                                     "127.0.0.1:" + std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  ChildProcess process_;
  std::vector<std::string> lines_;
  std::uint16_t port_ = 0;
};

// A loopback port nothing listens on.
std::uint16_t deadPort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

constexpr std::string_view kRegistered = "relay: 已上線（ID ";

class RelayEndToEndTest : public ::testing::Test {
 protected:
  void startHost(std::vector<std::uint16_t> relayPorts,
                 std::map<std::string, std::string> env = {}) {
    std::string list;
    for (auto port : relayPorts) {
      list += (list.empty() ? "" : ",") + std::string("127.0.0.1:") + std::to_string(port);
    }
    host.emplace(home.root() / "host", std::move(env), std::vector<std::string>{"--relay", list});
    ASSERT_NE(host->port(), 0);
  }
  // The host ID from the registered status line.
  std::string waitRegistered() {
    auto line = host->waitFor(kRegistered, 30s);
    if (!line) return {};
    auto start = line->find(kRegistered) + kRegistered.size();
    return line->substr(start, line->find("）", start) - start);
  }

  test::TempHome home;
  std::optional<HostProcess> host;
};

TEST_F(RelayEndToEndTest, ClientPairsStreamsAndDrivesTheHostThroughTheRelay) {
  test::XvfbServer xvfb{"1280x720x24"};
  ASSERT_TRUE(xvfb.ok()) << "Xvfb did not start";
  RelayProcess relay;
  ASSERT_NE(relay.port(), 0);
  startHost({relay.port()}, {{"DISPLAY", xvfb.display()}});
  auto hostID = waitRegistered();
  ASSERT_EQ(hostID.size(), 14u) << "the host did not register";
  ASSERT_TRUE(relay.waitFor("\"registered\""));
  const ClientRun::ViaRelay via{relay.port(), hostID};

  {
    ClientRun pairing(home.root() / "owner", via, {"--pair", "--ping", "--name", "Owner"});
    ASSERT_TRUE(host->waitFor("[Owner "));
    std::this_thread::sleep_for(3200ms);  // the card's arming runs on the host's real clock
    host->answer("o");
    auto hello = pairing.waitFor("hello");
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["hostID"], hostID);
    EXPECT_TRUE(pairing.waitFor("pong"));
    EXPECT_EQ(pairing.finish(), 0);
  }
  EXPECT_TRUE(relay.waitFor("\"spliced\""));

  ClientRun watcher(home.root() / "owner", via, {"--stream", "--codec", "h264", "--seconds", "2"});
  auto summary = watcher.waitFor("streamSummary", 40s);
  ASSERT_TRUE(summary) << "no stream summary through the relay";
  EXPECT_GE((*summary)["decoded"].get<int>(), 1);
  EXPECT_EQ(watcher.finish(), 0);

  const auto script = home.root() / "move.txt";
  std::ofstream(script) << "move 0.25 0.75\n";
  ClientRun driver(home.root() / "owner", via, {"--input", script.string(), "--linger", "0.5"});
  ASSERT_TRUE(driver.waitFor("inputSent"));
  EXPECT_EQ(driver.finish(), 0);
  auto pointer = test::pointerPosition(xvfb.display());
  ASSERT_TRUE(pointer);
  EXPECT_NEAR(pointer->first, 320, 1);
  EXPECT_NEAR(pointer->second, 540, 1);

  // A file crosses the relay as it crosses the LAN: every byte, and the host's answer back.
  const auto file = home.root() / "notes.txt";
  std::ofstream(file) << std::string(600'000, 'r');
  ClientRun sender(home.root() / "owner", via, {"--send", file.string()});
  auto result = sender.waitFor("fileResult", 60s);
  ASSERT_TRUE(result) << "no answer to a file sent through the relay";
  EXPECT_EQ((*result)["ok"], true) << result->dump();
  EXPECT_EQ(sender.finish(), 0);
  EXPECT_EQ(std::filesystem::file_size(home.root() / "host" / "home" / "Downloads" /
                                       "Ombrel Remote" / "notes.txt"),
            600'000u);

  // A host ID nobody registered is refused by the relay with the client's text.
  ClientRun stranger(home.root() / "stranger", ClientRun::ViaRelay{relay.port(), "0000 0000 0001"},
                     {"--ping"});
  auto closed = stranger.waitFor("closed");
  ASSERT_TRUE(closed);
  EXPECT_EQ((*closed)["error"], "主機不在線上");
  EXPECT_EQ(stranger.finish(), 1);
  EXPECT_EQ(relay.stop(), 0);
}

TEST_F(RelayEndToEndTest, RefusedRegistrationShowsTheRelaysReason) {
  RelayProcess relay(0, {"--allow-host-id", "0000 0000 0002"});
  startHost({relay.port()});
  EXPECT_TRUE(host->waitFor("relay: 中繼伺服器拒絕登記：host ID not served by this relay", 30s));
}

TEST_F(RelayEndToEndTest, RestartedRelayIsRetriedWithBackoffUntilRegisteredAgain) {
  std::optional<RelayProcess> relay;
  relay.emplace();
  const auto port = relay->port();
  startHost({port});
  ASSERT_FALSE(waitRegistered().empty());
  EXPECT_EQ(relay->stop(), 0);
  relay.reset();
  EXPECT_TRUE(host->waitFor("relay: 中繼伺服器離線，1 秒後重試"));
  EXPECT_TRUE(host->waitFor("relay: 中繼伺服器離線，2 秒後重試"));
  relay.emplace(port);
  ASSERT_EQ(relay->port(), port);
  EXPECT_FALSE(waitRegistered().empty()) << "the host did not come back to the restarted relay";
}

TEST_F(RelayEndToEndTest, DeadFirstRelayGivesWayToTheSecond) {
  RelayProcess live;
  startHost({deadPort(), live.port()});
  auto hostID = waitRegistered();
  ASSERT_FALSE(hostID.empty());
  EXPECT_TRUE(live.waitFor("\"registered\""));
  ClientRun client(home.root() / "client", ClientRun::ViaRelay{live.port(), hostID}, {});
  auto hello = client.waitFor("hello");
  ASSERT_TRUE(hello) << "no session through the second relay";
  EXPECT_EQ((*hello)["hostID"], hostID);
  EXPECT_EQ(client.finish(), 0);
}

}  // namespace
}  // namespace ombrel
