#include "OmbrelKit/tcp_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/write.hpp>

#include <chrono>
#include <set>
#include <thread>

#include "base/runtime.h"
#include "support/loopback.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

using test::LoopbackListener;
using test::Mailbox;
using Error = CorvaneByteTransport::Error;

struct Received {
  std::optional<Bytes> data;
  bool complete;
  Error error;
};

// Records every callback of one transport.
struct Probe {
  Mailbox<bool> ready;
  Mailbox<Error> closed;
  Mailbox<Received> received;
  Mailbox<Error> sent;

  void attach(CorvaneByteTransport& transport) {
    transport.onReady = [this] { ready.put(true); };
    transport.onClose = [this](Error error) { closed.put(error); };
  }
  CorvaneByteTransport::ReceiveCompletion receiver() {
    return [this](std::optional<Bytes> data, bool complete, Error error) {
      received.put({std::move(data), complete, error});
    };
  }
};

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof(value);
  getsockopt(fd, level, name, &value, &size);
  return value;
}

class TCPTransportTest : public ::testing::Test {
 protected:
  // A connected client (outbound) and host (accepted) pair, both started and ready.
  void connectPair(const asio::ip::address& address = asio::ip::address_v4::loopback()) {
    LoopbackListener listener(runtime.context(), address);
    client = TCPTransport::connect(address.to_string(), listener.port());
    clientProbe.attach(*client);
    client->start(clientQueue);
    host = TCPTransport::accepted(listener.accept());
    hostProbe.attach(*host);
    host->start(hostQueue);
    ASSERT_TRUE(clientProbe.ready.take());
    ASSERT_TRUE(hostProbe.ready.take());
  }

  void send(TCPTransport& transport, const std::shared_ptr<SerialQueue>& queue, Bytes data,
            Probe& probe) {
    queue->post([&transport, &probe, data = std::move(data)]() mutable {
      transport.send(std::move(data), [&probe](Error error) { probe.sent.put(error); });
    });
  }

  void receive(TCPTransport& transport, const std::shared_ptr<SerialQueue>& queue,
               std::size_t minimum, std::size_t maximum, Probe& probe) {
    queue->post([&transport, &probe, minimum, maximum] {
      transport.receive(minimum, maximum, probe.receiver());
    });
  }

  // Declared before the runtime so that they outlive its threads.
  Probe clientProbe, hostProbe;
  Runtime runtime;
  std::shared_ptr<SerialQueue> clientQueue = runtime.makeQueue("test.tcp.client");
  std::shared_ptr<SerialQueue> hostQueue = runtime.makeQueue("test.tcp.host");
  std::shared_ptr<TCPTransport> client, host;
};

TEST_F(TCPTransportTest, CarriesBytesBothWaysWithTheProductSocketOptions) {
  connectPair();
  EXPECT_TRUE(client->outbound());
  EXPECT_FALSE(host->outbound());
  EXPECT_EQ(client->state(), TCPTransport::State::ready);
  for (auto* transport : {client.get(), host.get()}) {
    const int fd = (transport == client.get() ? clientQueue : hostQueue)->sync([&] {
      return transport->nativeHandle();
    });
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 15);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(intOption(fd, IPPROTO_IP, IP_TOS), 34 << 2);
  }
  send(*client, clientQueue, toBytes("hello"), clientProbe);
  auto sent = clientProbe.sent.take();
  ASSERT_TRUE(sent);
  EXPECT_FALSE(*sent);
  receive(*host, hostQueue, 5, 5, hostProbe);
  auto got = hostProbe.received.take();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, toBytes("hello"));
  EXPECT_FALSE(got->complete);
  EXPECT_FALSE(got->error);
}

TEST_F(TCPTransportTest, MarksIPv6TrafficClass) {
  std::error_code error;
  asio::ip::tcp::acceptor probe(runtime.context());
  probe.open(asio::ip::tcp::v6(), error);
  if (!error) probe.bind({asio::ip::address_v6::loopback(), 0}, error);
  if (error) GTEST_SKIP() << "no IPv6 loopback here";
  probe.close();
  connectPair(asio::ip::address_v6::loopback());
  const int fd = clientQueue->sync([&] { return client->nativeHandle(); });
  EXPECT_EQ(intOption(fd, IPPROTO_IPV6, IPV6_TCLASS), 34 << 2);
}

