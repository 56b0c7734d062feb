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
// Threading: every member may be called from any thread (one mutex); output is written under
// it, so lines of two cards never interleave.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

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

  TerminalPairing(std::ostream& out, const Clock& clock);

  // Prints the card and queues it for an answer. A card already shown is not shown again.
  void show(Card card);
  // Drops a card that no longer waits (answered elsewhere, timed out, session ended).
  void withdraw(std::string_view sessionID);
  // One line of the owner's input: the decision for the oldest card, or nothing when no card
  // waits or the card is not armed yet (then the owner is told and asked again).
  std::optional<Decision> answer(std::string_view line);

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
  mutable std::mutex lock_;
  std::deque<Shown> cards_;
};

}  // namespace ombrel
