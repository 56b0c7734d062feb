#pragma once

// A scriptable in-memory CorvaneByteTransport for tests, fuzzers and benchmarks.
//
// The test writes the incoming stream (`deliver`, in chunks of its choice: one chunk may hold a
// relay line and the first handshake frame together), ends it (`finishIncoming`), breaks it
// (`failReceive`, `close`), and reads back what the code under test sent (`sent`). A receive
// completes as soon as `minimum` bytes are buffered, with as many as are buffered up to
// `maximum` (plus `Config::extraBytesPerRead`, to provoke the overflow a faulty transport would
// cause). `makePair` joins two fakes back to back so two connections can talk without sockets.
//
// Threading: the script and observation methods may be called from any thread; callbacks and
// completions run on the queue given to `start`, in the order they were produced, and none runs
// after `cancel()` (called on that queue) returns.
//
// States: created -> started -> (ready) -> cancelled; `close()` reports onClose without
// cancelling, as a transport whose peer went away would.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "CorvaneKit/corvane_byte_transport.h"

namespace ombrel {

class FakeByteTransport final : public CorvaneByteTransport,
                                public std::enable_shared_from_this<FakeByteTransport> {
 public:
  struct Config {
    // Report onReady as soon as the transport is started.
    bool readyOnStart = true;
    // Keep send completions until completeSends() (to watch bytes in flight).
    bool holdSendCompletions = false;
    // Deliver this many bytes beyond a receive's maximum when they are buffered.
    std::size_t extraBytesPerRead = 0;
    // Every send completes with this error (nothing is recorded or forwarded).
    Error sendError;
  };

  static std::shared_ptr<FakeByteTransport> create(Config config);
  static std::shared_ptr<FakeByteTransport> create() { return create(Config{}); }
  // Two fakes whose sends arrive at each other; cancelling one ends the other's stream.
  static std::pair<std::shared_ptr<FakeByteTransport>, std::shared_ptr<FakeByteTransport>> makePair(
      Config first, Config second);

  // CorvaneByteTransport
  void start(std::shared_ptr<SerialQueue> queue) override;
  void send(Bytes data, SendCompletion completion) override;
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
  void cancel() override;

  // Script.
  void deliver(ByteView chunk);
  void finishIncoming();
  void failReceive(std::error_code error);
  void reportReady();
  void close(Error error);
  void completeSends(Error error = std::nullopt);
  void setExtraBytesPerRead(std::size_t extra);

  // Observation. A paired fake forwards its sends instead of recording them.
  std::vector<Bytes> sent() const;
  Bytes sentBytes() const;
  std::size_t heldSends() const;
  bool isStarted() const;
  bool isCancelled() const;
  // The (minimum, maximum) of every receive call so far.
  std::vector<std::pair<std::size_t, std::size_t>> receiveRequests() const;

 private:
  struct PendingReceive {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
  };

  explicit FakeByteTransport(Config config) : config_(std::move(config)) {}

  // Completes every receive the buffered input can satisfy. Caller holds mutex_.
  void pumpLocked();
  // Runs `work` on the queue unless the transport was cancelled by then. Caller holds mutex_.
  template <typename F>
  void postLocked(F&& work);

  mutable std::mutex mutex_;
  Config config_;
  std::shared_ptr<SerialQueue> queue_;
  std::weak_ptr<FakeByteTransport> peer_;
  bool started_ = false;
  bool cancelled_ = false;
  std::deque<std::uint8_t> incoming_;
  bool incomingFinished_ = false;
  std::optional<std::error_code> receiveError_;
  std::deque<PendingReceive> receives_;
  std::vector<std::pair<std::size_t, std::size_t>> receiveRequests_;
  std::vector<Bytes> sent_;
  std::vector<SendCompletion> heldCompletions_;
};

}  // namespace ombrel
