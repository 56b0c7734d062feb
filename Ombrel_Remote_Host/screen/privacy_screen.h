#pragma once

#include <memory>
#include <mutex>

#include "Ombrel_Remote_Host/screen/color_transfer_tables.h"

namespace ombrel {

// Blacks out the physical displays while a remote user works.
//
// State: off -> on (tables blanked) -> off (tables restored); setting the current state again
// does nothing. The process has one, shared(); it puts the tables back when the process ends
// normally, because unlike on other systems X11 keeps a blanked gamma ramp after its client
// is gone. For a crash or a kill, the X11 tables leave a watchdog process behind them while
// blank (linux/gamma_watchdog.h).
//
// Threading: any thread.
class PrivacyScreen {
 public:
  explicit PrivacyScreen(std::unique_ptr<ColorTransferTables> tables);
  ~PrivacyScreen();
  PrivacyScreen(const PrivacyScreen&) = delete;
  PrivacyScreen& operator=(const PrivacyScreen&) = delete;

  // The process's privacy screen, on the X11 display of $DISPLAY (opened on first use).
  static PrivacyScreen& shared();

  void set(bool on);
  bool isOn() const;

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<ColorTransferTables> tables_;
  bool on_ = false;
};

}  // namespace ombrel
