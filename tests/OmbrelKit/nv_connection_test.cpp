#include "OmbrelKit/nv_connection.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <future>
#include <thread>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include "CorvaneKit/fake/fake_byte_transport.h"
#include "OmbrelKit/byte_codec.h"

#include "support/loopback.h"
#include "support/mailbox.h"
#include "support/queue_gate.h"

namespace ombrel {
namespace {

using test::Mailbox;
using test::QueueGate;
using Role = NVConnection::Role;

DeviceIdentity clientIdentity() { return DeviceIdentity(Bytes(32, 0x11)); }
DeviceIdentity hostIdentity() { return DeviceIdentity(Bytes(32, 0x22)); }

Bytes framed(ByteView payload) {
  Bytes frame(4);
  writeU32BE(frame.data(), static_cast<std::uint32_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes header(std::uint32_t length) {
  Bytes bytes(4);
  writeU32BE(bytes.data(), length);
  return bytes;
}

// What one connection reported, recorded from its queue. The mailboxes are shared with the
// callbacks, so a late callback never writes into a finished test.
struct Events {
  struct Ready {
    std::uint64_t bytesSent, bytesReceived;
  };
  struct Boxes {
    Mailbox<Ready> ready;
    Mailbox<std::pair<MessageType, Bytes>> messages;
    Mailbox<std::optional<NVError>> closed;
  };
  std::shared_ptr<Boxes> box = std::make_shared<Boxes>();

  Mailbox<Ready>& ready() { return box->ready; }
  Mailbox<std::pair<MessageType, Bytes>>& messages() { return box->messages; }
  Mailbox<std::optional<NVError>>& closed() { return box->closed; }

  void attach(NVConnection& connection) {
    connection.onReady = [box = box, &connection] {
      box->ready.put({connection.bytesSent(), connection.bytesReceived()});
    };
    connection.onMessage = [box = box](MessageType type, Bytes body) {
      box->messages.put({type, std::move(body)});
    };
    connection.onClose = [box = box](std::optional<NVError> error) {
      box->closed.put(std::move(error));
    };
  }
};

class ConnectionTest : public ::testing::Test {
 protected:
  // Waits for the connection's queue to run everything posted so far.
  static void drain(const std::shared_ptr<NVConnection>& connection) {
    connection->queue()->sync([] {});
  }

  Runtime runtime;
};

// ---- two real connections ---------------------------------------------------------------

class ConnectionPairTest : public ConnectionTest {
 protected:
  void connectOverTCP() {
    test::LoopbackListener listener(runtime.context());
    client = NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()), Role::client,
                                  clientIdentity(), std::nullopt, runtime);
    clientEvents.attach(*client);
    client->start();
    host =
        NVConnection::create(listener.accept(), Role::host, hostIdentity(), std::nullopt, runtime);
    hostEvents.attach(*host);
    host->start();
  }

  void connectOverFakes(FakeByteTransport::Config clientConfig = {}) {
    std::tie(clientTransport, hostTransport) = FakeByteTransport::makePair(clientConfig, {});
    client = NVConnection::create(clientTransport, Role::client, clientIdentity(), std::nullopt,
                                  runtime);
    host = NVConnection::create(hostTransport, Role::host, hostIdentity(), std::nullopt, runtime);
    clientEvents.attach(*client);
    hostEvents.attach(*host);
    client->start();
    host->start();
  }

  std::shared_ptr<FakeByteTransport> clientTransport, hostTransport;
  std::shared_ptr<NVConnection> client, host;
  Events clientEvents, hostEvents;
};

TEST_F(ConnectionPairTest, HandshakeOverLoopbackTCPThenMessagesBothWays) {
  connectOverTCP();
  auto hostReady = hostEvents.ready().take();
  auto clientReady = clientEvents.ready().take();
  ASSERT_TRUE(hostReady && clientReady);
  // The host read 4 + 68 and 4 + 96, the client 4 + 128; no sealed frame went out yet.
  EXPECT_EQ(hostReady->bytesReceived, 172u);
  EXPECT_EQ(clientReady->bytesReceived, 132u);
  EXPECT_EQ(hostReady->bytesSent, 0u);
  EXPECT_EQ(clientReady->bytesSent, 0u);

  EXPECT_EQ(host->peerPublicKey(), clientIdentity().publicKey());
  EXPECT_EQ(client->peerPublicKey(), hostIdentity().publicKey());
  EXPECT_EQ(client->peerHostID(), hostIdentity().deviceID());
  ASSERT_TRUE(host->sas());
  EXPECT_EQ(host->sas(), client->sas());
  EXPECT_EQ(host->transcript(), client->transcript());
  EXPECT_EQ(client->queue()->label(), "nerovalde.connection");
  ASSERT_TRUE(client->connection());
  EXPECT_TRUE(client->connection()->outbound());
  EXPECT_FALSE(host->connection()->outbound());

  Mailbox<bool> accepted;
  client->send(MessageType::ping, toBytes("12345"), [&](bool ok) { accepted.put(ok); });
  EXPECT_EQ(accepted.take(), true);
  auto message = hostEvents.messages().take();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->first, MessageType::ping);
  EXPECT_EQ(message->second, toBytes("12345"));
  // One frame of 4 + (1 + 5 + 16) bytes on each count.
  EXPECT_EQ(client->bytesSent(), 26u);
  EXPECT_EQ(host->bytesReceived(), 172u + 26u);

