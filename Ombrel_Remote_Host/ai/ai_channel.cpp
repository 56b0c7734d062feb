#include "Ombrel_Remote_Host/ai/ai_channel.h"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "Ombrel_Remote_Host/screen/screen_backends.h"

namespace ombrel {
namespace {

// Pointers are small: anything larger than 512 x 512 is not one.
constexpr std::int64_t maxCursorPixels = 512 * 512;

// Blends the straight-alpha cursor over the B, G, R, X picture with its top-left corner at
// (left, top); the parts off the picture are cut.
void drawCursor(const RGBAPicture& cursor, std::int64_t left, std::int64_t top, Bytes& bgrx,
                std::int64_t width, std::int64_t height) {
  for (std::int64_t cy = 0; cy < cursor.height; ++cy) {
    std::int64_t y = top + cy;
    if (y < 0 || y >= height) continue;
    for (std::int64_t cx = 0; cx < cursor.width; ++cx) {
      std::int64_t x = left + cx;
      if (x < 0 || x >= width) continue;
      const std::uint8_t* in = &cursor.rgba[static_cast<std::size_t>((cy * cursor.width + cx) * 4)];
      std::uint8_t* out = &bgrx[static_cast<std::size_t>((y * width + x) * 4)];
      unsigned a = in[3];
      for (int c = 0; c < 3; ++c) {
        // in is R, G, B; out is B, G, R.
        unsigned source = in[2 - c];
        out[c] = static_cast<std::uint8_t>((source * a + out[c] * (255 - a) + 127) / 255);
      }
    }
  }
}

}  // namespace

std::shared_ptr<AIChannel> AIChannel::open() {
  // The pointer reader is opened on first use and kept: a host may start before its X server.
  struct CursorSlot {
    std::mutex mutex;
    std::shared_ptr<CursorSource> source;
  };
  auto slot = std::make_shared<CursorSlot>();
  return std::make_shared<AIChannel>(Dependencies{
      .displays = &Displays::platform,
      .openCapturer = &openScreenCapturer,
      .captureProblem = [] { return screenCaptureProblem(); },
      .cursor =
          [slot] {
            std::lock_guard guard(slot->mutex);
            if (!slot->source) slot->source = openCursorSource();
            return slot->source;
          },
  });
}

AIChannel::AIChannel(Dependencies dependencies) : deps_(std::move(dependencies)) {}

std::optional<DisplayRect> AIChannel::display(std::optional<std::uint32_t> displayID) {
  auto platform = deps_.displays ? deps_.displays() : nullptr;
  if (!platform) return std::nullopt;
  const auto layout = platform->layout();
  if (layout.empty()) return std::nullopt;
  if (!displayID) {
    for (const auto& info : platform->displays()) {
      if (info.isMain) displayID = info.id;
    }
  }
  auto named = std::find_if(layout.begin(), layout.end(),
                            [&](const DisplayRect& r) { return displayID && r.id == *displayID; });
  return named != layout.end() ? *named : layout.front();
}

std::pair<std::int64_t, std::int64_t> AIChannel::scaledSize(std::int64_t width, std::int64_t height,
                                                            std::optional<std::int64_t> maxSize) {
  std::int64_t longer = std::max(width, height);
  if (maxSize && longer > *maxSize) {
    std::int64_t limit = std::max<std::int64_t>(*maxSize, 0);
    width = width * limit / longer;
    height = height * limit / longer;
  }
  return {std::max<std::int64_t>(width, 1), std::max<std::int64_t>(height, 1)};
}

AIChannel::Result AIChannel::screenshot(std::optional<std::uint32_t> displayID,
                                        std::optional<std::int64_t> maxSize) {
  auto rect = display(displayID);
  if (!rect) return NVError::invalid(std::string(noDisplayText));
  return screenshot(*rect, maxSize);
}

AIChannel::Result AIChannel::screenshot(const DisplayRect& display,
                                        std::optional<std::int64_t> maxSize) {
  const DisplayRect* rect = &display;
  auto capturer = deps_.openCapturer ? deps_.openCapturer(rect->id) : nullptr;
  if (!capturer) {
    auto problem = deps_.captureProblem ? deps_.captureProblem() : std::nullopt;
    return problem ? *problem : NVError::invalid(std::string(captureFailedText));
  }
  if (capturer->grab() != CaptureResult::ok) {
    return NVError::invalid(std::string(captureFailedText));
  }
  const CapturedFrame frame = capturer->frame();
  if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0 ||
      frame.stride < frame.width * 4) {
    return NVError::invalid(std::string(captureFailedText));
  }

  // The grab is the capturer's until its next one, and the cursor is drawn into it: a copy.
  const std::int64_t width = frame.width;
  const std::int64_t height = frame.height;
  Bytes pixels(static_cast<std::size_t>(width * height * 4));
  for (std::int64_t y = 0; y < height; ++y) {
    std::memcpy(&pixels[static_cast<std::size_t>(y * width * 4)], frame.data + y * frame.stride,
                static_cast<std::size_t>(width * 4));
  }
  if (auto source = deps_.cursor ? deps_.cursor() : nullptr) {
    auto at = source->location();
    auto image = at ? source->image() : std::nullopt;
    auto picture = image ? decodeRGBAPNG(image->png, maxCursorPixels) : std::nullopt;
    if (picture) {
      // The desktop's points are its pixels on X11; the hot spot is where the pointer is.
      auto left = static_cast<std::int64_t>(std::floor(at->x - rect->x - image->hotX));
      auto top = static_cast<std::int64_t>(std::floor(at->y - rect->y - image->hotY));
      drawCursor(*picture, left, top, pixels, width, height);
    }
  }

  auto [outWidth, outHeight] = scaledSize(width, height, maxSize);
  Bytes scaled;
  if (outWidth != width || outHeight != height) {
    scaled.resize(static_cast<std::size_t>(outWidth * outHeight * 4));
    if (libyuv::ARGBScale(pixels.data(), static_cast<int>(width * 4), static_cast<int>(width),
                          static_cast<int>(height), scaled.data(), static_cast<int>(outWidth * 4),
                          static_cast<int>(outWidth), static_cast<int>(outHeight),
                          libyuv::kFilterBox) != 0) {
      return NVError::invalid(std::string(encodeFailedText));
    }
  } else {
    scaled = std::move(pixels);
  }
  Bytes png = encodeFramePNG(CapturedFrame{scaled.data(), outWidth, outHeight, outWidth * 4});
  if (png.empty()) return NVError::invalid(std::string(encodeFailedText));
  return Screenshot{.png = std::move(png),
                    .pointWidth = static_cast<double>(rect->width),
                    .pointHeight = static_cast<double>(rect->height),
                    .display = *rect};
}

}  // namespace ombrel
