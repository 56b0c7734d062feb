#pragma once

// The byte stream under an encrypted connection: a TCP connection (OmbrelKit's TCPTransport),
// an ICE data channel, or a test fake. The connection never touches a socket; it only uses this.
//
// Contract of every implementation:
// - `onReady` is called once, when the transport can carry bytes.
// - `onClose(error)` is called when the transport ends; no error means an orderly end. End of
//   the incoming stream alone is not a close: `receive` reports it with isComplete.
// - `start(queue)` begins connecting. Every callback and completion runs on `queue`.
// - `send(bytes, completion)` transmits the bytes in order after all earlier sends; the
//   completion (if any) reports success (no error) or the failure.
// - `receive(minimum, maximum, completion)` delivers between `minimum` and `maximum` bytes of
//   the stream in order, or fewer with isComplete true at end of stream, or an error. It never
//   delivers more than `maximum` (the connection treats that as fatal) and keeps stream order
//   across calls.
// - `cancel()` stops at once: after it returns no callback or completion of this transport
//   runs. That holds when it is called on the transport's queue; called from another thread, a
//   callback already running may finish.
//
// Threading: set the callbacks before `start` or on the queue; call `send`, `receive` and
// `cancel` on the queue after `start` (`cancel` also before it).
//
// Errors are plain `std::error_code`s, so this library stays below the protocol library; the
// connection wraps them with NVError::system.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "base/bytes.h"
#include "base/serial_queue.h"

namespace ombrel {

class CorvaneByteTransport {
 public:
  using Error = std::optional<std::error_code>;
  using ReadyCallback = std::function<void()>;
  using CloseCallback = std::function<void(Error)>;
  using SendCompletion = std::function<void(Error)>;
  using ReceiveCompletion =
      std::function<void(std::optional<Bytes> data, bool isComplete, Error error)>;

  virtual ~CorvaneByteTransport() = default;

  ReadyCallback onReady;
  CloseCallback onClose;

  virtual void start(std::shared_ptr<SerialQueue> queue) = 0;
  virtual void send(Bytes data, SendCompletion completion) = 0;
  virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) = 0;
  virtual void cancel() = 0;
};

}  // namespace ombrel
