#pragma once

// The one object through which client and host exchange messages. It owns a byte transport,
// optionally sends a relay preamble and reads the relay's one-line answer, runs the handshake
// over plain frames, and then carries typed messages in AES-GCM-sealed frames:
//
//   frame   = u32 big-endian length L ‖ L bytes
//   session = frame of sealed([type code] ‖ body), sealed = ciphertext ‖ 16-byte tag
//
// States:
//   created -> started (transport starting) -> [relay line exchange] -> handshaking
//           -> established -> closed
// `closed` is terminal and is reached only through finish(error), the single way a connection
// ends: close() (no error), the transport closing (its error, none for an orderly end), end of
// stream while reading (no error), and every protocol error. A closed connection ignores late
// transport callbacks, refuses sends (completion false) and never calls onMessage again.
// onClose is called at most once; onReady at most once and only after a successful handshake.
//
// Threading contract:
// - All reads, handshake steps, sealing, opening, callbacks and finish run on `queue()`, a
//   serial queue of the connection's own ("nerovalde.connection" for TCP, "ombrel.connection.ice"
//   for any other transport).
// - `send` may be called from any thread: it only adds to pendingBytes (under its lock) before
//   hopping to the queue. Frames are sealed in the order send calls reach the queue, which is the
//   order of the calls from any one thread, so the nonce sequence matches the frame order.
// - `close`, `start`, the read-only accessors and `maxFrameSize` may be used from any thread.
// - Set onReady, onMessage and onClose before start() or on the queue.
// - Transport callbacks hold the connection weakly: a connection nobody references is released
//   even while its transport is open.
//
// Memory: a frame's buffer starts at min(L, 64 KiB) and grows only as its bytes arrive, so a
// header announcing 64 MiB costs nothing until the bytes come. A host connection reads no
// further frame while more than `readPauseBytes` of its own sends are waiting, and reads again
// once they are down to `readResumeBytes`: a peer that asks for answers and never reads them
// stalls in TCP instead of growing the host. Only the host pauses, so two connections can never
// wait on each other's reading (the peers it serves keep reading whatever they send). Over TCP,
// frames are sealed into buffers the transport keeps for reuse once written (4 MiB at most).

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "CorvaneKit/corvane_byte_transport.h"
#include "OmbrelKit/cipher_state.h"
#include "OmbrelKit/device_identity.h"
#include "OmbrelKit/handshake.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/nv_json.h"
#include "OmbrelKit/tcp_parameters.h"
#include "OmbrelKit/tcp_transport.h"
#include "base/bytes.h"
#include "base/runtime.h"

namespace ombrel {

class NVConnection : public std::enable_shared_from_this<NVConnection> {
 public:
  enum class Role { client, host };

  using ReadyCallback = std::function<void()>;
  using MessageCallback = std::function<void(MessageType type, Bytes body)>;
  using CloseCallback = std::function<void(std::optional<NVError> error)>;
  using SendCompletion = std::function<void(bool accepted)>;

  // Largest incoming frame payload, and the initial limit.
  static constexpr std::int64_t maxFrameSizeLimit = 67'108'864;
  // A host connection's reading pauses above this many bytes of queued sends (well above what
  // the stream's own backpressure lets queue) and resumes at or below the second.
  static constexpr std::int64_t readPauseBytes = 4 << 20;
  static constexpr std::int64_t readResumeBytes = 1 << 20;
  // Longest relay answer line accepted (bytes before the newline).
  static constexpr std::size_t relayLineLimit = 4'097;

  // From a TCP connection (outbound for the client, accepted for the host), optionally
  // prefixed by a relay preamble. Queue "nerovalde.connection".
  static std::shared_ptr<NVConnection> create(std::shared_ptr<TCPTransport> connection, Role role,
                                              DeviceIdentity identity,
                                              std::optional<Bytes> preamble, Runtime& runtime);
  // From an already connected socket, wrapped in a TCPTransport that counts as outbound in the
  // client role.
  static std::shared_ptr<NVConnection> create(asio::ip::tcp::socket socket, Role role,
                                              DeviceIdentity identity,
                                              std::optional<Bytes> preamble, Runtime& runtime);
  // From any byte transport (the ICE data channel on the host, which has no preamble).
  // Queue "ombrel.connection.ice".
  static std::shared_ptr<NVConnection> create(std::shared_ptr<CorvaneByteTransport> transport,
                                              Role role, DeviceIdentity identity,
                                              std::optional<Bytes> preamble, Runtime& runtime);

  // The TCP parameters every TCP connection of the product uses.
  static TCPParameters tcpParameters() { return TCPParameters{}; }