  Bytes large(300'000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i);
  host->send(MessageType::videoFrame, large);
  auto reply = clientEvents.messages().take();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, MessageType::videoFrame);
  EXPECT_EQ(reply->second, large);
  EXPECT_EQ(host->pendingBytes(), 0);

  // Closing one side ends the other with an orderly end of stream.
  client->close();
  auto clientClosed = clientEvents.closed().take();
  ASSERT_TRUE(clientClosed);
  EXPECT_FALSE(*clientClosed);
  auto hostClosed = hostEvents.closed().take();
  ASSERT_TRUE(hostClosed);
  EXPECT_FALSE(*hostClosed);
}

// A burst of sends while the peer is not reading backs up in the sender, whose queued frames
// then leave together: every message must still arrive whole and in order, every completion
// report success in order, and the pending count come back to zero.
TEST_F(ConnectionPairTest, BurstWrittenWhileThePeerStallsArrivesCompleteAndInOrder) {
  connectOverTCP();
  ASSERT_TRUE(hostEvents.ready().take());
  ASSERT_TRUE(clientEvents.ready().take());
  // The host's reader holds on its first message until the client has sent everything.
  std::promise<void> resume;
  auto resumed = resume.get_future().share();
  host->queue()->sync([&] {
    host->onMessage = [box = hostEvents.box, resumed, first = true](MessageType type,
                                                                    Bytes body) mutable {
      if (first) resumed.wait();
      first = false;
      box->messages.put({type, std::move(body)});
    };
  });
  // Mostly small messages, with a few large ones that fill a gathered write on their own.
  auto body = [](int i) {
    Bytes bytes(i % 97 == 0 ? 300'000 + i : i % 41, static_cast<std::uint8_t>(i));
    if (!bytes.empty()) bytes.front() = static_cast<std::uint8_t>(i >> 8);
    return bytes;
  };
  constexpr int count = 3000;
  Mailbox<int> completed;
  std::int64_t expectedPending = 0;
  for (int i = 0; i < count; ++i) {
    Bytes bytes = body(i);
    expectedPending += static_cast<std::int64_t>(bytes.size()) + 21;
    client->send(MessageType::audioFrame, std::move(bytes),
                 [&completed, i](bool ok) { completed.put(ok ? i : -1 - i); });
  }
  resume.set_value();
  for (int i = 0; i < count; ++i) {
    auto message = hostEvents.messages().take();
    ASSERT_TRUE(message) << "message " << i << " never arrived";
    ASSERT_EQ(message->second, body(i)) << "message " << i;
    ASSERT_EQ(completed.take(), i);
  }
  drain(client);
  EXPECT_EQ(client->pendingBytes(), 0);
  // A message's cost is its frame's size.
  EXPECT_EQ(client->bytesSent(), static_cast<std::uint64_t>(expectedPending));
  EXPECT_EQ(hostEvents.closed().size(), 0u);
}

TEST_F(ConnectionPairTest, MessageSentBeforeTheHandshakeIsRefusedAndNeverDelivered) {
  std::tie(clientTransport, hostTransport) = FakeByteTransport::makePair({}, {});
  client =
      NVConnection::create(clientTransport, Role::client, clientIdentity(), std::nullopt, runtime);
  host = NVConnection::create(hostTransport, Role::host, hostIdentity(), std::nullopt, runtime);
  clientEvents.attach(*client);
  hostEvents.attach(*host);
  client->start();
  Mailbox<bool> early;
  {
    QueueGate gate(*client->queue());
    client->send(MessageType::clipboard, Bytes(100), [&](bool ok) { early.put(ok); });
    EXPECT_EQ(client->pendingBytes(), 121);
  }
  EXPECT_EQ(early.take(), false);
  EXPECT_EQ(client->pendingBytes(), 0);
  // Only now does the host answer; the refused message must not follow the handshake.
  host->start();
  ASSERT_TRUE(clientEvents.ready().take());
  ASSERT_TRUE(hostEvents.ready().take());
  client->send(MessageType::ping, toBytes("after"));
  auto message = hostEvents.messages().take();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->second, toBytes("after"));
  drain(host);
  EXPECT_EQ(hostEvents.messages().size(), 0u);
}

TEST_F(ConnectionPairTest, PendingBytesRiseAtOnceAndFallOnCompletion) {
  connectOverFakes({.holdSendCompletions = true});
  ASSERT_TRUE(clientEvents.ready().take());
  ASSERT_TRUE(hostEvents.ready().take());
  Mailbox<bool> completions;
  {
    QueueGate gate(*client->queue());
    client->send(MessageType::videoFrame, Bytes(1000), [&](bool ok) { completions.put(ok); });
    client->send(MessageType::audioFrame, Bytes(10), [&](bool ok) { completions.put(ok); });
    EXPECT_EQ(client->pendingBytes(), 1021 + 31);
  }
  drain(client);
  // Handed to the transport, not yet completed by it.
  EXPECT_EQ(client->pendingBytes(), 1021 + 31);
  ASSERT_TRUE(hostEvents.messages().take());
  clientTransport->completeSends();
  EXPECT_EQ(completions.take(), true);
  EXPECT_EQ(completions.take(), true);
  EXPECT_EQ(client->pendingBytes(), 0);

  // A failed send completes false and gives its bytes back too.
  client->send(MessageType::ping, Bytes(5), [&](bool ok) { completions.put(ok); });
  drain(client);
  clientTransport->completeSends(std::make_error_code(std::errc::broken_pipe));
  EXPECT_EQ(completions.take(), false);
  EXPECT_EQ(client->pendingBytes(), 0);

  // Frames still in the transport when the connection closes are settled, not forgotten.
  client->send(MessageType::ping, Bytes(7), [&](bool ok) { completions.put(ok); });
  drain(client);
  EXPECT_EQ(client->pendingBytes(), 28);
  client->close();
  EXPECT_EQ(completions.take(), false);
  EXPECT_EQ(client->pendingBytes(), 0);
  // And every send after close is refused.
  client->send(MessageType::ping, Bytes(3), [&](bool ok) { completions.put(ok); });
  EXPECT_EQ(completions.take(), false);
  EXPECT_EQ(client->pendingBytes(), 0);
}

TEST_F(ConnectionPairTest, CloseReportsOnceAndLateTransportEventsCallNothing) {
  connectOverFakes();
  ASSERT_TRUE(clientEvents.ready().take());
  ASSERT_TRUE(hostEvents.ready().take());
  client->close();
  client->close();
  auto closed = clientEvents.closed().take();
  ASSERT_TRUE(closed);
  EXPECT_FALSE(*closed);
  EXPECT_TRUE(clientTransport->isCancelled());
  clientTransport->close(std::make_error_code(std::errc::connection_reset));
  clientTransport->failReceive(std::make_error_code(std::errc::connection_reset));
  hostTransport->deliver(Bytes(30, 1));
  drain(client);
  EXPECT_EQ(clientEvents.closed().size(), 0u);
  EXPECT_EQ(clientEvents.messages().size(), 0u);
  // The peer saw the stream end: an orderly close.
  auto hostClosed = hostEvents.closed().take();
  ASSERT_TRUE(hostClosed);
  EXPECT_FALSE(*hostClosed);
}

TEST_F(ConnectionPairTest, TransportErrorClosesWithThatError) {
  connectOverFakes();
  ASSERT_TRUE(clientEvents.ready().take());
  clientTransport->close(std::make_error_code(std::errc::connection_reset));
  auto closed = clientEvents.closed().take();
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ((*closed)->kind(), NVError::Kind::system);
  EXPECT_EQ((*closed)->code(), std::errc::connection_reset);
}

TEST_F(ConnectionTest, OutboundConnectionRefusedClosesTheConnection) {
  std::uint16_t port;
  {
    test::LoopbackListener gone(runtime.context());
    port = gone.port();
  }
  auto client = NVConnection::create(TCPTransport::connect("127.0.0.1", port), Role::client,
                                     clientIdentity(), std::nullopt, runtime);
  Events events;
  events.attach(*client);
  client->start();
  auto closed = events.closed().take();
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ((*closed)->code(), std::errc::connection_refused);
  EXPECT_EQ(events.ready().size(), 0u);
}

TEST_F(ConnectionTest, UnreferencedConnectionIsReleasedWhileItsTransportIsOpen) {
  auto transport = FakeByteTransport::create();
  auto connection =
      NVConnection::create(transport, Role::host, hostIdentity(), std::nullopt, runtime);
  EXPECT_EQ(connection->queue()->label(), "ombrel.connection.ice");
  connection->start();
  drain(connection);
  std::weak_ptr<NVConnection> weak = connection;
  auto queue = connection->queue();
  connection.reset();
  queue->sync([] {});
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(transport->isCancelled());
}

// ---- a host connection driven frame by frame by the test ----------------------------------

// The test plays the client with the real handshake, so it holds the session keys and can
// write any frame, sealed or not, at the host.
class ConnectionHostTest : public ConnectionTest {
 public:
  void startHost(FakeByteTransport::Config config = {}, std::optional<Bytes> preamble = {}) {
    sentOffset = preamble ? 1 : 0;
    transport = FakeByteTransport::create(config);
    host =
        NVConnection::create(transport, Role::host, hostIdentity(), std::move(preamble), runtime);
    events.attach(*host);
    host->start();
  }

