// NVConnection against its own building blocks, measured in one run and printed as ratios:
//   throughput  one-way 256 KiB messages over loopback TCP vs the raw CipherState seal rate
//               (goal: ratio >= 0.50), with the producer handing over messages it has, and
//               again with a producer that copies each message in
//   handshakes  host-side handshakes per second over loopback vs the summed crypto cost of
//               both sides' handshake steps (goal: ratio >= 0.70)
//   memory      heap per idle established connection (mallinfo2 delta over 200 pairs)
// Run: build/rel/bench/connection_bench [throughput] [handshakes [count]] [memory]
#include <malloc.h>
#include <time.h>

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

// CPU time of the whole process, every thread: on a machine others load too, the CPU a
// transfer costs moves far less than its wall time.
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Rate {
  double wall;  // bytes per second
  double cpu;   // bytes per CPU second
};

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

// Sends `messages` messages of `messageSize` bytes one way and returns the rate in bytes per
// second. A producer that `copies` builds each message from one template, as a caller passing
// the same bytes each time would; otherwise it hands over messages it already has, so only the
// connection's own work is measured (the bodies the host receives come back as new messages).
Rate oneWay(Pair& pair, std::size_t messageSize, int messages, bool copies) {
  const Bytes body(messageSize, 0x5A);
  std::mutex mutex;
  std::condition_variable changed;
  int received = 0;
  std::vector<Bytes> ready;
  if (!copies) ready.assign(40, body);
  pair.host->queue()->sync([&] {
    pair.host->onMessage = [&](MessageType, Bytes message) {
      std::lock_guard lock(mutex);
      ++received;
      if (!copies) ready.push_back(std::move(message));
      changed.notify_all();
    };
  });
  // Keep up to 8 MiB queued, as a producer applying backpressure would. It sleeps until a send
  // completes rather than spinning: a spinning producer takes a core from the connection.
  int completed = 0;
  const auto sent = [&](bool) {
    std::lock_guard lock(mutex);
    ++completed;
    changed.notify_all();
  };
  const auto start = Steady::now();
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < messages; ++i) {
    Bytes message;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] {
        return pair.client->pendingBytes() <= 8 * 1024 * 1024 && (copies || !ready.empty());
      });
      if (!copies) {
        message = std::move(ready.back());
        ready.pop_back();
      }
    }
    if (copies) message = body;
    pair.client->send(MessageType::videoFrame, std::move(message), sent);
  }
  {
    std::unique_lock lock(mutex);
    // Every completion too: they use this frame's mutex.
    changed.wait(lock, [&] { return received == messages && completed == messages; });
  }
  const double bytes = double(messages) * messageSize;
  const Rate rate{bytes / seconds(Steady::now() - start), bytes / (cpuSeconds() - cpuStart)};
  pair.host->queue()->sync([&] { pair.host->onMessage = nullptr; });
  return rate;
}

void throughput(Runtime& runtime, asio::ip::tcp::acceptor& acceptor) {
  constexpr std::size_t messageSize = 256 * 1024;
  constexpr int messages = 2000;

  // Baseline: sealing alone, as the send path does it (type byte + body, into a frame).
  CipherState seal(Bytes(32, 7));
  Bytes plaintext(1 + messageSize, 0x5A);
  const auto sealStart = Steady::now();
  const double sealCPUStart = cpuSeconds();
  for (int i = 0; i < 500; ++i) {
    Bytes frame;
    frame.reserve(4 + plaintext.size() + 16);
    frame.resize(4);
    seal.sealInto(plaintext, frame);
  }
  const Rate sealRate{500.0 * messageSize / seconds(Steady::now() - sealStart),
                      500.0 * messageSize / (cpuSeconds() - sealCPUStart)};

  Pair pair = connectPair(runtime, acceptor);
  oneWay(pair, messageSize, messages / 10, false);  // past TCP's and the allocator's warm-up
  const Rate rate = oneWay(pair, messageSize, messages, false);
  const Rate copying = oneWay(pair, messageSize, messages, true);
  std::printf(
      "throughput: %.1f MB/s one-way (256 KiB messages), seal alone %.1f MB/s, ratio %.2f "
      "(goal >= 0.50)\n"
      "            per CPU second %.1f MB vs seal %.1f MB, ratio %.2f\n"
      "            producer copying each message in: %.1f MB/s, ratio %.2f; per CPU second "
      "ratio %.2f\n",
      rate.wall / 1e6, sealRate.wall / 1e6, rate.wall / sealRate.wall, rate.cpu / 1e6,
      sealRate.cpu / 1e6, rate.cpu / sealRate.cpu, copying.wall / 1e6, copying.wall / sealRate.wall,
      copying.cpu / sealRate.cpu);
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

// With an argument, runs only the measurements named (throughput, handshakes, memory), so a
// profile of one is not mixed with the others; a number after "handshakes" is how many to time.
int main(int argc, char** argv) {
  log::setSink([](std::string_view) {});
  Runtime runtime;
  asio::ip::tcp::acceptor acceptor(runtime.context(), {asio::ip::address_v4::loopback(), 0});
  acceptor.listen();
  const auto wanted = [&](std::string_view name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (name == argv[i]) return true;
    }
    return false;
  };
  if (wanted("throughput")) throughput(runtime, acceptor);
  if (wanted("handshakes")) {
    int count = 300;
    for (int i = 1; i + 1 < argc; ++i) {
      if (std::string_view(argv[i]) == "handshakes" && std::atoi(argv[i + 1]) > 0) {
        count = std::atoi(argv[i + 1]);
      }
    }
    handshakes(runtime, acceptor, count);
  }
  if (wanted("memory")) memory(runtime, acceptor);
  return 0;
}
