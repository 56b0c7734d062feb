#pragma once

// Remote input and wake requests for every session of the process.
//
// The host program builds one InputServices at start-up (one X connection for injection, one
// AT-SPI caret locator, one injection record that the remote-click classifier reads) and calls
// install() for every new session before the session starts. Each session then gets:
// - an InputInjector of its own (what this client holds is released when it leaves), mapped
//   to the main display until the stream reports the streamed display (SessionInput::
//   setDisplayBounds);
// - the `input` handler: decode, inject, and after every event other than an absolute move a
//   caret report, sent caretReportDelay seconds after the last such event (later events
//   postpone it, so typing asks AT-SPI once per pause, not once per key);
// - the click log line of every press, written once the screen lock's state is known;
// - the `wakeRequest` handler: Wake-on-LAN from the host's networks and its log line;
// - a teardown hook that releases every button and key the client still holds.
// The session calls these handlers only while it is authorized; input and wake are open to
// limited (assistance) sessions too.
//
// Threading: install() on any thread before the session starts. Handlers and teardown run on
// the session's connection queue, and never wait there for the desktop's buses: caret
// lookups (AT-SPI), lock-state lookups (logind, the screensaver) and wake sends run on the
// blocking worker, each session's in lanes of its own (a burst of a session's requests
// coalesces to the newest, whatever the peer sends), and a caret's answer comes back to the
// connection queue to be reported. The injectors share the sink, and the lanes the caret
// locator, through a lock. Lifetime: the services hold the Runtime's blocking worker, so
// they must go before it; sessions keep the services alive through their handlers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/stream_messages.h"
#include "Ombrel_Remote_Host/input/caret_locator.h"
#include "Ombrel_Remote_Host/input/injection_record.h"
#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/input/input_sink.h"
#include "base/bytes.h"

namespace ombrel {

class BlockingLane;
class BlockingWorker;
class HostSession;
class PowerManager;
class Runtime;
class ScreenLock;
class SerialQueue;
class SessionInput;
class Timer;

class InputServices : public std::enable_shared_from_this<InputServices> {
 public:
  // How long after the last input event the caret is looked up: long enough for the focused
  // application to have moved its caret.
  static constexpr double caretReportDelay = 0.1;

  struct Dependencies {
    // Where every session's input goes; null turns remote input off (wake still works).
    std::shared_ptr<InputSink> sink;
    // Null: every caret report says there is no caret.
    std::shared_ptr<CaretLocator> caretLocator;
    // User activity for every input event; null declares none.
    std::shared_ptr<PowerManager> powerManager;
    // For the click log line; null reads as not locked.
    std::shared_ptr<ScreenLock> screenLock;
    // Where caret and lock-state lookups and wake sends run (Runtime::blockingWorker);
    // required.
    std::shared_ptr<BlockingWorker> blockingWorker;
    // What the sessions' injectors date the record by (Runtime::sharedClock); required with a
    // sink.
    std::shared_ptr<const Clock> clock;
    // The main display's bounds when a session starts, before any stream says otherwise.
    std::function<InputRect()> mainDisplayBounds;
  };

  // The desktop's services: XTest on `displayName` ($DISPLAY when empty), the AT-SPI caret,
  // the primary monitor from the display layout, and the blocking worker and clock of `runtime`.
  // Without an X display input is off and logged; wake requests are served anyway.
  static std::shared_ptr<InputServices> open(Runtime& runtime,
                                             std::shared_ptr<PowerManager> powerManager,
                                             std::shared_ptr<ScreenLock> screenLock,
                                             const std::string& displayName = {});
  static std::shared_ptr<InputServices> create(Dependencies dependencies);

  // Registers the session's input and wake handlers and its teardown. Call before
  // session->start(). The returned object is the session's input; keep it to follow the
  // streamed display (it lives as long as the session).
  std::shared_ptr<SessionInput> install(const std::shared_ptr<HostSession>& session);

  // False when no input sink could be opened or the desktop refuses synthetic events.
  bool canInject() const;
  // The process's record (InjectionRecord::shared()): every session's injector adds to it, the
  // host's owner-only prompts read it.
  const std::shared_ptr<InjectionRecord>& record() const { return record_; }

  // The caretPosition report of `caret` on `display`: the caret's horizontal centre and
  // bottom edge, normalised to the display; not visible (and 0, 0) without a caret or when
  // the caret's centre is off the display.
  static CursorPosition caretPosition(const std::optional<InputRect>& caret, InputRect display);

 private:
  friend class SessionInput;
  explicit InputServices(Dependencies dependencies);

  static void wakeRequest(ByteView body);

  const Dependencies deps_;
  const std::shared_ptr<InjectionRecord> record_ = InjectionRecord::shared();
};

// One session's input: its injector, its pending caret report and its click log lines.
//
// Threading: the connection queue, except the lookups (the services' blocking worker) and
// the click notes (under the injector's lock, from whichever thread injects).
class SessionInput : public std::enable_shared_from_this<SessionInput> {
 public:
  // Click log lines waiting for one lock-state lookup; later presses are not logged until it
  // answers, so a peer's clicks against a hung bus cannot grow them.
  static constexpr std::size_t maxPendingClickLines = 128;

  SessionInput(std::shared_ptr<InputServices> services, std::weak_ptr<HostSession> session);
  ~SessionInput();
  SessionInput(const SessionInput&) = delete;
  SessionInput& operator=(const SessionInput&) = delete;

  // The streamed display's bounds in global points (the stream's onDisplayBounds). A change
  // forgets the click tracking.
  void setDisplayBounds(InputRect bounds);
  // One `input` message body; undecodable bodies are dropped.
  void handleInput(ByteView body);
  // The session ended: no caret report any more, and everything held is let go.
  void end();

  // Null while remote input is off (no input sink).
  InputInjector* injector() { return injector_.get(); }
  // Presses left out of the log because too many waited for the lock's state.
  std::uint64_t unloggedClicks() const;

 private:
  struct PendingClick {
    InputPoint at;
    bool accessibility = false;
  };

  void scheduleCaretReport();
  void lookUpCaret();
  void reportCaret(const std::optional<InputRect>& caret);
  void noteClick(InputPoint at, bool accessibility);
  void logClicks();

  const std::shared_ptr<InputServices> services_;
  const std::weak_ptr<HostSession> session_;
  // The session's connection queue; null without a session (nothing to report to).
  const std::shared_ptr<SerialQueue> queue_;
  const std::unique_ptr<InputInjector> injector_;
  const std::shared_ptr<BlockingLane> caretLane_;
  const std::shared_ptr<BlockingLane> clickLane_;
  std::shared_ptr<Timer> caretWork_;  // connection queue
  bool ended_ = false;                // connection queue

  mutable std::mutex clicksMutex_;
  std::vector<PendingClick> pendingClicks_;
  std::uint64_t unloggedClicks_ = 0;
};

}  // namespace ombrel
