#pragma once

// Answers that only the person at the computer may give (approving a pairing, the support
// countdown's buttons, sending the host's files) must not come from the remote user driving
// this desktop. The host's own prompts ask this guard before they act:
// - any answer (a typed line, a click) is refused while remote input is recent: the shared
//   InjectionRecord saw an injected event less than `quietPeriod` before it, or after it;
// - a line typed on a terminal is also refused when a remote key press or click (anything that
//   can put text where the keyboard focus is) happened while the line could have been typed,
//   after the previous line was read: remote keys may sit in the line before a local Enter;
// - a click is also refused when the desktop says the press came from the remote user
//   (ClickOriginWatch), which holds however late the prompt gets to the click.
// A refused prompt stays open and says why (`text`), so the owner can answer once the remote
// input stops.
//
// Without an X display (or without XInput 2), and in a Wayland session, clicks cannot be told
// apart: checkClick() then rests on the recency rule alone.
//
// Threading: check(), checkLine() and now() from any thread; watchClicks() and checkClick()
// from one thread (the UI thread). The click watch reads the desktop's reports on a thread of
// its own so that presses are matched against the record while its entries are fresh.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Ombrel_Remote_Host/input/injection_record.h"
#include "base/clock.h"

namespace ombrel {

class OwnerInputGuard {
 public:
  // The records' rule: an injected event shows up on the desktop within half a second.
  static constexpr double quietPeriod = InjectionRecord::matchWindow;

  enum class Refusal { remoteInputRecent, remoteTypingInLine, remoteClick };

  // `clock` must read the injectors' time (the steady clock in the host); it must outlive the
  // guard.
  OwnerInputGuard(std::shared_ptr<InjectionRecord> record, const Clock& clock);
  ~OwnerInputGuard();
  OwnerInputGuard(const OwnerInputGuard&) = delete;
  OwnerInputGuard& operator=(const OwnerInputGuard&) = delete;

  double now() const { return clock_.now(); }

  // An answer given at `at`.
  std::optional<Refusal> check(double at) const;
  // A line of a terminal, read at `at`; the previous line was read at `since`.
  std::optional<Refusal> checkLine(double since, double at) const;

  // Starts telling the desktop's clicks apart on `displayName` ($DISPLAY when empty), through
  // openClickOriginWatch(). False when the display or its XInput 2 is missing, and in a Wayland
  // session; clicks then rest on the recency rule.
  bool watchClicks(const std::string& displayName = {});
  bool watchingClicks() const { return watch_ != nullptr; }
  // The click that triggers a prompt's button, just made.
  std::optional<Refusal> checkClick();

  // What the owner is told, one line.
  static std::string_view text(Refusal refusal);

 private:
  class ClickWatch;

  const std::shared_ptr<InjectionRecord> record_;
  const Clock& clock_;
  std::unique_ptr<ClickWatch> watch_;
};

}  // namespace ombrel
