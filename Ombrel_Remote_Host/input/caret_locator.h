#pragma once

#include <optional>

#include "Ombrel_Remote_Host/input/input_sink.h"

namespace ombrel {

// Where the text caret of the focused element is, in global points. The AT-SPI backend is
// linux/atspi/atspi_caret_locator.h (chosen by openCaretLocator(), input_backends.h);
// fake/fake_caret_locator.h serves tests.
//
// Threading: one caller at a time.
class CaretLocator {
 public:
  virtual ~CaretLocator() = default;

  // Nothing when no accessibility service answers, nothing has focus, the focused element
  // has no text, or its caret has neither width nor height.
  virtual std::optional<InputRect> caretRect() = 0;
};

}  // namespace ombrel