  // Sends the client's init (after `before`, in the same delivery), answers the host's reply
  // and waits for the host to be ready.
  void handshake(Bytes before = {}) {
    handshakeClient.emplace(clientIdentity());
    transport->deliver(concat(before, framed(handshakeClient->makeInit())));
    Bytes reply = waitForSent(1 + sentOffset);
    ASSERT_EQ(reply.size(), 4u + 128u);
    auto finish = handshakeClient->handleHostInit(ByteView(reply).subspan(4));
    transport->deliver(framed(finish.finish));
    auto ready = events.ready().take();
    ASSERT_TRUE(ready);
    readyCounts = *ready;
    toHost.emplace(finish.result.sendKey);
    fromHost.emplace(finish.result.receiveKey);
  }

  // Lets the host's queue run until `done` holds (or 10 s pass).
  template <typename Predicate>
  bool waitUntil(Predicate done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      host->queue()->sync([] {});
      std::this_thread::yield();
    }
    return true;
  }

  Bytes waitForSent(std::size_t count) {
    if (!waitUntil([&] { return transport->sent().size() >= count; })) return {};
    return transport->sent()[count - 1];
  }

  Bytes sealedFrame(std::uint8_t type, ByteView body) {
    Bytes plaintext = concat(Bytes{type}, body);
    return framed(toHost->seal(plaintext));
  }

