#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "Ombrel_Remote_Host/screen/screen_capturer.h"

namespace ombrel {

// A display whose pictures the test scripts: each step is what the next capture() returns and,
// for `ok`, the colour the whole picture then has (B, G, R, X bytes). Without steps, capture()
// waits up to its timeout for one to be scripted, then answers `timeout`. grab() succeeds with
// the current picture unless `failGrabs` says otherwise.
class FakeScreenCapturer : public ScreenCapturer {
 public:
  struct Step {
    CaptureResult result = CaptureResult::ok;
    std::uint32_t bgrx = 0;  // 0xXXRRGGBB as a little-endian word
  };

  FakeScreenCapturer(DisplayRect bounds);

  void script(Step step);
  void setFailGrabs(bool fail);
  // Counters for the test.
  int captures() const;
  int grabs() const;
  std::vector<std::uint64_t> excludedWindows() const;

  CaptureResult capture(std::chrono::milliseconds timeout) override;
  CaptureResult grab() override;
  CapturedFrame frame() const override;
  // A copy of its own each time: the script may repaint the picture at any moment.
  PixelBufferRef picture() const override;
  DisplayRect bounds() const override { return bounds_; }
  void setExcludedWindows(std::vector<std::uint64_t> windows) override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable scripted_;
  bool failGrabs_ = false;
  DisplayRect bounds_;
  std::deque<Step> steps_;
  std::vector<std::uint32_t> pixels_;
  std::vector<std::uint64_t> excluded_;
  int captures_ = 0;
  int grabs_ = 0;
};

}  // namespace ombrel
