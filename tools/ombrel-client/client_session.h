#pragma once

// One connection of the reference client: handshake, key pinning, hello, pairing and the test
// actions, reported as one JSON line per event on the given stream.
//
// Events: {"event":"sas","sas":"123 456","hostID":"..."}, {"event":"pinned",...},
// {"event":"keyMismatch",...}, {"event":"hello",...HostHello fields}, {"event":"pairResult",
// "ok":...,"message":...,"code":...}, {"event":"pong","bytes":N,"rttMs":X},
// {"event":"sent","type":N, "bytes":N}, {"event":"clipboard","text":"..."},
// {"event":"clipboardImage","bytes":N}, {"event":"closed","error":null|"text"}.
//
// Flow: ready -> hello sent -> hostHello; with `pair` and not authorized a pair request, then
// pairResult (and a second hostHello when allowed); then the actions in order (ping, raw
// message, clipboard text); then `linger` seconds of listening, or the mode (below) when one is
// given; then close. New message kinds (stream, input, clipboard, files) come as modes.
//
// Threading: everything runs on the connection's queue; `run` blocks the calling thread until
// the connection ends and returns the exit status.

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "host_pins.h"

namespace ombrel {

// A mode that takes over an authorized session once the actions are done (streaming, ...).
// Runs on the connection's queue; it closes the connection when it is done.
class ClientMode {
 public:
  using Emit = std::function<void(const nlohmann::json&)>;
  virtual ~ClientMode() = default;
  virtual void begin(std::shared_ptr<NVConnection> conn, Emit emit) = 0;
  // Every message after begin(); false leaves it to the session's own handling.
  virtual bool handle(MessageType type, const Bytes& body) = 0;
  // The connection closed: finish files, print a summary.
  virtual void end() {}
  // The exit status the mode asks for: ClientSession::ok when all went as planned.
  virtual int status() const { return 0; }
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  struct Options {
    std::string host;
    std::uint16_t port = 47800;
    std::string expectedHostID;  // empty: any host, judged by the pins of its address
    // Through a relay: `host`/`port` are the relay's, and the relay is asked for
    // `expectedHostID` (required then); the key presented must be that ID's.
    bool viaRelay = false;
    std::string name = "ombrel-client";
    std::string model = "Linux";
    bool pair = false;
    std::optional<std::int64_t> grantMinutes;
    int pings = 0;  // --ping is one; --pings N sends N, `pingInterval` apart
    double pingInterval = 0.1;
    std::optional<std::uint8_t> rawType;  // --send-raw TYPE:SIZE
    std::size_t rawSize = 0;
    std::optional<std::string> clipboardText;  // --clipboard-text TEXT, pasted with --paste
    bool clipboardPaste = false;
    double linger = 0;
    double timeout = 60;
    std::shared_ptr<ClientMode> mode;
  };
  enum Status { ok = 0, closedWithError = 1, keyMismatch = 3, refused = 4, timedOut = 5 };

  ClientSession(Options options, DeviceIdentity identity, HostPins& pins, std::ostream& out,
                Runtime& runtime);
  int run();

 private:
  void ready();
  void handle(MessageType type, const Bytes& body);
  void hostHello(const HostHello& hello);
  void nextAction();
  void finish(int status);
  void emit(const nlohmann::json& event);
  std::string address() const;
  // {"role":"client","id":ID,"v":2} and a line feed: what a relay reads before pairing.
  static Bytes relayPreamble(const std::string& hostID);

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
  bool clipboardSent_ = false;
  bool modeBegun_ = false;
  bool authorized_ = false;
  std::shared_ptr<Timer> lingerTimer_;
};

}  // namespace ombrel