  NVError closedError() {
    auto closed = events.closed().take();
    EXPECT_TRUE(closed && *closed);
    return closed && *closed ? **closed : NVError::closed();
  }

  std::shared_ptr<FakeByteTransport> transport;
  std::shared_ptr<NVConnection> host;
  Events events;
  std::optional<ClientHandshake> handshakeClient;
  std::optional<CipherState> toHost, fromHost;
  Events::Ready readyCounts{};
  std::size_t sentOffset = 0;
};

TEST_F(ConnectionHostTest, CountsHandshakeBytesAndDeliversSealedMessages) {
  startHost();
  handshake();
  EXPECT_EQ(readyCounts.bytesReceived, 172u);
  EXPECT_EQ(readyCounts.bytesSent, 0u);
  transport->deliver(sealedFrame(rawValue(MessageType::clientHello), toBytes("{}")));
  auto message = events.messages().take();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->first, MessageType::clientHello);
  EXPECT_EQ(message->second, toBytes("{}"));
  drain(host);
  EXPECT_EQ(host->bytesReceived(), 172u + 4 + 1 + 2 + 16);
  // Reads ask for exactly what the frame still lacks, never more.
  for (auto [minimum, maximum] : transport->receiveRequests()) EXPECT_EQ(minimum, maximum);

  // And what the host seals, the client opens.
  host->send(MessageType::hostHello, toBytes("hi"));
  Bytes frame = waitForSent(2);
  ASSERT_EQ(readU32BE(frame.data()), frame.size() - 4);
  EXPECT_EQ(fromHost->open(ByteView(frame).subspan(4)),
            concat(Bytes{rawValue(MessageType::hostHello)}, toBytes("hi")));
}

