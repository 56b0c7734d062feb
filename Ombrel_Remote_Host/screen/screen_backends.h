#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "base/bytes.h"

namespace ombrel {

// Picks the capture backend at run time. Order: X11 (XShm + XDamage) on $DISPLAY; nothing else
// yet (a PipeWire portal backend for Wayland sessions would come first once it exists).
// nullptr when no backend can capture that display.
std::unique_ptr<ScreenCapturer> openScreenCapturer(std::uint32_t displayID);

// A one-shot PNG of a display (the host's own windows painted black, no cursor); nullopt when
// it cannot be captured.
std::optional<Bytes> screenshotPNG(std::uint32_t displayID);

}  // namespace ombrel
