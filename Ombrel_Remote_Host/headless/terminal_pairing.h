#pragma once

// The headless host's pairing cards: each waiting pair request is printed on the terminal with
// the device name, the confirmation code, the card's warnings and the three choices, and the
// owner answers with one line on standard input ("y" allow, "o" allow as own device, anything
// else deny). Answers apply to the oldest card still shown.
//
// Arming: a card accepts no answer during its first 3 seconds, so a line typed before the owner
// could compare the codes (or left in the input buffer) cannot approve it; such a line is
// refused with a note and the card is asked again.
//
// Allowing is owner-only: the terminal may sit on the desktop a remote user controls. With a
// guard, an allowing line that remote input may have typed (OwnerInputGuard::checkLine) is
// refused with the guard's reason and the card is asked again, for the owner to answer once the
// remote input stops. A denial is taken whoever typed it, as the card's Deny button is.
//
// Threading: every member may be called from any thread (one mutex); output is written under
// it, so lines of two cards never interleave.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "Ombrel_Remote_Host/input/owner_input_guard.h"
#include "base/clock.h"

namespace ombrel {

class TerminalPairing {
 public:
  static constexpr double armingDelay = 3.0;

  struct Card {
    std::string sessionID;
    std::string deviceName;
    std::string code;                    // "123 456"
    std::optional<double> grantSeconds;  // set for a time-limited assistance request
  };
  enum class Choice { allow, allowOwnDevice, deny };
  struct Decision {
    std::string sessionID;
    Choice choice;
  };

  // `guard` (optional) must outlive this and read the same clock.
  TerminalPairing(std::ostream& out, const Clock& clock, const OwnerInputGuard* guard = nullptr);

  // Prints the card and queues it for an answer. A card already shown is not shown again.
  void show(Card card);
  // Drops a card that no longer waits (answered elsewhere, timed out, session ended).
  void withdraw(std::string_view sessionID);
  // One line of the owner's input, read at `readAt` (now when absent): the decision for the
  // oldest card, or nothing when no card waits, the card is not armed yet or the guard
  // refuses the line (then the owner is told why and asked again).
  std::optional<Decision> answer(std::string_view line, std::optional<double> readAt = {});

  bool empty() const;

  // A grant length as the owner reads it: whole hours as "N 小時", else "N 分鐘".
  static std::string duration(double seconds);
  // The text of one card, ending with the prompt line.
  static std::string render(const Card& card);

 private:
  struct Shown {
    Card card;
    double shownAt;
  };
  void prompt(const Card& card);

  std::ostream& out_;
  const Clock& clock_;
  const OwnerInputGuard* const guard_;
  mutable std::mutex lock_;
  std::deque<Shown> cards_;
  double lastLineAt_;  // when the previous line (any line, card or not) was read
};

}  // namespace ombrel