// Frames are opened in the buffer they were read into; however the bytes of two frames are cut
// into deliveries, both must open.
TEST_F(ConnectionHostTest, FramesSplitAcrossDeliveriesAtEveryPositionOpen) {
  startHost();
  handshake();
  const Bytes first = toBytes("first body"), second = toBytes("2nd");
  const std::size_t length = 2 * 4 + first.size() + second.size() + 2 * 17;
  for (std::size_t cut = 1; cut < length; ++cut) {
    SCOPED_TRACE(cut);
    // Sealed one after the other: the nonces must follow the frame order.
    Bytes both = sealedFrame(rawValue(MessageType::ping), first);
    both = concat(both, sealedFrame(rawValue(MessageType::pong), second));
    ASSERT_EQ(both.size(), length);
    transport->deliver(Bytes(both.begin(), both.begin() + cut));
    transport->deliver(Bytes(both.begin() + cut, both.end()));
    auto a = events.messages().take();
    auto b = events.messages().take();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, std::make_pair(MessageType::ping, first));
    EXPECT_EQ(*b, std::make_pair(MessageType::pong, second));
  }
  EXPECT_EQ(events.closed().size(), 0u);
}

TEST_F(ConnectionHostTest, UnknownTypeCodeIsDroppedAndTheNextFrameStillArrives) {
  startHost();
  handshake();
  Bytes unknown = sealedFrame(200, toBytes("future"));
  Bytes known = sealedFrame(rawValue(MessageType::ping), toBytes("next"));
  transport->deliver(concat(unknown, known));
  auto message = events.messages().take();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->first, MessageType::ping);
  EXPECT_EQ(message->second, toBytes("next"));
  EXPECT_EQ(events.closed().size(), 0u);
}

