#pragma once

// The host without a window: the controller with the desktop's real services (logind and
// ScreenSaver over D-Bus, Avahi, XDG autostart, the X11 privacy screen and displays), status
// lines on a text stream and pairing cards answered by lines of text.
//
// Status lines, one per change, so people and scripts can follow the host:
//   listening port=N          the listener serves on port N (machine-readable)
//   listener: TEXT            the listener's status line
//   bonjour: TEXT | relay: TEXT | event: TEXT | keep-awake: TEXT | login item: TEXT
//   sessions: N
//   identity: TEXT            once at start, when the host runs on a temporary identity
// Pairing cards are printed by TerminalPairing on the same stream. Their answers are owner-only:
// a line that remote input may have typed (the terminal can sit on the controlled desktop) is
// refused with a line saying why, and the card waits for the owner (OwnerInputGuard).
//
// Lifetime: start() once, stop() once (also run by the destructor). Threading: answer() and
// stop() may be called from any thread; everything else runs on the runtime's main queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "Ombrel_Remote_Host/controller/host_session_factory.h"
#include "Ombrel_Remote_Host/headless/terminal_pairing.h"
#include "Ombrel_Remote_Host/input/owner_input_guard.h"
#include "Ombrel_Remote_Host/reachability/relay_client.h"
#include "base/runtime.h"

namespace ombrel {

class HeadlessHost {
 public:
  struct Options {
    std::uint16_t port = 47800;  // 0: any free port
    // The identity the program loaded (and showed); without one the controller loads it.
    std::optional<DeviceIdentity> identity;
    // Overrides the stored relay setting for this run (same syntax); not stored.
    std::optional<std::string> relayAddress;
  };
  // Gives a new session the handlers of a component (streaming, input, ...), before it starts.
  using SessionInstaller = std::function<void(const std::shared_ptr<HostSession>&)>;

  HeadlessHost(Options options, std::ostream& out);
  ~HeadlessHost();
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  Runtime& runtime() { return *runtime_; }
  // The desktop's power and lock services, shared with the components sessions install.
  const std::shared_ptr<PowerManager>& powerManager() const { return power_; }
  const std::shared_ptr<ScreenLock>& screenLock() const { return screenLock_; }

  // Before start().
  void addSessionInstaller(SessionInstaller installer);

  // Builds the services and the controller; the listener starts serving right away.
  void start();
  // One line of the owner's input for the oldest pairing card.
  void answer(std::string line);
  // Closes every session, withdraws the advertisement and releases the keep-awake lock.
  void stop();

 private:
  void observe(HostField field);
  void syncCards();
  void line(const std::string& text);

  Options options_;
  std::ostream& out_;
  std::unique_ptr<Runtime> runtime_;
  std::shared_ptr<PowerManager> power_;
  std::shared_ptr<ScreenLock> screenLock_;
  std::vector<SessionInstaller> installers_;
  std::shared_ptr<HostSessionFactory> factory_;
  std::shared_ptr<RelayClient> relay_;
  std::shared_ptr<HostController> controller_;
  std::unique_ptr<OwnerInputGuard> guard_;
  std::unique_ptr<TerminalPairing> pairing_;
  // Main queue: the cards on the terminal, and what was last reported per status line.
  std::set<std::string> shownCards_;
  std::uint16_t reportedPort_ = 0;
  std::size_t reportedSessions_ = static_cast<std::size_t>(-1);
  bool stopped_ = false;
};

}  // namespace ombrel