  ~NVConnection();
  NVConnection(const NVConnection&) = delete;
  NVConnection& operator=(const NVConnection&) = delete;

  // Installs the transport callbacks and starts the transport on the queue. Once.
  void start();
  // Queues one message. `completion` (optional, on the queue) reports whether the frame was
  // handed to and accepted by the transport; it is called exactly once, with false when the
  // connection is not established or closes first.
  void send(MessageType type, Bytes data, SendCompletion completion = {});
  // send(type, NVJSON::encode(value)) without a completion.
  template <typename T>
  void sendJSON(MessageType type, const T& value) {
    send(type, NVJSON::encode(value));
  }
  // Finishes the connection, without error, on the queue.
  void close();

  Role role() const { return role_; }
  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }
  // The TCP transport when built from one.
  const std::shared_ptr<TCPTransport>& connection() const { return connection_; }
  // Set when the handshake is done.
  std::optional<Bytes> peerPublicKey() const;
  std::optional<Bytes> transcript() const;
  std::optional<std::string> peerHostID() const;
  std::optional<std::string> sas() const;
  // Bytes accepted by send and not yet completed by the transport (body + 21 per message).
  std::int64_t pendingBytes() const;
  // Wire bytes of sealed frames handed to the transport.
  std::uint64_t bytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
  // Wire bytes of frames fully read, handshake frames included.
  std::uint64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }

  std::int64_t maxFrameSize() const;
  // Clamped to 1 ... maxFrameSizeLimit. Applies to the next frame header read.
  void setMaxFrameSize(std::int64_t value);

  ReadyCallback onReady;
  MessageCallback onMessage;
  CloseCallback onClose;

 private:
  struct ReadBuffer;
  struct InFlight {
    std::uint64_t id;
    std::int64_t cost;
    SendCompletion completion;
  };
  using Deliver = std::function<void(Bytes)>;

  NVConnection(std::shared_ptr<CorvaneByteTransport> transport,
               std::shared_ptr<TCPTransport> connection, Role role, DeviceIdentity identity,
               std::optional<Bytes> preamble, std::shared_ptr<SerialQueue> queue);

  void beginSession();
  void readRelayLine(std::shared_ptr<Bytes> line);
  void relayAnswered(const Bytes& line);
  void runClientHandshake();
  void runHostHandshake();
  void established(HandshakeResult result);
  void receiveLoop();
  void handleFrame(Bytes frame);
  void sendOnQueue(MessageType type, const Bytes& data, std::int64_t cost,
                   SendCompletion completion);
  void sendFrame(ByteView payload);
  void sendCompleted(std::uint64_t id, bool accepted);
  void addPending(std::int64_t delta);

  // Reads exactly `n` bytes into `buffer`, then calls `deliver`. End of stream before that
  // finishes with `atEnd` (nothing: an orderly end).
  void readExactly(std::shared_ptr<ReadBuffer> buffer, std::size_t n, std::optional<NVError> atEnd,
                   Deliver deliver);
  // Reads one frame whose length must be 1 ... limit (maxFrameSize when absent).
  void readFrame(std::optional<std::uint32_t> limit, Deliver deliver);
  // Runs a handshake step; a throw finishes the connection. Returns false if it threw.
  template <typename F>
  bool guarded(F&& step);
  void finish(std::optional<NVError> error);

  const std::shared_ptr<TCPTransport> connection_;
  const std::shared_ptr<CorvaneByteTransport> transport_;
  const Role role_;
  const std::shared_ptr<SerialQueue> queue_;
  const DeviceIdentity identity_;
  const std::optional<Bytes> preamble_;

  // Queue only.
  std::optional<ClientHandshake> clientHandshake_;
  std::optional<HostHandshake> hostHandshake_;
  std::optional<CipherState> sendCipher_;
  std::optional<CipherState> receiveCipher_;
  bool closed_ = false;
  bool beganSession_ = false;
  bool readPaused_ = false;  // a frame was due but the host's sends were backed up
  std::deque<InFlight> inFlight_;
  std::uint64_t nextSendID_ = 0;

  std::atomic<bool> started_{false};
  mutable std::mutex resultLock_;  // guards peerPublicKey_ and transcript_
  std::optional<Bytes> peerPublicKey_;
  std::optional<Bytes> transcript_;
  mutable std::mutex pendingLock_;
  std::int64_t pendingBytes_ = 0;
  mutable std::mutex frameLock_;
  std::int64_t maxFrameSize_ = maxFrameSizeLimit;
  std::atomic<std::uint64_t> bytesSent_{0};
  std::atomic<std::uint64_t> bytesReceived_{0};
};

}  // namespace ombrel