TEST_F(ConnectionHostTest, ReadingPausesWhileTheHostsOwnSendsAreBackedUpAndResumesAfter) {
  startHost({.holdSendCompletions = true});
  handshake();
  // A peer that does not read: what the host sends stays in the transport.
  host->send(MessageType::videoFrame, Bytes(NVConnection::readPauseBytes));
  drain(host);
  // Sealed in order: the nonces count up.
  Bytes a = sealedFrame(rawValue(MessageType::ping), toBytes("a"));
  Bytes b = sealedFrame(rawValue(MessageType::ping), toBytes("b"));
  transport->deliver(concat(a, b));
  auto first = events.messages().take();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->second, toBytes("a"));
  drain(host);
  drain(host);
  EXPECT_EQ(events.messages().size(), 0u) << "read on while its answers were backed up";

  transport->completeSends();
  auto second = events.messages().take();
  ASSERT_TRUE(second) << "reading never resumed";
  EXPECT_EQ(second->second, toBytes("b"));
  EXPECT_EQ(events.closed().size(), 0u);
}

TEST_F(ConnectionHostTest, FrameLengthLimits) {
  struct Case {
    const char* name;
    std::int64_t maxFrameSize;
    std::uint32_t length;
    std::optional<std::string> error;
  } cases[] = {
      {"at the limit", 16'448, 16'448, std::nullopt},
      {"one over", 16'448, 16'449, "frame length 16449"},
      {"zero", NVConnection::maxFrameSizeLimit, 0, "frame length 0"},
      {"over 64 MiB", NVConnection::maxFrameSizeLimit, 67'108'865, "frame length 67108865"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events = Events{};
    startHost();
    handshake();
    host->setMaxFrameSize(c.maxFrameSize);
    if (c.length >= 17 && c.length < 1'000'000) {
      // A sealed frame of exactly `length` payload bytes; larger ones are only announced.
      transport->deliver(sealedFrame(rawValue(MessageType::fileChunk), Bytes(c.length - 17, 9)));
    } else {
      transport->deliver(header(c.length));
    }
    if (c.error) {
      NVError error = closedError();
      EXPECT_EQ(error.kind(), NVError::Kind::invalid);
      EXPECT_EQ(error.errorDescription(), *c.error);
    } else {
      auto message = events.messages().take();
      ASSERT_TRUE(message);
      EXPECT_EQ(message->second.size(), c.length - 17u);
    }
  }
}

TEST_F(ConnectionHostTest, MaxFrameSizeIsClamped) {
  startHost();
  for (auto [set, expected] : std::initializer_list<std::pair<std::int64_t, std::int64_t>>{
           {0, 1}, {-5, 1}, {16'448, 16'448}, {1LL << 40, NVConnection::maxFrameSizeLimit}}) {
    host->setMaxFrameSize(set);
    EXPECT_EQ(host->maxFrameSize(), expected);
  }
}

TEST_F(ConnectionHostTest, HugeAnnouncedFrameAllocatesOnlyAsBytesArrive) {
  startHost();
  handshake();
  const auto before = mallinfo2().uordblks;
  transport->deliver(header(NVConnection::maxFrameSizeLimit));
  transport->deliver(Bytes(1000));
  // The read waits for the whole frame; it was announced, not reserved.
  EXPECT_TRUE(waitUntil([&] {
    return transport->receiveRequests().back().second ==
           std::size_t(NVConnection::maxFrameSizeLimit);
  }));
  const auto after = mallinfo2().uordblks;
  EXPECT_LT(after - std::min(after, before), 4u << 20) << "a 64 MiB header must not allocate";
  EXPECT_EQ(events.closed().size(), 0u);
}

TEST_F(ConnectionHostTest, BrokenSessionFramesClose) {
  struct Case {
    const char* name;
    std::function<Bytes(ConnectionHostTest&)> frame;
    NVError::Kind kind;
  } cases[] = {
      {"tampered",
       [](ConnectionHostTest& t) {
         Bytes frame = t.sealedFrame(rawValue(MessageType::ping), toBytes("abc"));
         frame[6] ^= 0x01;
         return frame;
       },
       NVError::Kind::crypto},
      {"empty plaintext", [](ConnectionHostTest& t) { return framed(t.toHost->seal({})); },
       NVError::Kind::truncated},
      {"shorter than a tag", [](ConnectionHostTest&) { return framed(Bytes(15, 0)); },
       NVError::Kind::truncated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events = Events{};
    startHost();
    handshake();
    transport->deliver(c.frame(*this));
    EXPECT_EQ(closedError().kind(), c.kind);
    EXPECT_EQ(events.messages().size(), 0u);
  }
}

TEST_F(ConnectionHostTest, TransportDeliveringMoreThanAskedCloses) {
  startHost({.extraBytesPerRead = 1});
  transport->deliver(Bytes(10, 0));
  NVError error = closedError();
  EXPECT_EQ(error.errorDescription(), "transport read overflow");
}

TEST_F(ConnectionHostTest, HandshakeErrorsClose) {
  startHost();
  transport->deliver(header(257));
  EXPECT_EQ(closedError().errorDescription(), "frame length 257");

  events = Events{};
  startHost();
  transport->deliver(framed(Bytes(68, 0)));
  EXPECT_EQ(closedError().kind(), NVError::Kind::handshake);
  EXPECT_EQ(events.ready().size(), 0u);
}

TEST_F(ConnectionHostTest, EndOfStreamWhileReadingIsAnOrderlyClose) {
  startHost();
  handshake();
  transport->deliver(Bytes{0, 0});
  transport->finishIncoming();
  auto closed = events.closed().take();
  ASSERT_TRUE(closed);
  EXPECT_FALSE(*closed);
}

// ---- the relay line ----------------------------------------------------------------------

class ConnectionRelayTest : public ConnectionHostTest {
 protected:
  void startRelayed() {
    startHost({}, preamble);
    EXPECT_EQ(waitForSent(1), preamble);
  }

  // A relay answer of exactly `size` bytes: {"ok":true,"p":"xxx..."}.
  static Bytes okLine(std::size_t size) {
    std::string line = R"({"ok":true,"p":")";
    line += std::string(size - line.size() - 2, 'x');
    line += R"("})";
    return toBytes(line);
  }

  Bytes preamble = toBytes("{\"role\":\"host\",\"token\":\"t\"}\n");
};

