#pragma once

#include <optional>

#include "Ombrel_Remote_Host/input/caret_locator.h"

namespace ombrel {

// A CaretLocator that answers what the test sets and counts the questions.
class FakeCaretLocator : public CaretLocator {
 public:
  std::optional<InputRect> caret;
  int queries = 0;

  std::optional<InputRect> caretRect() override {
    ++queries;
    return caret;
  }
};

}  // namespace ombrel
