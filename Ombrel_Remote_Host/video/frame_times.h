#pragma once

#include <cstdint>
#include <map>

namespace ombrel {

// Encoders are fed a frame count as their clock, not microseconds: their rate control then works
// per frame at the expected rate whatever the capture's clock says. This maps each count back to
// the picture's presentation time.
class FrameTimes {
 public:
  // The count to give the encoder for a picture shown at `ptsMicros`.
  std::int64_t add(std::int64_t ptsMicros) {
    times_[next_] = ptsMicros;
    return next_++;
  }
  // Forgets a picture the encoder refused.
  void drop(std::int64_t index) { times_.erase(index); }
  // The time of the picture the encoder returned as `index` (0 if unknown). Earlier pictures
  // the encoder never returned (none without reordering) are forgotten with it.
  std::int64_t take(std::int64_t index) {
    const auto found = times_.find(index);
    const std::int64_t micros = found == times_.end() ? 0 : found->second;
    times_.erase(times_.begin(), times_.upper_bound(index));
    return micros;
  }

 private:
  std::int64_t next_ = 0;
  std::map<std::int64_t, std::int64_t> times_;
};

}  // namespace ombrel
