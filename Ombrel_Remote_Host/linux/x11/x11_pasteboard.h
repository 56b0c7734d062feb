#pragma once

// Pasteboard on X11: the CLIPBOARD selection, watched and served on an XCB connection and a
// thread of its own (no Xlib, no toolkit), so the headless host and the tray app can both use it.
//
// Change count: XFIXES tells the connection of every change of the CLIPBOARD owner; each one
// moves the count, except the notice of this host's own ownership, since the write that took it
// already moved the count once and returned that value.
//
// Reading is a chain of conversions on the thread: TARGETS; the concealed markers (nothing else
// is read when one is there); text (UTF8_STRING, text/plain;charset=utf-8, then STRING as
// Latin-1); and only without text an image, image/png as it is or another image type the owner
// offers, decoded by `Options::decodeImage` and encoded as PNG here. Each conversion reads the
// owner's property with a byte limit (INCR transfers included), so a huge selection is cut off
// instead of buffered. An owner that stays silent for `readTimeout` ends the read with nothing.
//
// Serving: while this host owns the selection it answers TARGETS, TIMESTAMP, MULTIPLE and its
// text (UTF8_STRING, text/plain;charset=utf-8, STRING) or image (image/png); anything larger than
// one chunk goes by INCR. A requestor that stops taking chunks for `transferTimeout` (it vanished)
// has its transfer dropped.
//
// A broken connection (the X server ended) is not reopened: reads answer nothing and writes fail
// from then on.
//
// Threading: every member may be called from any thread, the pasteboard's own one included (a
// write on it runs in place). Reads complete on the pasteboard's thread. The destructor stops and
// joins the thread; reads still pending get nothing.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Ombrel_Remote_Host/clipboard/pasteboard.h"
#include "base/bytes.h"

namespace ombrel {

class X11Pasteboard final : public Pasteboard {
 public:
  // How long a read waits for the owner's next answer, and a served INCR transfer for the
  // requestor's next deletion: long enough for a busy desktop, short enough that a hung
  // application does not hold the clipboard sync.
  static constexpr std::chrono::milliseconds defaultReadTimeout{3000};
  static constexpr std::chrono::milliseconds defaultTransferTimeout{10000};
  // The most of another image format read for conversion.
  static constexpr std::size_t maxOtherImageBytes = 64 * 1024 * 1024;

  // 8-bit straight RGBA, rows width * 4 bytes long.
  struct DecodedImage {
    Bytes rgba;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
  };
  // Decodes `data` of the MIME type; nothing when it cannot, or when the picture has more than
  // `maxPixels` pixels (checked before the pixels are allocated).
  using ImageDecoder = std::function<std::optional<DecodedImage>(
      ByteView data, std::string_view mimeType, std::int64_t maxPixels)>;

  struct Options {
    // The MIME types decodeImage reads, the preferred first; without a decoder only image/png
    // is read.
    std::vector<std::string> imageTypes;
    ImageDecoder decodeImage;
    std::chrono::milliseconds readTimeout = defaultReadTimeout;
    std::chrono::milliseconds transferTimeout = defaultTransferTimeout;
  };

  // nullptr when the display cannot be opened or lacks XFIXES.
  static std::shared_ptr<X11Pasteboard> open(const std::string& displayName = {});
  static std::shared_ptr<X11Pasteboard> open(const std::string& displayName, Options options);
  ~X11Pasteboard() override;
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  std::int64_t changeCount() const override;
  void read(ReadLimits limits, std::function<void(std::optional<ClipboardContents>)> done) override;
  std::optional<std::int64_t> writeText(std::string text) override;
  std::optional<std::int64_t> writePNG(Bytes png) override;

  // INCR transfers this host is serving right now (for tests).
  std::size_t transfersInFlight() const;

  class Worker;

 private:
  explicit X11Pasteboard(std::shared_ptr<Worker> worker);

  std::shared_ptr<Worker> worker_;
};

}  // namespace ombrel