TEST_F(TCPTransportTest, ReceivesNeverExceedTheMaximumAndKeepStreamOrder) {
  connectPair();
  Bytes sent(100'000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
  send(*host, hostQueue, sent, hostProbe);
  // Several sizes, the largest above the initial read buffer, all sent in one piece.
  Bytes assembled;
  for (std::size_t want : {1u, 3u, 4096u, 70'000u}) {
    receive(*client, clientQueue, want, want, clientProbe);
    auto got = clientProbe.received.take();
    ASSERT_TRUE(got && got->data);
    EXPECT_EQ(got->data->size(), want);
    assembled.insert(assembled.end(), got->data->begin(), got->data->end());
  }
  // A loose request takes what is there, still within its maximum.
  while (assembled.size() < sent.size()) {
    receive(*client, clientQueue, 1, 10'000, clientProbe);
    auto got = clientProbe.received.take();
    ASSERT_TRUE(got && got->data);
    EXPECT_LE(got->data->size(), 10'000u);
    assembled.insert(assembled.end(), got->data->begin(), got->data->end());
  }
  EXPECT_EQ(assembled, sent);
}

// A connection asks for its next bytes from inside the completion of the previous read;
// that read must start once, and the stream must stay in order.
TEST_F(TCPTransportTest, ReceiveIssuedFromACompletionKeepsStreamOrder) {
  connectPair();
  Bytes sent(64 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 13 + 1);
  send(*host, hostQueue, sent, hostProbe);
  Bytes assembled;
  Mailbox<bool> done;
  std::function<void()> next = [&] {
    const std::size_t want = assembled.size() % 2 ? 100 : 4;
    client->receive(want, want, [&](std::optional<Bytes> data, bool, Error error) {
      if (error || !data) return done.put(false);
      assembled.insert(assembled.end(), data->begin(), data->end());
      if (assembled.size() + 100 > sent.size()) return done.put(true);
      next();
    });
  };
  clientQueue->post(next);
  EXPECT_EQ(done.take(), true);
  EXPECT_TRUE(std::equal(assembled.begin(), assembled.end(), sent.begin()));
}

TEST_F(TCPTransportTest, PeerEndingTheStreamIsCompletionNotClose) {
  connectPair();
  send(*host, hostQueue, toBytes("ab"), hostProbe);
  ASSERT_TRUE(hostProbe.sent.take());
  hostQueue->sync([&] { host->cancel(); });
  receive(*client, clientQueue, 4, 4, clientProbe);
  auto got = clientProbe.received.take();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, toBytes("ab"));
  EXPECT_TRUE(got->complete);
  EXPECT_FALSE(got->error);
  EXPECT_EQ(clientProbe.closed.size(), 0u);
}

TEST_F(TCPTransportTest, ResetByPeerFailsTheReadAndReportsClose) {
  LoopbackListener listener(runtime.context());
  client = TCPTransport::connect("127.0.0.1", listener.port());
  clientProbe.attach(*client);
  client->start(clientQueue);
  auto raw = listener.accept();
  ASSERT_TRUE(clientProbe.ready.take());
  receive(*client, clientQueue, 1, 1, clientProbe);
  raw.set_option(asio::socket_base::linger(true, 0));
  raw.close();
  auto got = clientProbe.received.take();
  ASSERT_TRUE(got);
  ASSERT_TRUE(got->error);
  EXPECT_EQ(*got->error, std::errc::connection_reset);
  auto closed = clientProbe.closed.take();
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ(**closed, std::errc::connection_reset);
  EXPECT_EQ(client->state(), TCPTransport::State::failed);
}

TEST_F(TCPTransportTest, OutboundRefusedConnectionWaitsAndReportsClose) {
  std::uint16_t port;
  {
    LoopbackListener closedAgain(runtime.context());
    port = closedAgain.port();
  }
  client = TCPTransport::connect("127.0.0.1", port);
  clientProbe.attach(*client);
  client->start(clientQueue);
  auto closed = clientProbe.closed.take();
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ(**closed, std::errc::connection_refused);
  EXPECT_EQ(client->state(), TCPTransport::State::waiting);
  EXPECT_EQ(clientProbe.ready.size(), 0u);
}

TEST_F(TCPTransportTest, CancelSilencesPendingReceivesAndSends) {
  connectPair();
  receive(*client, clientQueue, 10, 10, clientProbe);
  clientQueue->sync([&] {
    client->send(toBytes("x"), [&](Error error) { clientProbe.sent.put(error); });
    client->cancel();
  });
  send(*host, hostQueue, Bytes(10, 1), hostProbe);
  ASSERT_TRUE(hostProbe.sent.take());
  // The host sees the stream end; the cancelled side hears nothing at all.
  // (The "x" may or may not have left before the cancel.)
  std::optional<Received> got;
  do {
    receive(*host, hostQueue, 1, 100, hostProbe);
    got = hostProbe.received.take();
    ASSERT_TRUE(got);
  } while (!got->complete);
  clientQueue->sync([] {});
  EXPECT_EQ(clientProbe.received.size(), 0u);
  EXPECT_EQ(clientProbe.sent.size(), 0u);
  EXPECT_EQ(clientProbe.closed.size(), 0u);
  EXPECT_EQ(client->state(), TCPTransport::State::cancelled);
}

// Frames filled in buffers from takeBuffer: a buffer comes back for reuse only once its write is
// done, so overwriting it for the next frame never changes bytes still on their way, and the
// memory of a written frame serves the next one.
TEST_F(TCPTransportTest, BuffersComeBackForReuseOnlyOnceWritten) {
  connectPair();
  constexpr int frames = 64;
  constexpr std::size_t size = 300'000;
  const auto fill = [](std::uint8_t* data, int frame) {
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(frame * 31 + i);
  };
  // All queued at once, each in a buffer taken right after the previous send, while the peer
  // is not reading yet: any buffer handed back early would be overwritten mid-stream.
  std::set<const std::uint8_t*> used;
  clientQueue->sync([&] {
    for (int frame = 0; frame < frames; ++frame) {
      auto buffer = client->takeBuffer(size);
      ASSERT_EQ(buffer.size(), size);
      used.insert(buffer.data());
      fill(buffer.data(), frame);
      client->send(std::move(buffer), [&](Error error) { clientProbe.sent.put(error); });
    }
  });
  Bytes assembled;
  while (assembled.size() < frames * size) {
    receive(*host, hostQueue, 1, 1 << 20, hostProbe);
    auto got = hostProbe.received.take();
    ASSERT_TRUE(got && got->data);
    assembled.insert(assembled.end(), got->data->begin(), got->data->end());
  }
  Bytes expected(frames * size);
  for (int frame = 0; frame < frames; ++frame) fill(expected.data() + frame * size, frame);
  EXPECT_TRUE(assembled == expected);
  for (int frame = 0; frame < frames; ++frame) {
    auto sent = clientProbe.sent.take();
    ASSERT_TRUE(sent);
    EXPECT_FALSE(*sent);
  }
  // Written now: the next frame of the same size lands in memory a written one used.
  clientQueue->sync([&] { EXPECT_EQ(used.count(client->takeBuffer(size).data()), 1u); });
}

// An owner may cancel and drop its transport while a large write is half sent to a peer that
// does not read, or while a large read is half filled by a peer that keeps sending. The steps
// Asio still has queued for those operations must find the socket and the buffers they use
// alive (a sanitizer build reports any that do not), and the transport itself must still be
// freed. Dropped on the transport's queue and from another thread, several times each, since
// which step is queued at that moment varies from run to run.
TEST_F(TCPTransportTest, DroppedMidTransferLeavesNothingToTouchFreedMemory) {
  constexpr std::size_t chunk = 4 << 20;
  struct Case {
    const char* name;
    bool writing;
    bool onQueue;
  };
  const Case cases[] = {
      {"write, dropped on its queue", true, true},
      {"write, dropped from another thread", true, false},
      {"read, dropped on its queue", false, true},
      {"read, dropped from another thread", false, false},
  };
  for (const auto& c : cases) {
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(testing::Message() << c.name << ", round " << round);
      connectPair();
      if (!c.writing) {
        for (int i = 0; i < 8; ++i) send(*host, hostQueue, Bytes(chunk, 0xCD), hostProbe);
      }
      clientQueue->sync([&] {
        if (c.writing) {
          // The peer never reads: the first of these goes partly out, the rest wait.
          for (int i = 0; i < 8; ++i) {
            client->send(Bytes(chunk, 0xAB), [&](Error error) { clientProbe.sent.put(error); });
          }
        } else {
          // More than the peer sends, so the read is still filling when it is dropped.
          client->receive(16 * chunk, 16 * chunk, clientProbe.receiver());
        }
      });
      // Let the transfer get under way (a read has taken in some bytes by now).
      if (!c.writing) {
        for (int i = 0; i < 20; ++i) clientQueue->sync([] {});
      }
      const std::weak_ptr<TCPTransport> released = client;
      const auto heard = [&] {
        return clientProbe.sent.size() + clientProbe.received.size() + clientProbe.closed.size();
      };
      std::size_t heardAtDrop = 0;
      if (c.onQueue) {
        clientQueue->sync([&] {
          client->cancel();
          client = nullptr;
          heardAtDrop = heard();
        });
      } else {
        client->cancel();
        client = nullptr;
      }
      // Give Asio's queued steps every chance to run before the next round.
      for (int i = 0; i < 20; ++i) {
        clientQueue->sync([] {});
        hostQueue->sync([] {});
      }
      for (int i = 0; i < 200 && !released.expired(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_TRUE(released.expired());
      hostQueue->sync([&] { host->cancel(); });
      host = nullptr;
      // (From another thread, a completion may still come before the cancel.)
      if (c.onQueue) {
        EXPECT_EQ(heard(), heardAtDrop);
      }
    }
  }
}

TEST(TCPTransportStateTest, WaitingClosesOnlyOutboundConnections) {
  using State = TCPTransport::State;
  const Error reset = std::make_error_code(std::errc::connection_reset);
  struct Case {
    State state;
    bool outbound;
    std::optional<Error> report;
  };
  const Case cases[] = {
      {State::setup, true, std::nullopt}, {State::preparing, true, std::nullopt},
      {State::ready, true, std::nullopt}, {State::ready, false, std::nullopt},
      {State::waiting, true, reset},      {State::waiting, false, std::nullopt},
      {State::failed, true, reset},       {State::failed, false, reset},
      {State::cancelled, true, Error{}},  {State::cancelled, false, Error{}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TCPTransport::closeReport(c.state, c.outbound, reset), c.report)
        << static_cast<int>(c.state) << " outbound " << c.outbound;
  }
}

// The connection timeout runs on the injected clock: a connect that the peer never answers
// turns into "waiting" exactly when 10 s have passed, without the test waiting 10 s.
TEST(TCPTransportTimeoutTest, OutboundConnectTimesOutAfterTenSeconds) {
  Probe probe;
  auto clock = std::make_shared<ManualClock>();
  Runtime runtime(Runtime::Options{.clock = clock});
  auto queue = runtime.makeQueue("test.tcp.timeout");
  // A listener that never accepts, its backlog filled: further handshakes are not answered.
  LoopbackListener listener(runtime.context(), asio::ip::address_v4::loopback(), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(fd);
  }
  auto transport = TCPTransport::connect("127.0.0.1", listener.port());
  probe.attach(*transport);
  transport->start(queue);
  // Let the connect get under way, then move time to just before the deadline.
  queue->sync([] {});
  for (int i = 0; i < 100 && clock->pendingTimers() == 0; ++i) queue->sync([] {});
  ASSERT_EQ(clock->pendingTimers(), 1u);
  clock->advance(9.9);
  if (transport->state() == TCPTransport::State::ready) {
    GTEST_SKIP() << "this kernel answered a connect beyond the backlog";
  }
  EXPECT_EQ(probe.closed.size(), 0u);
  clock->advance(0.1);
  auto closed = probe.closed.take();
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ(**closed, std::errc::timed_out);
  EXPECT_EQ(transport->state(), TCPTransport::State::waiting);
  for (int fd : fillers) ::close(fd);
}

}  // namespace
}  // namespace ombrel
