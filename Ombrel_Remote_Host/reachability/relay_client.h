#pragma once

// The host's side of a relay server: one long-lived control connection that registers the host
// under its ID, proves ownership of the host's signing key, answers pings, and opens a data
// connection to the same relay for every client the relay announces.
//
// Control lines (newline-terminated JSON):
//   host -> relay   {"id":HOST ID,"key":BASE64 PUBLIC KEY,"role":"host","v":2}   on connect
//                   {"sig":BASE64,"type":"proof"}       Ed25519 over "ombrel-relay-proof-v1" ‖
//                                                       nonce ‖ the host ID's digits
//                   {"type":"pong"}
//   relay -> host   {"type":"challenge","nonce":B64} | {"type":"registered"} |
//                   {"type":"error","error":TEXT} | {"type":"incoming","session":TEXT} |
//                   {"type":"ping"}                     anything else is ignored
// A data connection starts with {"role":"host-data","session":TEXT} and a line feed; the
// secure connection sends it and reads the relay's reply line (see NVConnection).
//
// States (`configure` increments a generation; probes, handlers and timers of an older one do
// nothing):
//   unconfigured -> ordering      configure with two or more relays: latency probes, at most 2 s
//   unconfigured -> connecting    configure with one relay
//   ordering     -> connecting    every probe recorded; relays sorted by latency, stably
//   connecting   -> registering   control ready: registration sent, backoff back to 1 s
//   registering  -> registered    "registered"
//   connecting | registering | registered -> backing off
//                                 connect failure, read error, end of stream, or a control line
//                                 over `maxLineBytes`; the next attempt uses the next relay
//   backing off  -> connecting    after 1, 2, 4, 8, 16, 30, 30 ... seconds
//   any          -> unconfigured | ordering | connecting    configure
//
// The cap on a control line is our own rule: a relay (or anything posing as one) must not grow
// the host's buffer without bound, so a longer line counts as a broken connection.
//
// Threading: every member runs on the queue "nerovalde.relay", and so do both callbacks.
// `configure` and `shutdown` may be called from any thread (they post). Set the callbacks
// before the first `configure`.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneKit/relay_endpoint.h"
#include "OmbrelKit/device_identity.h"
#include "OmbrelKit/tcp_transport.h"
#include "Ombrel_Remote_Host/controller/reachability_clients.h"
#include "base/runtime.h"

namespace ombrel {

class RelayClient final : public RelayService, public std::enable_shared_from_this<RelayClient> {
 public:
  static constexpr const char* queueLabel = "nerovalde.relay";
  static constexpr double probeDeadline = 2;
  static constexpr double firstBackoff = 1;
  static constexpr double maxBackoff = 30;
  static constexpr std::size_t readChunk = 4096;
  static constexpr std::size_t maxLineBytes = 64 * 1024;

  // Without an identity the host registers under an empty ID and answers no challenge.
  static std::shared_ptr<RelayClient> create(Runtime& runtime,
                                             std::optional<DeviceIdentity> identity);
  ~RelayClient() override;

  void configure(const std::string& address) override;
  // Closes the control connection and stops every retry; nothing is reported afterwards.
  void shutdown();

  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  static Bytes registrationLine(std::string_view hostID, const std::optional<DeviceIdentity>& id);
  // What the proof signs: the label, the raw nonce and the host ID's digits, back to back.
  static Bytes proofMessage(ByteView nonce, std::string_view hostID);
  static Bytes dataPreamble(std::string_view session);

 private:
  struct ProbeRound;
  struct DataDial;

  RelayClient(Runtime& runtime, std::optional<DeviceIdentity> identity);

  void configureNow(const std::string& address);
  void stopEverything();
  void startProbes();
  void recordProbe(const std::shared_ptr<ProbeRound>& round, std::size_t index, double latency);
  void connect();
  void controlReady(int generation);
  void readControl(int generation);
  // False when the buffer holds a line over the cap (the connection is then given up).
  bool takeLines();
  void handleLine(std::string_view line);
  void sendControl(Bytes bytes);
  void openData(std::string session);
  void scheduleReconnect(int generation);
  void status(const std::string& text);

  std::shared_ptr<SerialQueue> queue_;
  const std::optional<DeviceIdentity> identity_;
  const std::string hostID_;

  // On the queue.
  std::shared_ptr<TCPTransport> control_;
  std::vector<RelayEndpoint> endpoints_;
  std::size_t index_ = 0;
  int generation_ = 0;
  double backoff_ = firstBackoff;
  std::string buffer_;
  bool reconnectPending_ = false;
  bool stopped_ = false;
  std::shared_ptr<Timer> reconnectTimer_;
  std::shared_ptr<ProbeRound> probes_;
};

}  // namespace ombrel
