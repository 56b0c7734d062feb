#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrel {

// What a power assertion keeps from happening. The desktop backend maps them to logind
// inhibitor locks, the session's screensaver and session-manager services and the X server's own
// screensaver and DPMS.
enum class PowerAssertionType {
  // The controller's keep-awake: no suspend because the machine sits idle (logind "idle").
  // The display still blanks and locks as usual.
  idleSystemSleep,
  // An ordinary session while it streams: the screen stays on (X screensaver suspended, DPMS
  // off, GNOME's and the freedesktop screensaver's idle inhibition where they answer, else
  // logind "idle").
  displaySleep,
  // A limited support session while it streams: the machine does not idle to sleep while the
  // display may still blank and lock (logind "idle"). A suspend the owner asks for still happens.
  systemSleep,
};

// The assertion a streaming session holds: during time-limited assistance the display may sleep
// and lock, so only the system is kept awake.
constexpr PowerAssertionType sessionAssertionType(bool limited) {
  return limited ? PowerAssertionType::systemSleep : PowerAssertionType::displaySleep;
}

inline constexpr std::string_view keepAwakeAssertionName =
    "Ombrel Remote: stay reachable for remote access";
inline constexpr std::string_view sessionAssertionName = "Ombrel Remote remote session";
inline constexpr std::string_view trustedClientActivityName =
    "Ombrel Remote trusted client connected";
inline constexpr std::string_view remoteInputActivityName = "Ombrel Remote remote input";

// Power assertions and user-activity declarations.
//
// Threading: every method may be called from any thread (the controller's main queue and the
// sessions' connection strands); calls are serialised inside. createAssertion blocks for at most
// a few seconds of D-Bus round trips; declareUserActivity never waits for an answer.
class PowerManager {
 public:
  virtual ~PowerManager() = default;

  // Takes an assertion and returns its identifier, or 0 when nothing could be held (status()
  // then says why). Identifiers are never reused within one manager.
  virtual std::uint32_t createAssertion(PowerAssertionType type, std::string_view name) = 0;
  // Releases an assertion; unknown identifiers and 0 are ignored.
  virtual void releaseAssertion(std::uint32_t id) = 0;
  // Tells the desktop that a user is active, as local input would (resets idle timers).
  virtual void declareUserActivity(std::string_view name) = 0;
  // Empty while power management works; otherwise a text for the owner saying what is missing.
  virtual std::string status() const = 0;
};

}  // namespace ombrel
