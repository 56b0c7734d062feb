#include "CorvaneKit/fake/fake_byte_transport.h"

#include <gtest/gtest.h>

#include "base/runtime.h"

namespace ombrel {
namespace {

struct Read {
  std::optional<Bytes> data;
  bool complete = false;
  CorvaneByteTransport::Error error;
};

class FakeByteTransportTest : public ::testing::Test {
 protected:
  // Issues one receive and returns what it delivered once the queue has drained.
  Read receive(FakeByteTransport& transport, std::size_t minimum, std::size_t maximum) {
    Read result;
    queue->sync([&] {
      transport.receive(
          minimum, maximum,
          [&](std::optional<Bytes> data, bool complete, CorvaneByteTransport::Error error) {
            result = {std::move(data), complete, error};
          });
    });
    queue->sync([] {});
    return result;
  }

  Runtime runtime;
  std::shared_ptr<SerialQueue> queue = runtime.makeQueue("test.fake.transport");
};

TEST_F(FakeByteTransportTest, ReceivesRespectBoundsAcrossChunksAndReportEndOfStream) {
  auto transport = FakeByteTransport::create();
  bool ready = false;
  transport->onReady = [&] { ready = queue->isCurrent(); };
  transport->start(queue);
  transport->deliver(toBytes("ab"));
  transport->deliver(toBytes("cdef"));
  EXPECT_EQ(receive(*transport, 1, 1).data, toBytes("a"));
  EXPECT_TRUE(ready);
  // Two chunks arrive in one read, never past the maximum.
  EXPECT_EQ(receive(*transport, 3, 4).data, toBytes("bcde"));
  transport->finishIncoming();
  Read last = receive(*transport, 4, 4);
  EXPECT_EQ(last.data, toBytes("f"));
  EXPECT_TRUE(last.complete);
  Read after = receive(*transport, 1, 1);
  EXPECT_FALSE(after.data);
  EXPECT_TRUE(after.complete);
}

TEST_F(FakeByteTransportTest, ScriptedErrorsOverflowAndCancel) {
  auto transport = FakeByteTransport::create(FakeByteTransport::Config{.extraBytesPerRead = 2});
  transport->start(queue);
  transport->deliver(toBytes("12345"));
  EXPECT_EQ(receive(*transport, 1, 1).data, toBytes("123"));
  transport->failReceive(std::make_error_code(std::errc::connection_reset));
  EXPECT_EQ(receive(*transport, 1, 1).error, std::make_error_code(std::errc::connection_reset));

  int callbacks = 0;
  transport->onClose = [&](CorvaneByteTransport::Error) { ++callbacks; };
  queue->sync([&] {
    transport->receive(10, 10, [&](auto&&...) { ++callbacks; });
    transport->close(std::nullopt);
    transport->cancel();
  });
  transport->deliver(Bytes(10));
  queue->sync([] {});
  EXPECT_EQ(callbacks, 0);
  EXPECT_TRUE(transport->isCancelled());
}

TEST_F(FakeByteTransportTest, PairForwardsSendsAndCancelEndsThePeerStream) {
  auto pair = FakeByteTransport::makePair({.holdSendCompletions = true}, {});
  auto a = pair.first;
  auto b = pair.second;
  a->start(queue);
  b->start(queue);
  std::optional<CorvaneByteTransport::Error> completed;
  queue->sync([&] { a->send(toBytes("hi"), [&](auto error) { completed = error; }); });
  queue->sync([] {});
  EXPECT_FALSE(completed);
  EXPECT_EQ(a->heldSends(), 1u);
  a->completeSends();
  queue->sync([] {});
  ASSERT_TRUE(completed);
  EXPECT_FALSE(*completed);
  EXPECT_EQ(receive(*b, 2, 2).data, toBytes("hi"));
  queue->sync([&] { a->cancel(); });
  EXPECT_TRUE(receive(*b, 1, 1).complete);
}

}  // namespace
}  // namespace ombrel
