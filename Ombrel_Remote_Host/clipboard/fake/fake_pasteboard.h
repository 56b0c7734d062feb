#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "Ombrel_Remote_Host/clipboard/pasteboard.h"

namespace ombrel {

// A Pasteboard whose owner the test plays: copy() is another application taking the clipboard,
// the writes are recorded. Reads answer on a thread of the fake's own, as the X11 reader does,
// with the limits applied the way the seam describes; with `holdReads` set they wait for
// answerHeld(), as an owner that has not answered yet.
//
// Threading: every member may be called from any thread.
class FakePasteboard : public Pasteboard {
 public:
  // What the owner offers.
  struct Offer {
    std::optional<std::string> text;
    std::optional<Bytes> png;
    bool concealed = false;
  };

  FakePasteboard();
  ~FakePasteboard() override;
  FakePasteboard(const FakePasteboard&) = delete;
  FakePasteboard& operator=(const FakePasteboard&) = delete;

  // Another application takes the clipboard; the change count moves.
  void copy(Offer offer);
  // Reads leave the clipboard unanswered until answerHeld() (which answers those held so far).
  void setHoldReads(bool hold);
  void answerHeld();
  // Writes are refused, as by a display server that will not make the host the owner.
  void setWritesFail(bool fail);
  // Waits until every read not held has been answered and its `done` has returned.
  void settle();

  int reads() const;
  std::vector<std::variant<std::string, Bytes>> writes() const;

  std::int64_t changeCount() const override;
  void read(ReadLimits limits, std::function<void(std::optional<ClipboardContents>)> done) override;
  std::optional<std::int64_t> writeText(std::string text) override;
  std::optional<std::int64_t> writePNG(Bytes png) override;

 private:
  struct Read {
    ReadLimits limits;
    std::function<void(std::optional<ClipboardContents>)> done;
  };

  void run();
  ClipboardContents contentsLocked(const ReadLimits& limits) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::int64_t count_ = 1;
  Offer offer_;
  bool holdReads_ = false;
  bool writesFail_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  int reads_ = 0;
  std::vector<Read> held_;
  std::deque<Read> queue_;
  std::vector<std::variant<std::string, Bytes>> writes_;
  std::thread thread_;
};

}  // namespace ombrel
