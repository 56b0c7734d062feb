#pragma once

#include <memory>
#include <optional>
#include <string>

namespace ombrel {

namespace x11 {
class Connection;
}

// Keeps one X display's screen on: the server's screensaver suspended (MIT-SCREEN-SAVER) and
// DPMS off, with DPMS put back exactly as it was (enabled or not) when the last hold ends.
//
// The suspension belongs to a connection of our own, so the server lifts it by itself if the host
// ends without releasing; DPMS has no such tie, which is why the earlier state is remembered.
// Holds are counted: the first one suspends, the last release restores and closes the connection.
// A server without one of the two extensions (Xvfb has no DPMS) gets whatever it has.
//
// Threading: not thread-safe; its owner serialises the calls.
class XScreenBlankingInhibitor {
 public:
  // `display` is an X display name; empty means $DISPLAY.
  explicit XScreenBlankingInhibitor(std::string display);
  ~XScreenBlankingInhibitor();

  XScreenBlankingInhibitor(const XScreenBlankingInhibitor&) = delete;
  XScreenBlankingInhibitor& operator=(const XScreenBlankingInhibitor&) = delete;

  // False when nothing could be held (no X display, or neither extension); such a hold needs no
  // release.
  bool hold();
  void release();

 private:
  bool connected();
  bool acquire();  // opens the connection
  bool keepOn();   // on the open connection
  void restore();  // and closes it

  std::string display_;
  std::shared_ptr<x11::Connection> connection_;
  int holds_ = 0;
  bool suspended_ = false;
  bool disabledDPMS_ = false;  // DPMS was on and we turned it off
};

}  // namespace ombrel
