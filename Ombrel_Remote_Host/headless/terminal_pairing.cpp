#include "Ombrel_Remote_Host/headless/terminal_pairing.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ombrel {
namespace {

constexpr std::string_view kPromptLine =
    "輸入 y 允許，o 允許並記住為我自己的裝置，其他任何輸入都會拒絕：";

std::string_view trimmed(std::string_view text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

TerminalPairing::TerminalPairing(std::ostream& out, const Clock& clock,
                                 const OwnerInputGuard* guard)
    : out_(out), clock_(clock), guard_(guard), lastLineAt_(clock.now()) {}

std::string TerminalPairing::duration(double seconds) {
  auto minutes = std::isfinite(seconds) ? static_cast<long long>(seconds / 60.0) : 0LL;
  if (minutes % 60 == 0) return std::to_string(minutes / 60) + " 小時";
  return std::to_string(minutes) + " 分鐘";
}

std::string TerminalPairing::render(const Card& card) {
  std::string text;
  text += "\n==== 配對請求：" + card.deviceName + " ====\n";
  text += "確認裝置上顯示的數字和這裡相同\n";
  text += "    " + card.code + "\n";
  text += "數字不同就按拒絕，可能有人試圖冒充。\n";
  if (card.grantSeconds) {
    text += "限時遠端協助：允許後對方有 " + duration(*card.grantSeconds) +
            " 可以操作，時間到自動斷線並收回權限。你可以隨時延長或立即結束。\n";
    text += "  y：允許\n";
  } else {
    text += "  y：允許（允許後只給 2 小時，時間到自動斷線並鎖定這台電腦。）\n";
    text += "  o：這是我自己的裝置（之後可以直接連線）（允許後這台裝置之後可以直接連線。）\n";
  }
  text += "  其他：拒絕\n";
  text +=
      "銀行、政府機關、客服人員都不會在電話裡要求你按「允許」。如果是陌生人要你允許，請按「拒絕」。"
      "\n";
  text += "請先核對數字…\n";
  return text;
}

void TerminalPairing::prompt(const Card& card) {
  out_ << "[" << card.deviceName << " " << card.code << "] " << kPromptLine << std::endl;
}

void TerminalPairing::show(Card card) {
  std::lock_guard guard(lock_);
  bool known = std::any_of(cards_.begin(), cards_.end(), [&](const Shown& shown) {
    return shown.card.sessionID == card.sessionID;
  });
  if (known) return;
  out_ << render(card);
  prompt(card);
  cards_.push_back({std::move(card), clock_.now()});
}

void TerminalPairing::withdraw(std::string_view sessionID) {
  std::lock_guard guard(lock_);
  auto removed = std::remove_if(cards_.begin(), cards_.end(), [&](const Shown& shown) {
    return shown.card.sessionID == sessionID;
  });
  if (removed == cards_.end()) return;
  cards_.erase(removed, cards_.end());
  out_ << "配對請求已結束。" << std::endl;
  if (!cards_.empty()) prompt(cards_.front().card);
}

std::optional<TerminalPairing::Decision> TerminalPairing::answer(std::string_view line,
                                                                 std::optional<double> readAt) {
  std::lock_guard guard(lock_);
  const double at = readAt.value_or(clock_.now());
  // Every line empties the terminal's line buffer, card or not: the next one starts after it.
  const double since = std::exchange(lastLineAt_, std::max(lastLineAt_, at));
  if (cards_.empty()) return std::nullopt;
  const Shown& front = cards_.front();
  if (clock_.now() - front.shownAt < armingDelay) {
    out_ << "請先核對數字…（3 秒後才能回答）" << std::endl;
    prompt(front.card);
    return std::nullopt;
  }
  std::string_view text = trimmed(line);
  Choice choice = text == "y" || text == "Y"   ? Choice::allow
                  : text == "o" || text == "O" ? Choice::allowOwnDevice
                                               : Choice::deny;
  // Only allowing is the owner's alone; a denial is taken from anyone, like the card's Deny.
  if (choice != Choice::deny && guard_) {
    if (auto refusal = guard_->checkLine(since, at)) {
      out_ << OwnerInputGuard::text(*refusal) << std::endl;
      prompt(front.card);
      return std::nullopt;
    }
  }
  // An assistance request carries its own grant; "own device" would quietly make it permanent.
  if (choice == Choice::allowOwnDevice && front.card.grantSeconds) choice = Choice::allow;
  Decision decision{front.card.sessionID, choice};
  cards_.pop_front();
  out_ << (choice == Choice::deny ? "已拒絕。" : "已允許。") << std::endl;
  if (!cards_.empty()) prompt(cards_.front().card);
  return decision;
}

bool TerminalPairing::empty() const {
  std::lock_guard guard(lock_);
  return cards_.empty();
}

}  // namespace ombrel
