#pragma once

// A CorvaneByteTransport over one TCP socket (Asio), either opened by this side (`connect`,
// the client role; `outbound` is true) or accepted by the host's listener (`accepted`).
//
// States and what the owner hears of them:
//   setup -> preparing (resolving, connecting; outbound only) -> ready        onReady
//   preparing -> waiting(error)    the peer could not be reached: refused, unreachable, or the
//                                  connection timeout passed. onClose(error) when outbound; an
//                                  accepted connection is never in this state (a transport made
//                                  from a connected socket skips the connect phase), and would
//                                  be left alone if it were.
//   preparing -> failed(error)     anything else in the connect phase (name resolution)
//   ready -> failed(error)         a read or write error on the established stream: onClose
//   any -> cancelled               cancel(); the state handler is removed first, so nothing is
//                                  reported
// End of the incoming stream is not a state: `receive` reports it with isComplete, as it does
// on every transport.
//
// Socket settings come from TCPParameters (no-delay, keep-alive 15/5/4, DSCP AF41); the
// connection timeout is armed on the transport's queue through the queue's clock.
//
// Reads: one `receive` at a time is outstanding on the socket (later calls wait their turn); a
// read fills a buffer that starts at min(maximum, max(64 KiB, bytes already received)) and grows
// only as bytes arrive (doubling, or to what the kernel holds), so a large request does not
// allocate its maximum up front, and it never returns more than `maximum`. Writes are queued and
// written in order, each completely; what is queued while one write runs goes out as one
// gathered write.
//
// Frame buffers: a writer that fills its frame itself (the secure connection sealing into it)
// takes a Buffer with `takeBuffer` and sends it; once written, the buffer is kept for a later
// takeBuffer (a few, up to `spareBufferBytes` in all). A stream of large frames then reuses
// memory that is already mapped instead of faulting in and zeroing fresh pages per frame.
//
// Threading: see CorvaneByteTransport. Every socket operation and completion runs on the queue
// given to `start`; `cancel` may be called from any thread and, on the queue, silences every
// callback at once.

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "CorvaneKit/corvane_byte_transport.h"
#include "OmbrelKit/tcp_parameters.h"
#include "base/timer.h"

namespace ombrel {

// An allocator whose default construction leaves bytes as they are: resizing a buffer that is
// about to be overwritten then costs no zeroing pass.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

class TCPTransport final : public CorvaneByteTransport,
                           public std::enable_shared_from_this<TCPTransport> {
 public:
  enum class State { setup, preparing, waiting, ready, failed, cancelled };
  // Bytes of a frame its writer fills in place; resizing does not zero them.
  using Buffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

  // Most bytes of written buffers kept for reuse, and most buffers.
  static constexpr std::size_t spareBufferBytes = 4 << 20;
  static constexpr std::size_t spareBufferCount = 8;

  // An outbound connection to `host` (a name or an address literal) and `port`, made on the
  // io_context of the queue passed to `start`.
  static std::shared_ptr<TCPTransport> connect(std::string host, std::uint16_t port,
                                               TCPParameters parameters = {});
  // A connection the host's listener accepted. The socket's io_context must be the one of the
  // queue passed to `start`.
  static std::shared_ptr<TCPTransport> accepted(asio::ip::tcp::socket socket,
                                                TCPParameters parameters = {});
  // Any connected socket; `outbound` says which side opened it.
  static std::shared_ptr<TCPTransport> connected(asio::ip::tcp::socket socket, bool outbound,
                                                 TCPParameters parameters = {});

  // What the owner hears of a state change: nothing (nullopt), or onClose with the error.
  // `ready` is reported through onReady instead and yields nullopt here.
  static std::optional<Error> closeReport(State state, bool outbound, Error error);

  bool outbound() const { return outbound_; }
  State state() const { return state_.load(); }
  // The connected socket's peer address and descriptor (for TCP_INFO diagnostics), once
  // ready; call on the queue.
  std::optional<asio::ip::tcp::endpoint> remoteEndpoint() const;
  int nativeHandle();

  void start(std::shared_ptr<SerialQueue> queue) override;
  void send(Bytes data, SendCompletion completion) override;
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
  void cancel() override;

  // A buffer of `size` bytes of unspecified content, reusing one an earlier write gave back
  // when there is one. On the queue.
  Buffer takeBuffer(std::size_t size);
  // send for a buffer from takeBuffer (or any Buffer): written like any send, then kept for
  // reuse. On the queue.
  void send(Buffer data, SendCompletion completion);

  ~TCPTransport() override;

 private:
  struct Read {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
    Bytes buffer;
    std::size_t filled = 0;
  };
  struct Write {
    Bytes bytes;
    Buffer buffer;  // used instead of `bytes` when not empty
    SendCompletion completion;

    asio::const_buffer data() const {
      return buffer.empty() ? asio::buffer(bytes) : asio::buffer(buffer);
    }
  };
  using Socket = asio::ip::tcp::socket;

  TCPTransport(bool outbound, TCPParameters parameters);

  void resolved(const std::error_code& error, asio::ip::tcp::resolver::results_type results);
  void connectNext();
  void connectTimedOut();
  void applyOptions();
  void enter(State state, Error error = std::nullopt);
  void startRead();
  void continueRead();
  // Bytes received by the kernel and not yet read.
  std::size_t bytesWaiting();
  void finishRead(Error error, bool complete);
  void queueWrite(Write write);
  void startWrite();
  void failWrites(Error error);
  void keepSpare(Buffer buffer);
  bool live() const;
  template <typename F>
  auto onQueue(F&& handler);

  const bool outbound_;
  const TCPParameters parameters_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::shared_ptr<SerialQueue> queue_;
  std::optional<asio::ip::tcp::resolver> resolver_;
  asio::ip::tcp::resolver::results_type endpoints_;
  asio::ip::tcp::resolver::results_type::const_iterator nextEndpoint_;
  std::error_code lastConnectError_;
  std::shared_ptr<Timer> connectTimer_;
  std::atomic<State> state_{State::setup};
  std::atomic<bool> cancelled_{false};
  bool stateHandlerInstalled_ = false;
  std::deque<Read> reads_;
  std::deque<Write> writes_;
  std::vector<Buffer> spare_;
  std::size_t spareBytes_ = 0;
  static constexpr std::size_t maxGatheredWrites = 64;
  static constexpr std::size_t maxGatheredBytes = 1 << 20;
  bool reading_ = false;
  bool writing_ = false;
  // Shared with the handlers of the operations pending on it: Asio may still run a step of an
  // operation (the next part of a long write) after the transport is gone, and that step must
  // find the socket, and the bytes it writes, alive. The destructor closes it, which ends them.
  std::shared_ptr<Socket> socket_;
};

}  // namespace ombrel
