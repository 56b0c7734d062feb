#pragma once

#include <memory>
#include <optional>

#include "Ombrel_Remote_Host/input/caret_locator.h"

namespace ombrel {

// The caret of the focused text element through AT-SPI: the active window of each
// application on the accessibility bus, its focused descendant, that element's text caret
// offset and the screen extents of the character there (or the right edge of the character
// before it, at the end of the text). Only the caret's position is read, never the text, so
// password fields are as safe as any other.
//
// Threading: any thread; questions wait for the process-wide AT-SPI lock (atspi_access.h), shared
// with every other AT-SPI reader. Each question is a few blocking calls on the bus, each bounded
// by a short timeout so a hung application cannot stall the caller for long.
class AtspiCaretLocator : public CaretLocator {
 public:
  // Nothing when no accessibility bus can be found (AT-SPI is not running).
  static std::unique_ptr<AtspiCaretLocator> create();

  std::optional<InputRect> caretRect() override;

 private:
  AtspiCaretLocator() = default;
};

}  // namespace ombrel
