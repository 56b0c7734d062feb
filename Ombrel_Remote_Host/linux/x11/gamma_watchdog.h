#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ombrel {

// One CRTC's gamma ramp, as read before the privacy screen zeroed it.
struct GammaRamp {
  std::uint32_t crtc = 0;  // RRCrtc
  std::vector<unsigned short> red, green, blue;
};

// Keeps the ramps the privacy screen saved in a process of their own, so that the owner's
// displays get their picture back when the host dies without restoring them (SIGKILL, a
// crash): X11 keeps a blanked ramp after its client is gone.
//
// The watchdog is the program ombrel-gamma-watchdog next to the running executable. It gets
// the ramps over a socket whose other end only the host holds. A normal restore tells it to
// stand down and it exits untouched. End of file without that word means the host died (the
// kernel closed its end); then it opens the display again and loads the ramps back onto the
// CRTCs that still show the all-zero ramp: a ramp someone changed since is left as it is.
//
// Lifecycle: start() -> standDown(); destruction stands down as well.
// Threading: one caller at a time (X11GammaTables serialises).
class GammaWatchdog {
 public:
  static constexpr const char* kProgram = "ombrel-gamma-watchdog";

  // Starts the watchdog for `ramps` on the X display named `displayName`; nullptr (and one log
  // line) when it cannot run, which leaves the displays as unprotected as without it.
  static std::unique_ptr<GammaWatchdog> start(const std::string& displayName,
                                              const std::vector<GammaRamp>& ramps);
  ~GammaWatchdog();
  GammaWatchdog(const GammaWatchdog&) = delete;
  GammaWatchdog& operator=(const GammaWatchdog&) = delete;

  // Tells the watchdog that the ramps are back and waits until it has exited.
  void standDown();
  pid_t pid() const { return pid_; }

  // The ramps as the host sends them, and back: nothing from a message cut short or garbled.
  // `used` gets the message's length; any byte after it is the word to stand down.
  static std::string encode(const std::vector<GammaRamp>& ramps);
  static std::optional<std::vector<GammaRamp>> decode(std::string_view bytes,
                                                      std::size_t* used = nullptr);

 private:
  GammaWatchdog(pid_t pid, int socket) : pid_(pid), socket_(socket) {}

  pid_t pid_;
  int socket_;
};

}  // namespace ombrel
