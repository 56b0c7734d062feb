#pragma once

// Receipt-based pacing for one stream: at most two video frames may be sent and not yet
// acknowledged by the client's videoReceipt before the encoder waits.
//
// Threading: the encoder's thread calls mayEncode and sent, the connection queue calls
// acknowledge; each call is atomic under the window's lock. Lives for one stream, starts empty.

#include <cstdint>
#include <deque>
#include <mutex>

namespace ombrel {

class VideoDeliveryWindow {
 public:
  // True while fewer than 2 frames are pending.
  bool mayEncode() const;
  // A frame with presentation time `pts` (microseconds) went out.
  void sent(std::uint64_t pts);
  // The client received the frame `pts`: it and every frame sent before it are released. An
  // unknown `pts` changes nothing.
  void acknowledge(std::uint64_t pts);
  std::size_t pendingCount() const;

 private:
  mutable std::mutex lock_;
  std::deque<std::uint64_t> pending_;
};

}  // namespace ombrel
