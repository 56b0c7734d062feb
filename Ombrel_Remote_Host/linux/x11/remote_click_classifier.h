#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/input/click_origin_watch.h"
#include "Ombrel_Remote_Host/input/injection_record.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "base/clock.h"

namespace ombrel {

// Tells the remote user's clicks and key presses from the local user's, so that buttons only
// the person at the computer may press can ignore remote input. It watches XInput 2 raw
// events on the root window, on a connection of its own:
// - from a physical device: local;
// - from an XTest device and matching the oldest fresh entry of the injector's record
//   (same kind and button or keycode, posted at most 0.5 s earlier): remote;
// - from an XTest device but from no injector entry (xdotool, an on-screen keyboard): local.
// Only presses and releases are watched; pointer motion is not.
//
// Threading: as ClickOriginWatch (the UI thread, or OwnerInputGuard's watch under its lock).
class RemoteClickClassifier : public ClickOriginWatch {
 public:
  struct Classified {
    InjectedEvent::Kind kind;
    unsigned detail = 0;
    Origin origin = Origin::local;
  };

  // Nothing when the display cannot be opened or has no XInput 2. `clock` must read the
  // injectors' time and outlive the classifier.
  static std::unique_ptr<RemoteClickClassifier> open(std::shared_ptr<InjectionRecord> record,
                                                     const std::string& displayName,
                                                     const Clock& clock);
  ~RemoteClickClassifier() override;

  RemoteClickClassifier(const RemoteClickClassifier&) = delete;
  RemoteClickClassifier& operator=(const RemoteClickClassifier&) = delete;

  int fd() const override;
  void processPending() override;
  // After a round trip to the server.
  std::optional<Origin> lastPressOrigin() override;

  // Every classified press and release.
  std::function<void(const Classified&)> onClassified;

 private:
  RemoteClickClassifier(std::shared_ptr<x11::Connection> connection, int opcode,
                        std::shared_ptr<InjectionRecord> record, const Clock& clock);
  bool isXTestDevice(int deviceId);
  void reloadDevices();

  std::shared_ptr<x11::Connection> connection_;
  Display* display_;
  int opcode_;
  std::shared_ptr<InjectionRecord> record_;
  const Clock& clock_;
  std::map<int, bool> xtestDevices_;
  std::optional<Origin> lastPress_;
};

}  // namespace ombrel
