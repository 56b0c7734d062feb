// What a relay costs on loopback: the real ombrel-relay process splices a client to a host
// (scripted here, registered by proof), and the same measurements run over a direct TCP
// connection as the baseline of the same run:
//   - throughput: one side writes `megabytes` as fast as the other reads;
//   - latency: round trips of a 64-byte message, median and p95;
//   - relay CPU: the relay process's user + system time over the relayed throughput run,
//     per gigabit spliced (= cores busy per Gbit/s).
// Run: build/gcc/bench/relay_bench [megabytes] [round trips]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OmbrelKit/device_identity.h"
#include "base/base64.h"
#include "tests/host/desktop_peers.h"
#include "tools/ombrel-relay/relay_server.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

int connectLoopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

void writeAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    auto w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w <= 0) std::exit(1);
    data += w;
    n -= static_cast<std::size_t>(w);
  }
}

void readAll(int fd, char* data, std::size_t n) {
  while (n > 0) {
    auto r = ::recv(fd, data, n, 0);
    if (r <= 0) std::exit(1);
    data += r;
    n -= static_cast<std::size_t>(r);
  }
}

std::string readLine(int fd) {
  std::string line;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
  return line;
}

void writeLine(int fd, const Json& line) {
  auto text = line.dump() + "\n";
  writeAll(fd, text.data(), text.size());
}

// Two connected sockets: {client, host}.
struct Pair {
  int client;
  int host;
};

Pair directPair() {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 1);
  socklen_t length = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  int client = connectLoopback(ntohs(addr.sin_port));
  int host = ::accept(listener, nullptr, nullptr);
  int one = 1;
  ::setsockopt(host, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::close(listener);
  return {client, host};
}

// Registers a host with the relay and pairs a client with it; `control` stays open.
Pair relayedPair(std::uint16_t port, int& control) {
  DeviceIdentity identity(Bytes(32, 42));
  control = connectLoopback(port);
  writeLine(control, {{"role", "host"},
                      {"id", identity.hostID()},
                      {"v", 2},
                      {"key", base64::encode(identity.publicKey())}});
  auto challenge = Json::parse(readLine(control));
  auto nonce = base64::decode(challenge["nonce"].get<std::string>());
  auto sig = identity.sign(RelayServer::proofMessage(*nonce, identity.hostID()));
  writeLine(control, {{"type", "proof"}, {"sig", base64::encode(sig)}});
  if (Json::parse(readLine(control))["type"] != "registered") std::exit(1);
  int client = connectLoopback(port);
  writeLine(client, {{"role", "client"}, {"id", identity.hostID()}, {"v", 2}});
  auto incoming = Json::parse(readLine(control));
  int host = connectLoopback(port);
  writeLine(host, {{"role", "host-data"}, {"session", incoming["session"]}});
  if (!Json::parse(readLine(host))["ok"].get<bool>()) std::exit(1);
  if (!Json::parse(readLine(client))["ok"].get<bool>()) std::exit(1);
  return {client, host};
}

// Seconds to move `bytes` from client to host.
double throughput(const Pair& pair, std::size_t bytes) {
  std::vector<char> chunk(1 << 20, 'x');
  auto start = Clock::now();
  std::thread reader([&] {
    std::vector<char> sink(1 << 20);
    std::size_t left = bytes;
    while (left > 0) {
      auto r = ::recv(pair.host, sink.data(), std::min(sink.size(), left), 0);
      if (r <= 0) std::exit(1);
      left -= static_cast<std::size_t>(r);
    }
  });
  for (std::size_t sent = 0; sent < bytes; sent += chunk.size()) {
    writeAll(pair.client, chunk.data(), std::min(chunk.size(), bytes - sent));
  }
  reader.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Round-trip times in microseconds, sorted.
std::vector<double> roundTrips(const Pair& pair, int count) {
  std::thread echo([&] {
    char message[64];
    for (int i = 0; i < count; ++i) {
      readAll(pair.host, message, sizeof message);
      writeAll(pair.host, message, sizeof message);
    }
  });
  std::vector<double> times;
  char message[64] = {};
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    writeAll(pair.client, message, sizeof message);
    readAll(pair.client, message, sizeof message);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  echo.join();
  std::sort(times.begin(), times.end());
  return times;
}

// User + system seconds of a process so far.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double percentile(const std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
}

}  // namespace
}  // namespace ombrel

int main(int argc, char** argv) {
  using namespace ombrel;
  std::size_t megabytes = argc > 1 ? std::stoul(argv[1]) : 2048;
  int trips = argc > 2 ? std::stoi(argv[2]) : 5000;
  const std::size_t bytes = megabytes << 20;

  test::ChildProcess relay(
      {OMBREL_BINARY_DIR "/tools/ombrel-relay/ombrel-relay", "--listen", "127.0.0.1:0"},
      {.captureStdout = true});
  auto listening = relay.readLine();
  if (!listening) return 1;
  auto port = Json::parse(*listening)["port"].get<std::uint16_t>();

  auto direct = directPair();
  int control = -1;
  auto relayed = relayedPair(port, control);

  // Warm both paths up before measuring.
  throughput(direct, 64 << 20);
  throughput(relayed, 64 << 20);
  double directSeconds = throughput(direct, bytes);
  double cpuBefore = cpuSeconds(relay.pid());
  double relayedSeconds = throughput(relayed, bytes);
  double relayCpu = cpuSeconds(relay.pid()) - cpuBefore;
  auto directTrips = roundTrips(direct, trips);
  auto relayedTrips = roundTrips(relayed, trips);

  const double gigabits = static_cast<double>(bytes) * 8 / 1e9;
  std::printf("relay_bench: %zu MiB, %d round trips of 64 bytes, loopback\n", megabytes, trips);
  std::printf("throughput  direct %.2f Gbit/s, relayed %.2f Gbit/s, ratio %.2f\n",
              gigabits / directSeconds, gigabits / relayedSeconds, directSeconds / relayedSeconds);
  std::printf(
      "round trip  direct p50 %.1f us p95 %.1f us, relayed p50 %.1f us p95 %.1f us, "
      "added p50 %.1f us, ratio %.2f\n",
      percentile(directTrips, 0.5), percentile(directTrips, 0.95), percentile(relayedTrips, 0.5),
      percentile(relayedTrips, 0.95), percentile(relayedTrips, 0.5) - percentile(directTrips, 0.5),
      percentile(relayedTrips, 0.5) / percentile(directTrips, 0.5));
  std::printf("relay CPU   %.3f core-seconds per Gbit spliced (%.2f cores at 1 Gbit/s)\n",
              relayCpu / gigabits, relayCpu / gigabits);
  for (int fd : {direct.client, direct.host, relayed.client, relayed.host, control}) ::close(fd);
  relay.signal(SIGTERM);
  return relay.wait() == 0 ? 0 : 1;
}
