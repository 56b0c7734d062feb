// NVConnection against its own building blocks, measured in one run and printed as ratios:
//   throughput  one-way 256 KiB messages over loopback TCP vs the raw CipherState seal rate
//   handshakes  host-side handshakes per second over loopback vs the summed crypto cost of
//               both sides' handshake steps (goal: ratio >= 0.70)
//   memory      heap per idle established connection (mallinfo2 delta over 200 pairs)
// `connection_bench handshakes [count]` runs only the handshake part (for profiling it).
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string_view>
#include <vector>

#include "OmbrelKit/nv_connection.h"
#include "base/log.h"
#include "base/runtime.h"

using namespace ombrel;
using Steady = std::chrono::steady_clock;

namespace {

double seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

DeviceIdentity clientIdentity() { return DeviceIdentity(Bytes(32, 0x11)); }
DeviceIdentity hostIdentity() { return DeviceIdentity(Bytes(32, 0x22)); }

struct Pair {
  std::shared_ptr<NVConnection> client, host;
};

// A client and a host connection over loopback TCP, both established.
Pair connectPair(Runtime& runtime, asio::ip::tcp::acceptor& acceptor) {
  Pair pair;
  std::promise<void> clientReady, hostReady;
  pair.client =
      NVConnection::create(TCPTransport::connect("127.0.0.1", acceptor.local_endpoint().port()),
                           NVConnection::Role::client, clientIdentity(), std::nullopt, runtime);
  pair.client->onReady = [&] { clientReady.set_value(); };
  pair.client->start();
  pair.host = NVConnection::create(acceptor.accept(), NVConnection::Role::host, hostIdentity(),
                                   std::nullopt, runtime);
  pair.host->onReady = [&] { hostReady.set_value(); };
  pair.host->start();
  clientReady.get_future().wait();
  hostReady.get_future().wait();
  pair.client->onReady = nullptr;
  pair.host->queue()->sync([&] { pair.host->onReady = nullptr; });
  pair.client->queue()->sync([&] { pair.client->onReady = nullptr; });
  return pair;
}

void throughput(Runtime& runtime, asio::ip::tcp::acceptor& acceptor) {
  constexpr std::size_t messageSize = 256 * 1024;
  constexpr int messages = 2000;
  const Bytes body(messageSize, 0x5A);

  // Baseline: sealing alone, as the send path does it (type byte + body, into a frame).
  CipherState seal(Bytes(32, 7));
  Bytes plaintext(1 + messageSize, 0x5A);
  const auto sealStart = Steady::now();
  for (int i = 0; i < 500; ++i) {
    Bytes frame;
    frame.reserve(4 + plaintext.size() + 16);
    frame.resize(4);
    seal.sealInto(plaintext, frame);
  }
  const double sealRate = 500.0 * messageSize / seconds(Steady::now() - sealStart);

  Pair pair = connectPair(runtime, acceptor);
  std::mutex mutex;
  std::condition_variable changed;
  int received = 0;
  pair.host->queue()->sync([&] {
    pair.host->onMessage = [&](MessageType, Bytes) {
      std::lock_guard lock(mutex);
      ++received;
      changed.notify_all();
    };
  });
  // Keep up to 8 MiB queued, as a producer applying backpressure would.
  const auto start = Steady::now();
  for (int i = 0; i < messages; ++i) {
    while (pair.client->pendingBytes() > 8 * 1024 * 1024) std::this_thread::yield();
    pair.client->send(MessageType::videoFrame, body);
  }
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return received == messages; });
  }
  const double rate = double(messages) * messageSize / seconds(Steady::now() - start);
  std::printf(
      "throughput: %.1f MB/s one-way (256 KiB messages), seal alone %.1f MB/s, ratio %.2f\n",
      rate / 1e6, sealRate / 1e6, rate / sealRate);
  pair.client->close();
  pair.host->close();
}

void handshakes(Runtime& runtime, asio::ip::tcp::acceptor& acceptor, int count = 300) {
  // The two sides are timed in alternating rounds, so that a load that comes and goes on a
  // shared machine weighs on both and not on whichever happened to run during it.
  constexpr int rounds = 10;
  Steady::duration cryptoTime{}, loopbackTime{};
  for (int round = 0; round < rounds; ++round) {
    const int n = count / rounds + (round < count % rounds ? 1 : 0);
    // Crypto alone: both sides' steps in one thread.
    const auto cryptoStart = Steady::now();
    for (int i = 0; i < n; ++i) {
      ClientHandshake client(clientIdentity());
      HostHandshake host(hostIdentity());
      Bytes reply = host.handleClientInit(client.makeInit());
      auto finish = client.handleHostInit(reply);
      host.handleClientFinish(finish.finish);
    }
    cryptoTime += Steady::now() - cryptoStart;

    const auto start = Steady::now();
    for (int i = 0; i < n; ++i) {
      Pair pair = connectPair(runtime, acceptor);
      pair.client->close();
      pair.host->close();
    }
    loopbackTime += Steady::now() - start;
  }
  const double cryptoPerSecond = count / seconds(cryptoTime);
  const double loopbackPerSecond = count / seconds(loopbackTime);
  std::printf(
      "handshakes: %.0f/s over loopback TCP, crypto alone %.0f/s, ratio %.2f (goal >= 0.70)\n",
      loopbackPerSecond, cryptoPerSecond, loopbackPerSecond / cryptoPerSecond);
}

void memory(Runtime& runtime, asio::ip::tcp::acceptor& acceptor) {
  constexpr int count = 200;
  std::vector<Pair> pairs;
  pairs.reserve(count);
  // One pair first so that one-time allocations (resolver thread, caches) are not counted.
  Pair warm = connectPair(runtime, acceptor);
  const auto before = mallinfo2().uordblks;
  for (int i = 0; i < count; ++i) pairs.push_back(connectPair(runtime, acceptor));
  const auto after = mallinfo2().uordblks;
  std::printf("memory: %.1f KiB per idle established connection (%d pairs, both ends)\n",
              double(after - before) / (2.0 * count) / 1024.0, count);
  for (auto& pair : pairs) {
    pair.client->close();
    pair.host->close();
  }
  warm.client->close();
  warm.host->close();
}

}  // namespace

int main(int argc, char** argv) {
  log::setSink([](std::string_view) {});
  Runtime runtime;
  asio::ip::tcp::acceptor acceptor(runtime.context(), {asio::ip::address_v4::loopback(), 0});
  acceptor.listen();
  if (argc > 1 && std::string_view(argv[1]) == "handshakes") {
    handshakes(runtime, acceptor, argc > 2 ? std::max(1, std::atoi(argv[2])) : 300);
    return 0;
  }
  throughput(runtime, acceptor);
  handshakes(runtime, acceptor);
  memory(runtime, acceptor);
  return 0;
}
