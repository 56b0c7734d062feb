#pragma once

// The AI channel's screenshot: one picture of a display as an agent sees it, with the pointer
// drawn in and the host's own windows left visible (unlike a stream, nothing is painted
// black), scaled down to the agent's size limit and encoded as PNG.
//
// Threading: screenshot() grabs, scales and encodes on the calling thread and may take a
// while on a large display, so callers run it on the blocking worker. Any thread, any number
// at once: every call opens a capturer of its own, and the display list and the cursor reader
// serialise their own platform calls.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "OmbrelKit/nv_error.h"
#include "Ombrel_Remote_Host/screen/cursor_source.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "base/bytes.h"

namespace ombrel {

class AIChannel {
 public:
  static constexpr std::string_view noDisplayText = "找不到螢幕";
  static constexpr std::string_view encodeFailedText = "無法編碼截圖";
  // A grab that failed without saying why.
  static constexpr std::string_view captureFailedText = "無法擷取螢幕畫面";

  struct Screenshot {
    Bytes png;
    double pointWidth = 0;
    double pointHeight = 0;
    // Where the pictured display is on the desktop, in points.
    DisplayRect display;
  };
  using Result = std::variant<Screenshot, NVError>;

  struct Dependencies {
    // The display list and layout; null or empty means there is no display.
    std::function<std::shared_ptr<DisplayConfiguration>()> displays;
    // One capturer for one grab; null when the display cannot be captured.
    std::function<std::unique_ptr<ScreenCapturer>(std::uint32_t displayID)> openCapturer;
    // Why capture cannot start, asked when no capturer opens; nothing when unknown.
    std::function<std::optional<NVError>()> captureProblem;
    // The pointer to draw in; null draws none. Asked on every screenshot, so a reader that
    // could not be opened yet may be opened later.
    std::function<std::shared_ptr<CursorSource>()> cursor;
  };

  // The desktop's: Displays::platform(), openScreenCapturer(), openCursorSource().
  static std::shared_ptr<AIChannel> open();
  explicit AIChannel(Dependencies dependencies);

  // The display `displayID` names; the main display when none is named; the first one when
  // the named one does not exist; nothing when there are no displays.
  std::optional<DisplayRect> display(std::optional<std::uint32_t> displayID);

  // A PNG of that display whose longer side is at most `maxSize` pixels (both sides scaled
  // by the same factor and truncated), with the display's size in points.
  Result screenshot(std::optional<std::uint32_t> displayID, std::optional<std::int64_t> maxSize);
  // The same of a display display() found.
  Result screenshot(const DisplayRect& display, std::optional<std::int64_t> maxSize);

  // The size a picture of width x height gets under `maxSize`; never smaller than 1 x 1.
  static std::pair<std::int64_t, std::int64_t> scaledSize(std::int64_t width, std::int64_t height,
                                                          std::optional<std::int64_t> maxSize);

 private:
  const Dependencies deps_;
};

}  // namespace ombrel
