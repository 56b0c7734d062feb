#pragma once

// The desktop's clipboard as the clipboard sync sees it: a change count that moves whenever
// another application (or this host) takes the clipboard, the owner's contents read without
// waiting on the caller's queue, and writes that make this host the owner.
//
// On X11 this is the CLIPBOARD selection, watched and served by linux/x11/x11_pasteboard.h on a
// thread of its own; fake/fake_pasteboard.h serves tests. openPasteboard()
// (clipboard_backends.h) picks the backend. The headless host and the tray interface share the
// one instance of the process.
//
// Threading: every member may be called from any thread. read() never blocks its caller: the
// owner's answer (or the reader's timeout, when the owner never answers) arrives through `done`
// on the pasteboard's own thread. The writes wait for the display server only, never for
// another application.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/desktop_messages.h"
#include "base/bytes.h"

namespace ombrel {

struct ClipboardContents {
  // The owner marked the contents concealed or transient (the org.nspasteboard types, or
  // x-kde-passwordManagerHint = "secret"): nothing else was read.
  bool concealed = false;
  // Plain text as UTF-8; absent when the owner offers none or it is empty.
  std::optional<std::string> text;
  // The owner's text is longer than the reader's limit; it was not kept (and no image read).
  bool textTooLong = false;
  // Read only when there is no text: the owner's PNG, or another image format it offers
  // converted to PNG; absent when there is none or it does not fit the limit.
  std::optional<Bytes> png;
};

class Pasteboard {
 public:
  struct ReadLimits {
    std::size_t maxTextBytes = ClipboardMessage::maxTextBytes;
    std::size_t maxPNGBytes = 16'777'216;
  };

  virtual ~Pasteboard() = default;

  // Moves on every change of owner and on every write of this host.
  virtual std::int64_t changeCount() const = 0;
  // The current contents; nothing when there is no owner or it did not answer in time.
  virtual void read(ReadLimits limits,
                    std::function<void(std::optional<ClipboardContents>)> done) = 0;
  // Makes this host the owner, serving `text` (UTF-8) or `png`. Returns the change count the
  // write produced (the notice of this host's own ownership does not move it again), nothing
  // when the display server refused.
  virtual std::optional<std::int64_t> writeText(std::string text) = 0;
  virtual std::optional<std::int64_t> writePNG(Bytes png) = 0;
};

}  // namespace ombrel
