#pragma once

// One connection of the reference client: handshake, key pinning, hello, pairing and the test
// actions, reported as one JSON line per event on the given stream.
//
// Events: {"event":"sas","sas":"123 456","hostID":"..."}, {"event":"pinned",...},
// {"event":"keyMismatch",...}, {"event":"hello",...HostHello fields}, {"event":"pairResult",
// "ok":...,"message":...,"code":...}, {"event":"pong","bytes":N,"rttMs":X},
// {"event":"sent","type":N, "bytes":N}, {"event":"closed","error":null|"text"}.
//
// Flow: ready -> hello sent -> hostHello; with `pair` and not authorized a pair request, then
// pairResult (and a second hostHello when allowed); then the actions in order (ping, raw
// message); then the mode's work, if any (client_mode.h); then `linger` seconds of listening;
// then close. Messages the session does not know go to the mode before they are reported as
// {"event":"message","type":N,"bytes":N}.
//
// Threading: everything runs on the connection's queue; `run` blocks the calling thread until
// the connection ends and returns the exit status.

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "client_mode.h"
#include "host_pins.h"

namespace ombrel {

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  struct Options {
    std::string host;
    std::uint16_t port = 47800;
    std::string expectedHostID;  // empty: any host, judged by the pins of its address
    std::string name = "ombrel-client";
    std::string model = "Linux";
    bool pair = false;
    std::optional<std::int64_t> grantMinutes;
    int pings = 0;  // --ping is one; --pings N sends N, `pingInterval` apart
    double pingInterval = 0.1;
    std::optional<std::uint8_t> rawType;  // --send-raw TYPE:SIZE
    std::size_t rawSize = 0;
    double linger = 0;
    double timeout = 60;
  };
  enum Status { ok = 0, closedWithError = 1, keyMismatch = 3, refused = 4, timedOut = 5 };

  ClientSession(Options options, DeviceIdentity identity, HostPins& pins, std::ostream& out,
                Runtime& runtime);
  int run();

  // A mode's work after the built-in actions (set before run()).
  void setMode(std::shared_ptr<ClientMode> mode) { mode_ = std::move(mode); }
  // For the mode, on the connection queue.
  NVConnection& connection() { return *conn_; }
  void emit(const nlohmann::json& event);
  void modeFinished();

 private:
  void ready();
  void handle(MessageType type, const Bytes& body);
  void hostHello(const HostHello& hello);
  void nextAction();
  void finish(int status);
  std::string address() const;

  Options options_;
  DeviceIdentity identity_;
  HostPins& pins_;
  std::ostream& out_;
  Runtime& runtime_;
  std::shared_ptr<NVConnection> conn_;
  std::promise<int> done_;
  bool finished_ = false;
  int status_ = ok;
  bool pairSent_ = false;
  bool paired_ = false;
  int pingsSent_ = 0;
  std::shared_ptr<Timer> pingTimer_;
  bool rawSent_ = false;
  std::shared_ptr<Timer> lingerTimer_;
  std::shared_ptr<ClientMode> mode_;
  bool modeStarted_ = false;
  bool modeDone_ = false;
};

}  // namespace ombrel
