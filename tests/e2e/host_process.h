#pragma once

// The real programs for end-to-end tests: `ombrel-host --headless` on a free port in a
// throw-away XDG tree, and `ombrel-client` runs whose JSON events the test reads as they come.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/desktop_peers.h"

namespace ombrel::test {

inline std::string hostProgram() { return OMBREL_BINARY_DIR "/Ombrel_Remote_Host/ombrel-host"; }
inline std::string clientProgram() {
  return OMBREL_BINARY_DIR "/tools/ombrel-client/ombrel-client";
}

// XDG directories of one program under `root`.
inline std::map<std::string, std::string> xdgTree(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "home");
  return {{"HOME", (root / "home").string()},
          {"XDG_CONFIG_HOME", (root / "config").string()},
          {"XDG_DATA_HOME", (root / "data").string()}};
}

class HostProcess {
 public:
  explicit HostProcess(const std::filesystem::path& root,
                       std::map<std::string, std::string> extraEnv = {},
                       std::vector<std::string> extraArgs = {})
      : process_(withArgs({hostProgram(), "--headless", "--port", "0"}, std::move(extraArgs)),
                 {.env = merged(hermetic(root), std::move(extraEnv)),
                  .captureStdout = true,
                  .quiet = false,
                  .pipeStdin = true}) {
    if (auto line = waitFor("listening port=")) {
      port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->find('=') + 1)));
    }
  }

  std::uint16_t port() const { return port_; }
  ChildProcess& process() { return process_; }

  // The next output line containing `needle` (earlier lines are kept in `lines()`).
  std::optional<std::string> waitFor(std::string_view needle,
                                     std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return waitForLine(process_, lines_, needle, limit);
  }
  // The same, for any program's output.
  static std::optional<std::string> waitForLine(ChildProcess& process,
                                                std::vector<std::string>& lines,
                                                std::string_view needle,
                                                std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto line = process.readLine(left);
      if (!line) return std::nullopt;
      lines.push_back(*line);
      if (line->find(needle) != std::string::npos) return line;
    }
  }

  void answer(const std::string& text) { process_.write(text + "\n"); }
  const std::vector<std::string>& lines() const { return lines_; }

  // The host's environment: XDG directories under `root`, and buses that do not exist unless a
  // test starts them: nothing reaches the machine's own avahi-daemon, logind or screensaver.
  static std::map<std::string, std::string> hermetic(const std::filesystem::path& root) {
    auto env = xdgTree(root);
    env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + (root / "no-system-bus").string();
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (root / "no-session-bus").string();
    // The desktop is the X display a test names, even when the tests run in a Wayland session.
    env["WAYLAND_DISPLAY"] = "";
    env["XDG_SESSION_TYPE"] = "x11";
    return env;
  }

  static std::vector<std::string> withArgs(std::vector<std::string> argv,
                                           std::vector<std::string> extra) {
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  static std::map<std::string, std::string> merged(std::map<std::string, std::string> base,
                                                   std::map<std::string, std::string> extra) {
    for (auto& [key, value] : extra) base[key] = std::move(value);
    return base;
  }

 private:
  ChildProcess process_;
  std::uint16_t port_ = 0;
  std::vector<std::string> lines_;
};

// One `ombrel-client --connect` run; its events are read as they arrive.
class ClientRun {
 public:
  ClientRun(const std::filesystem::path& root, std::uint16_t port, std::vector<std::string> args)
      : process_(command({"--connect", "127.0.0.1:" + std::to_string(port)}, std::move(args)),
                 {.env = xdgTree(root), .captureStdout = true}) {}
  // Through the relay listening on loopback `relayPort`, to the host `hostID`.
  struct ViaRelay {
    std::uint16_t relayPort;
    std::string hostID;
  };
  ClientRun(const std::filesystem::path& root, const ViaRelay& relay, std::vector<std::string> args)
      : process_(command({"--relay", "127.0.0.1:" + std::to_string(relay.relayPort), "--host-id",
                          relay.hostID},
                         std::move(args)),
                 {.env = xdgTree(root), .captureStdout = true}) {}

  // The next event, or nothing when the client ended or `limit` passed.
  std::optional<nlohmann::json> next(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    for (;;) {
      auto line = process_.readLine(limit);
      if (!line) return std::nullopt;
      auto event = nlohmann::json::parse(*line, nullptr, false);
      if (event.is_discarded() || !event.contains("event")) continue;
      events_.push_back(event);
      return event;
    }
  }
  // The next event named `name`, skipping others.
  std::optional<nlohmann::json> waitFor(
      const std::string& name, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    while (auto event = next(limit)) {
      if ((*event)["event"] == name) return event;
    }
    return std::nullopt;
  }
  // Every event until the client exits, then its exit status.
  std::optional<int> finish(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    while (next(limit)) {
    }
    return process_.wait(limit);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& event : events_) out.push_back(event["event"]);
    return out;
  }
  const std::vector<nlohmann::json>& events() const { return events_; }

 private:
  static std::vector<std::string> command(std::vector<std::string> target,
                                          std::vector<std::string> args) {
    std::vector<std::string> argv = {clientProgram()};
    argv.insert(argv.end(), target.begin(), target.end());
    argv.insert(argv.end(), {"--timeout", "60"});
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  ChildProcess process_;
  std::vector<nlohmann::json> events_;
};

}  // namespace ombrel::test