TEST_F(ConnectionRelayTest, AnswerLineAndFirstHandshakeFrameInOneDelivery) {
  startRelayed();
  handshake(toBytes("{\"ok\":true}\n"));
  EXPECT_EQ(host->peerPublicKey(), clientIdentity().publicKey());
  // The line went byte by byte; the frame reader took over at the header.
  auto requests = transport->receiveRequests();
  const std::size_t lineBytes = std::string("{\"ok\":true}\n").size();
  ASSERT_GT(requests.size(), lineBytes);
  for (std::size_t i = 0; i < lineBytes; ++i) EXPECT_EQ(requests[i], std::make_pair(1ul, 1ul));
  EXPECT_EQ(requests[lineBytes], std::make_pair(4ul, 4ul));
  // Relay line bytes are not frame bytes.
  EXPECT_EQ(readyCounts.bytesReceived, 172u);
}

TEST_F(ConnectionRelayTest, AnswerLineOfMaximumLengthIsAcceptedOneMoreByteIsNot) {
  startRelayed();
  handshake(concat(okLine(NVConnection::relayLineLimit), toBytes("\n")));
  EXPECT_EQ(events.closed().size(), 0u);

  events = Events{};
  startRelayed();
  transport->deliver(Bytes(NVConnection::relayLineLimit + 1, 'x'));
  NVError error = closedError();
  EXPECT_EQ(error.kind(), NVError::Kind::invalid);
  EXPECT_EQ(error.errorDescription(), "relay line too long");
}

