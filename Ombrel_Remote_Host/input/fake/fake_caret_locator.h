#pragma once

#include <atomic>
#include <future>
#include <optional>

#include "Ombrel_Remote_Host/input/caret_locator.h"

namespace ombrel {

// A CaretLocator that answers what the test sets and counts the questions. With `hold` set,
// every question first waits for it, as a hung accessibility bus would keep the caller.
//
// Threading: set `caret` and `hold` before the questions start (or while they wait on `hold`).
class FakeCaretLocator : public CaretLocator {
 public:
  std::optional<InputRect> caret;
  std::shared_future<void> hold;
  std::atomic<int> queries{0};

  std::optional<InputRect> caretRect() override {
    ++queries;
    if (hold.valid()) hold.wait();
    return caret;
  }
};

}  // namespace ombrel
