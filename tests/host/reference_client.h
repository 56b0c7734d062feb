#pragma once

// The reference client (tools/ombrel-client) as a process, for tests that serve it with a real
// HostSession: started against a loopback port, its JSON event lines read back when it exits.

#include <stdio.h>

#include <cstdint>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ombrel::test {

// Runs `ombrel-client --connect 127.0.0.1:PORT --timeout 20 ARGUMENTS` on another thread;
// the future holds its standard output.
inline std::future<std::string> startReferenceClient(std::uint16_t port,
                                                     const std::string& arguments) {
  const std::string command =
      std::string(OMBREL_BINARY_DIR) +
      "/tools/ombrel-client/ombrel-client --connect 127.0.0.1:" + std::to_string(port) +
      " --timeout 20 " + arguments;
  return std::async(std::launch::async, [command] {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    pclose(pipe);
    return text;
  });
}

// One JSON value per non-empty line.
inline std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> events;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) events.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    start = end + 1;
  }
  return events;
}

}  // namespace ombrel::test