TEST_F(ConnectionRelayTest, RefusalsCloseWithTheirTexts) {
  const struct {
    const char* line;
    const char* text;
  } cases[] = {
      {R"({"error":"offline"})", "主機不在線上"},
      {R"({"error":"busy"})", "中繼伺服器忙碌中，請稍後再試"},
      {R"({"error":"ambiguous"})",
       "有兩台電腦用了同一個主機 ID，請先在同一個網路或透過 Tailscale 連線一次"},
      {R"({"error":"host did not answer"})", "電腦沒有回應，請確認它開著並連上網路"},
      {R"({"error":"no_answer"})", "電腦沒有回應，請確認它開著並連上網路"},
      {R"({"error":"something new"})", "中繼伺服器無法建立連線，請稍後再試"},
      {R"({"ok":false})", "中繼伺服器無法建立連線，請稍後再試"},
      {R"({"ok":"true"})", "中繼伺服器無法建立連線，請稍後再試"},
      {R"({"ok":1})", "中繼伺服器無法建立連線，請稍後再試"},
      {R"({"error":7})", "中繼伺服器無法建立連線，請稍後再試"},
      {R"(["offline"])", "中繼伺服器無法建立連線，請稍後再試"},
      {"not json", "中繼伺服器無法建立連線，請稍後再試"},
      {"", "中繼伺服器無法建立連線，請稍後再試"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    events = Events{};
    startRelayed();
    transport->deliver(concat(toBytes(c.line), toBytes("\n")));
    NVError error = closedError();
    EXPECT_EQ(error.kind(), NVError::Kind::invalid);
    EXPECT_EQ(error.errorDescription(), c.text);
    EXPECT_EQ(events.ready().size(), 0u);
  }
}

TEST_F(ConnectionRelayTest, StreamEndingOrFailingDuringTheLine) {
  startRelayed();
  transport->deliver(toBytes("{\"ok\":"));
  transport->finishIncoming();
  NVError ended = closedError();
  EXPECT_EQ(ended.kind(), NVError::Kind::closed);
  EXPECT_EQ(ended.errorDescription(), "連線已關閉");

  events = Events{};
  startRelayed();
  transport->failReceive(std::make_error_code(std::errc::connection_reset));
  NVError failed = closedError();
  EXPECT_EQ(failed.kind(), NVError::Kind::system);
  EXPECT_EQ(failed.code(), std::errc::connection_reset);
}

// The relay path over real sockets: the host's data connection to a relay, which answers and
// forwards the client's first frame in a single write.
TEST_F(ConnectionRelayTest, RelayedHostOverLoopbackTCP) {
  test::LoopbackListener relay(runtime.context());
  auto relayed = NVConnection::create(TCPTransport::connect("127.0.0.1", relay.port()), Role::host,
                                      hostIdentity(), preamble, runtime);
  Events relayedEvents;
  relayedEvents.attach(*relayed);
  relayed->start();
  auto socket = relay.accept();
  Bytes got(preamble.size());
  asio::read(socket, asio::buffer(got));
  EXPECT_EQ(got, preamble);
  ClientHandshake client(clientIdentity());
  asio::write(socket, asio::buffer(concat(toBytes("{\"ok\":true}\n"), framed(client.makeInit()))));
  Bytes reply(4 + 128);
  asio::read(socket, asio::buffer(reply));
  auto finish = client.handleHostInit(ByteView(reply).subspan(4));
  asio::write(socket, asio::buffer(framed(finish.finish)));
  auto ready = relayedEvents.ready().take();
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->bytesReceived, 172u);
  EXPECT_EQ(relayed->peerPublicKey(), clientIdentity().publicKey());
}

}  // namespace
}  // namespace ombrel
