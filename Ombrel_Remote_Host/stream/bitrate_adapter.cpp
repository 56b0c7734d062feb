#include "Ombrel_Remote_Host/stream/bitrate_adapter.h"

#include <algorithm>
#include <limits>

#include "OmbrelKit/video_backpressure.h"

namespace ombrel {
namespace {

constexpr double kDelayCutFactor = 0.75;
constexpr double kSkipCutFactor = 0.7;
constexpr double kDelayThresholdMs = 40.0;
constexpr double kDelayThresholdOfMinimum = 0.6;
constexpr double kDelayCutSpacing = 1.5;
constexpr double kCalmDelayMs = 25.0;
constexpr int kCalmSecondsBeforeRaise = 3;
constexpr std::int64_t kPacedFloor = 256;
constexpr std::int64_t kUnpacedFloor = 1500;

// Clients choose the rates; saturate rather than wrap when they pick absurd ones.
std::int64_t reduced(std::int64_t current, std::int64_t target, double factor, std::int64_t floor) {
  auto clampInt = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, std::numeric_limits<int>::max()));
  };
  return VideoBackpressure::reducedBitrate(clampInt(current), clampInt(target), factor,
                                           clampInt(floor));
}

}  // namespace

void BitrateAdapter::reset(std::int64_t targetKbps, std::int64_t currentKbps) {
  target_ = targetKbps;
  current_ = currentKbps;
  // A new stream comes with a new streamer whose counters start at zero; keeping the old
  // stream's counters would report negative frame counts on the first tick.
  lastEncoded_ = 0;
  lastSkipped_ = 0;
  calmSeconds_ = 0;
  rttSamples_.clear();
  lastRtt_.reset();
}

void BitrateAdapter::setBitrate(std::int64_t kbps) {
  target_ = kbps;
  current_ = kbps;
}

void BitrateAdapter::recordRtt(double now, double rttMs) {
  while (!rttSamples_.empty() && rttSamples_.back().ms >= rttMs) rttSamples_.pop_back();
  rttSamples_.push_back({now, rttMs});
  while (rttSamples_.size() > kMaxRttSamples || now - rttSamples_.front().t > rttWindow) {
    rttSamples_.pop_front();
  }
  lastRtt_ = rttMs;
}

BitrateAdapter::Tick BitrateAdapter::tick(double now, std::int64_t encodedTotal,
                                          std::int64_t skippedTotal, bool adaptive,
                                          bool receiverPacing) {
  Tick result;
  result.skippedFrames = skippedTotal - lastSkipped_;
  result.encodedFrames = encodedTotal - lastEncoded_;
  lastSkipped_ = skippedTotal;
  lastEncoded_ = encodedTotal;

  double minimumRtt = 0;
  if (!rttSamples_.empty()) minimumRtt = rttSamples_.front().ms;
  double latestRtt = lastRtt_.value_or(minimumRtt);
  double queueDelay = latestRtt - minimumRtt;
  std::int64_t floor = receiverPacing ? kPacedFloor : kUnpacedFloor;
  std::int64_t skipped = result.skippedFrames;
  std::int64_t encoded = result.encodedFrames;

  if (adaptive) {
    bool delayed = lastRtt_ && queueDelay > kDelayThresholdMs &&
                   queueDelay > kDelayThresholdOfMinimum * minimumRtt &&
                   now - lastDelayCut_ > kDelayCutSpacing;
    bool skipping = (encoded < 20 && skipped > 2) || (encoded >= 20 && skipped > encoded / 10);
    if (delayed) {
      current_ = reduced(current_, target_, kDelayCutFactor, floor);
      calmSeconds_ = 0;
      lastDelayCut_ = now;
      result.apply = current_;
    } else if (skipping) {
      current_ = reduced(current_, target_, kSkipCutFactor, floor);
      calmSeconds_ = 0;
      result.apply = current_;
    } else if (queueDelay >= kCalmDelayMs) {
      calmSeconds_ = 0;
    } else {
      ++calmSeconds_;
      if (calmSeconds_ >= kCalmSecondsBeforeRaise && target_ > current_) {
        current_ = std::min(target_,
                            static_cast<std::int64_t>(static_cast<double>(current_) * 1.15) + 500);
        result.apply = current_;
      }
    }
  }
  result.bitrateKbps = current_;
  return result;
}

}  // namespace ombrel
