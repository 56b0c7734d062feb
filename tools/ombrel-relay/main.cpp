// ombrel-relay: the relay server hosts register with and clients reach them through.
//
//   ombrel-relay [--listen ADDR:PORT] [--status-interval SECONDS] [--ping-interval SECONDS]
//                [--line-timeout SECONDS] [--pair-timeout SECONDS] [--max-per-address N]
//                [--allow-host-id ID]...
//
// Listens on TCP and UDP (STUN) at ADDR:PORT, by default every address on port 47900. Prints
// one JSON line per event on standard output, among them {"event":"listening",...} once bound
// and {"event":"status","hosts":N,"splices":N,"bytes":N,...} every status interval (60 s).
// SIGINT or SIGTERM closes every connection and exits 0; a usage error exits 2, a port that
// cannot be had 1.

#include <asio/signal_set.hpp>

#include <charconv>
#include <csignal>
#include <future>
#include <iostream>
#include <mutex>
#include <system_error>

#include "CorvaneKit/relay_endpoint.h"
#include "OmbrelKit/device_identity.h"
#include "base/log.h"
#include "relay_server.h"

namespace {

constexpr const char* kUsage =
    "usage: ombrel-relay [--listen ADDR:PORT] [--status-interval S] [--ping-interval S]\n"
    "                    [--line-timeout S] [--pair-timeout S] [--max-per-address N]\n"
    "                    [--allow-host-id ID]...\n";

bool parseSeconds(const std::string& text, double& out) {
  try {
    std::size_t used = 0;
    out = std::stod(text, &used);
    return used == text.size() && out > 0 && out < 1e6;
  } catch (...) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ombrel;
  RelayServer::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string text;
    auto value = [&] {
      if (i + 1 >= argc) return false;
      text = argv[++i];
      return true;
    };
    bool good = true;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--listen") {
      auto endpoint = value() ? RelayEndpoint::parse(text) : std::nullopt;
      // Port 0 (any free port) is for tests; RelayEndpoint refuses it.
      if (!endpoint && !text.empty() && text.ends_with(":0")) {
        endpoint = RelayEndpoint::parse(text.substr(0, text.size() - 2));
        if (endpoint) endpoint->port = 0;
      }
      good = endpoint.has_value();
      if (endpoint) {
        options.address = endpoint->host;
        options.port = endpoint->port;
      }
    } else if (arg == "--status-interval") {
      good = value() && parseSeconds(text, options.statusInterval);
    } else if (arg == "--ping-interval") {
      good = value() && parseSeconds(text, options.pingInterval);
    } else if (arg == "--line-timeout") {
      good = value() && parseSeconds(text, options.lineTimeout);
    } else if (arg == "--pair-timeout") {
      good = value() && parseSeconds(text, options.pairTimeout);
    } else if (arg == "--max-per-address") {
      good = value();
      auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), options.maxConnectionsPerAddress);
      good = good && error == std::errc() && end == text.data() + text.size() &&
             options.maxConnectionsPerAddress > 0;
    } else if (arg == "--allow-host-id") {
      good = value();
      auto id = DeviceIdentity::normalizeHostID(text);
      good = good && id.size() == 14;
      options.allowedHostIDs.insert(id);
    } else {
      good = false;
    }
    if (!good) {
      std::cerr << "ombrel-relay: bad argument " << arg << "\n" << kUsage;
      return 2;
    }
  }
  log::setSink([](std::string_view line) { std::cerr << line << std::endl; });

  Runtime runtime(Runtime::Options{.threads = 2});
  std::mutex outputLock;
  auto print = [&outputLock](const nlohmann::json& event) {
    std::lock_guard lock(outputLock);
    std::cout << event.dump() << std::endl;
  };
  auto server = RelayServer::create(runtime, options, print);
  try {
    try {
      server->start();
    } catch (const std::system_error&) {
      // "::" is every address only where IPv6 is up; otherwise every IPv4 address.
      if (options.address != "::") throw;
      server->stop();
      options.address = "0.0.0.0";
      server = RelayServer::create(runtime, options, print);
      server->start();
    }
  } catch (const std::system_error& error) {
    std::cerr << "ombrel-relay: cannot listen on " << options.address << ":" << options.port << ": "
              << error.what() << "\n";
    return 1;
  }
  std::promise<void> stopRequested;
  asio::signal_set signals(runtime.context(), SIGINT, SIGTERM);
  signals.async_wait([&stopRequested](const asio::error_code& error, int) {
    if (!error) stopRequested.set_value();
  });
  stopRequested.get_future().wait();
  server->stop();
  {
    std::lock_guard lock(outputLock);
    std::cout << nlohmann::json{{"event", "stopped"}}.dump() << std::endl;
  }
  return 0;
}
