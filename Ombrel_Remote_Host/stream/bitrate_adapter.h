#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace ombrel {

// The once-a-second bit-rate adaptation of a stream, from the streamer's frame counters and
// the client's round-trip reports. Pure bookkeeping: the session feeds it counters and times
// and applies the bit rate it returns. Lives on the session's connection queue.
//
// Each tick, in order of precedence:
//   delay cut  when the latest RTT exceeds the minimum of the last 30 s by more than 40 ms
//              and by more than 0.6 x the minimum, at most every 1.5 s: x0.75
//   skip cut   when the streamer skipped too many frames (more than 2 of fewer than 20
//              encoded, or more than a tenth of 20 or more): x0.7
//   raise      after 3 calm seconds (queue delay under 25 ms), towards the target by
//              15 % + 500 kbit/s a second
// Cuts never go below the floor: 256 kbit/s with receiver pacing, 1500 without.
class BitrateAdapter {
 public:
  struct Tick {
    std::optional<std::int64_t> apply;  // a new bit rate for the streamer
    std::int64_t bitrateKbps = 0;       // for hostStats
    std::int64_t encodedFrames = 0;     // frames encoded in this tick (encodeFps)
    std::int64_t skippedFrames = 0;     // frames skipped in this tick
  };

  static constexpr double rttWindow = 30.0;
  // A client may report far more often than once a second; past this many candidate minima
  // the oldest is dropped, so memory stays bounded whatever the report rate.
  static constexpr std::size_t kMaxRttSamples = 4096;

  // A new stream: both bit rates set, counters and RTT history cleared.
  void reset(std::int64_t targetKbps, std::int64_t currentKbps);
  // The client changed the target (updateBitrate): both rates follow.
  void setBitrate(std::int64_t kbps);

  // clientStats: `now` in seconds of a monotonic clock.
  void recordRtt(double now, double rttMs);

  // One statistics tick. `encodedTotal`/`skippedTotal` are the streamer's counters.
  Tick tick(double now, std::int64_t encodedTotal, std::int64_t skippedTotal, bool adaptive,
            bool receiverPacing);

  std::int64_t targetBitrate() const { return target_; }
  std::int64_t currentBitrate() const { return current_; }
  int calmSeconds() const { return calmSeconds_; }
  std::size_t rttSampleCount() const { return rttSamples_.size(); }

 private:
  struct Sample {
    double t;
    double ms;
  };

  std::int64_t target_ = 0;
  std::int64_t current_ = 0;
  std::int64_t lastEncoded_ = 0;
  std::int64_t lastSkipped_ = 0;
  int calmSeconds_ = 0;
  // Only the samples that can still become the window's minimum, oldest first with rising
  // RTTs: the front is the minimum, and each report costs O(1) amortised.
  std::deque<Sample> rttSamples_;
  std::optional<double> lastRtt_;
  double lastDelayCut_ = 0;
};

}  // namespace ombrel
