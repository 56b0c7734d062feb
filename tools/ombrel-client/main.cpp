// ombrel-client: a reference client for the host, for people testing a host and for scripts.
//
//   ombrel-client (--connect HOST:PORT [--host-id ID] | --relay HOST[:PORT] --host-id ID)
//                 [--name NAME] [--pair [--grant-minutes N]]
//                 [--ping | --pings N [--ping-interval SECONDS]] [--send-raw TYPE:SIZE]
//                 [--clipboard-text TEXT [--paste]] [--input SCRIPT]
//                 [--send PATH]... [--receive DIR [--files N]]
//                 [--ai screenshot|tree|displays [--ai-max-size N] [--out FILE]]
//                 [--linger SECONDS] [--timeout SECONDS]
//   ombrel-client --discover [--timeout SECONDS]
//
// Prints one JSON line per event on standard output; exit status 0 when the connection ended
// as planned, 1 when it closed with an error, 2 for a usage error, 3 when the host's key does
// not match its pin, 4 when pairing was refused, 5 on timeout.

#include <charconv>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "CorvaneKit/relay_endpoint.h"
#include "OmbrelKit/device_identity.h"
#include "ai_mode.h"
#include "base/log.h"
#include "base/runtime.h"
#include "client_session.h"
#include "discovery.h"
#include "file_mode.h"
#include "input_mode.h"
#include "stream_mode.h"

namespace {

constexpr const char* kUsage =
    "usage: ombrel-client --connect HOST:PORT [--host-id ID] [--name NAME] [--pair]\n"
    "       ombrel-client --relay HOST[:PORT] --host-id ID [--name NAME] [--pair]\n"
    "                     [--grant-minutes N] [--ping | --pings N [--ping-interval S]]\n"
    "                     [--send-raw TYPE:SIZE] [--clipboard-text TEXT [--paste]]\n"
    "                     [--input SCRIPT] [--send PATH]... [--receive DIR [--files N]]\n"
    "                     [--ai screenshot|tree|displays [--ai-max-size N] [--out FILE]]\n"
    "                     [--linger SECONDS] [--timeout SECONDS]\n"
    "       ombrel-client --discover [--timeout SECONDS]\n";

template <typename T>
bool parseNumber(const std::string& text, T& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

bool parseSeconds(const std::string& text, double& out) {
  try {
    std::size_t used = 0;
    out = std::stod(text, &used);
    return used == text.size() && out >= 0;
  } catch (...) {
    return false;
  }
}

// "host:port", "[v6]:port".
bool parseAddress(const std::string& text, std::string& host, std::uint16_t& port) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return parseNumber(text.substr(colon + 1), port);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ombrel;
  ClientSession::Options options;
  bool discover = false;
  bool connect = false;
  double discoverTimeout = 3;
  std::shared_ptr<InputMode> inputMode;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    bool good = true;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--connect") {
      connect = true;
      good = value(text) && parseAddress(text, options.host, options.port);
    } else if (arg == "--relay") {
      connect = true;
      options.viaRelay = true;
      auto relay = value(text) ? RelayEndpoint::parse(text) : std::nullopt;
      good = relay.has_value();
      if (relay) {
        options.host = relay->host;
        options.port = relay->port;
      }
    } else if (arg == "--discover") {
      discover = true;
    } else if (arg == "--host-id") {
      good = value(options.expectedHostID);
    } else if (arg == "--name") {
      good = value(options.name);
    } else if (arg == "--pair") {
      options.pair = true;
    } else if (arg == "--grant-minutes") {
      std::int64_t minutes = 0;
      good = value(text) && parseNumber(text, minutes);
      options.grantMinutes = minutes;
    } else if (arg == "--ping") {
      options.pings = 1;
    } else if (arg == "--pings") {
      good = value(text) && parseNumber(text, options.pings) && options.pings >= 0;
    } else if (arg == "--ping-interval") {
      good = value(text) && parseSeconds(text, options.pingInterval);
    } else if (arg == "--send-raw") {
      auto colon = std::string::npos;
      unsigned type = 0;
      good = value(text) && (colon = text.find(':')) != std::string::npos &&
             parseNumber(text.substr(0, colon), type) && type <= 255 &&
             parseNumber(text.substr(colon + 1), options.rawSize) &&
             options.rawSize <= 64u * 1024 * 1024;
      options.rawType = static_cast<std::uint8_t>(type);
    } else if (arg == "--clipboard-text") {
      good = value(text);
      options.clipboardText = text;
    } else if (arg == "--paste") {
      options.clipboardPaste = true;
    } else if (arg == "--input") {
      good = value(text) && (inputMode = InputMode::load(text));
      options.mode = inputMode;
    } else if (arg == "--linger") {
      good = value(text) && parseSeconds(text, options.linger);
    } else if (arg == "--timeout") {
      good = value(text) && parseSeconds(text, options.timeout);
      discoverTimeout = options.timeout;
    } else if (StreamMode::parseArgument(argc, argv, i, options.mode, good)) {
    } else if (AIMode::parseArgument(argc, argv, i, options.mode, good)) {
    } else if (FileMode::parseArgument(argc, argv, i, options.mode, good)) {
    } else {
      good = false;
    }
    if (!good) {
      std::cerr << "ombrel-client: bad argument " << arg << "\n" << kUsage;
      return 2;
    }
  }
  if (inputMode) inputMode->setLinger(options.linger);
  if (discover == connect || (options.viaRelay && options.expectedHostID.empty())) {
    std::cerr << kUsage;
    return 2;
  }
  // Diagnostics go to standard error so standard output stays one JSON event per line.
  log::setSink([](std::string_view line) { std::cerr << line << std::endl; });

  if (discover) {
    try {
      for (const auto& host : discoverHosts(discoverTimeout)) {
        std::cout << nlohmann::json{{"event", "found"},
                                    {"name", host.name},
                                    {"address", host.address},
                                    {"port", host.port},
                                    {"hostID", host.hostID}}
                         .dump()
                  << std::endl;
      }
    } catch (const std::exception& error) {
      std::cout << nlohmann::json{{"event", "discoveryFailed"}, {"error", error.what()}}.dump()
                << std::endl;
      return 1;
    }
    return 0;
  }

  Runtime runtime;
  if (auto files = std::dynamic_pointer_cast<FileMode>(options.mode)) files->setRuntime(runtime);
  HostPins pins;
  auto session = std::make_shared<ClientSession>(options, DeviceIdentity::loadOrCreate("client"),
                                                 pins, std::cout, runtime);
  // The mode's timers live on the runtime: only the session, which goes first, may hold it.
  options.mode.reset();
  inputMode.reset();
  return session->run();
}
