#include "Ombrel_Remote_Host/video/video_encoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string_view>
#include <utility>

#include "OmbrelKit/nv_error.h"
#include "base/log.h"
#include "base/thread_priority.h"

namespace ombrel {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t delaysPerLine = 60;
// Start times kept for pictures still inside the encoder.
constexpr std::size_t maxStarts = 64;

// A stream frame carries its size in 16 bits.
bool fitsFrame(std::int64_t side) { return side > 0 && side <= 65535; }

}  // namespace

bool VideoEncoder::debug() {
  static const bool value = [] {
    const char* raw = std::getenv("NEROVALDE_DEBUG");
    return raw != nullptr && std::string_view(raw) == "1";
  }();
  return value;
}

VideoEncoder::VideoEncoder(std::int64_t width, std::int64_t height, std::int64_t fps,
                           std::int64_t bitrateKbps, VideoCodec codec)
    : VideoEncoder(width, height, fps, bitrateKbps, codec, platformVideoEncoderCandidates(codec)) {}

VideoEncoder::VideoEncoder(std::int64_t width, std::int64_t height, std::int64_t fps,
                           std::int64_t bitrateKbps, VideoCodec codec,
                           const std::vector<VideoEncoderCandidate>& candidates,
                           std::shared_ptr<const Clock> clock)
    : width(width),
      height(height),
      codec(codec),
      bitrateKbps(bitrateKbps),
      clock_(clock ? std::move(clock) : std::make_shared<SystemClock>()),
      appliedKbps_(bitrateKbps),
      packager_(codec, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)) {
  if (!fitsFrame(width) || !fitsFrame(height)) {
    throw NVError::invalid("無法建立硬體編碼器 (" + std::to_string(-EINVAL) + ")");
  }
  VideoEncoderChoice choice = [&] {
    // Most of the encoding runs on the codec's own worker threads, which start while it opens
    // and take the priority of the thread that starts them. libx265's pool workers then lower
    // themselves by ten nice steps (nice(10)), so raised they end level with normal threads
    // rather than below them.
    InheritedThreadPriority raised(ThreadRole::codecWorkers);
    return chooseVideoEncoder(
        candidates,
        {.width = width, .height = height, .fps = fps, .bitrateKbps = bitrateKbps, .codec = codec});
  }();
  backend_ = std::move(choice.backend);
  encoderName_ = std::move(choice.name);
  lowLatencyMode_ = choice.lowLatencyMode;
  // Opening cost a key frame like a reopen does.
  lastReopen_ = clock_->now();
  const Bytes header = backend_->header();
  if (!header.empty() && !packager_.setHeader(header)) {
    log::line("Ombrel Remote: " + encoderName_ + " header is neither Annex-B nor a record");
  }
  log::line("Ombrel Remote: video encoder " + encoderName_ + " " + std::to_string(width) + "x" +
            std::to_string(height));
  thread_ = std::thread([this] { run(); });
}

VideoEncoder::~VideoEncoder() { invalidate(); }

void VideoEncoder::encode(PixelBufferRef picture, std::int64_t ptsMicros) {
  if (invalidated_ || !picture) return;
  const bool key = forceKey;
  forceKey = false;
  const auto start = SteadyClock::now();
  {
    std::lock_guard lock(inFlightLock_);
    ++inFlight_;
  }
  {
    std::lock_guard lock(queueLock_);
    jobs_.push_back(
        {.picture = std::move(picture), .ptsMicros = ptsMicros, .forceKey = key, .start = start});
  }
  queueChanged_.notify_one();
}

void VideoEncoder::applyBitrate() {
  if (invalidated_) return;
  {
    std::lock_guard lock(queueLock_);
    jobs_.push_back({.bitrate = bitrateKbps});
  }
  queueChanged_.notify_one();
}

void VideoEncoder::invalidate() {
  if (invalidated_) return;
  invalidated_ = true;
  {
    std::lock_guard lock(queueLock_);
    closing_ = true;
  }
  queueChanged_.notify_one();
  if (thread_.joinable()) thread_.join();
}

std::int64_t VideoEncoder::inFlight() const {
  std::lock_guard lock(inFlightLock_);
  return inFlight_;
}

void VideoEncoder::run() {
  raiseThreadPriority(ThreadRole::encoder);
  // A key frame asked for stays owed until a key frame of that picture or a later one comes
  // out: the picture may be refused, lost inside the encoder, or held there while older
  // pictures come out.
  bool keyOwed = false;
  std::int64_t keyOwedFrom = 0;  // presentation time of the first picture asked to be it
  bool failing = false;
  // A rate change held back until a reopening encoder may take it.
  bool ratePending = false;
  std::int64_t pendingKbps = 0;
  for (;;) {
    Job job;
    {
      std::unique_lock lock(queueLock_);
      queueChanged_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
      if (jobs_.empty()) break;  // closing, and nothing left to encode
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (job.bitrate) {
      if (backend_->changesBitrateInPlace()) {
        applyRate(*job.bitrate);
      } else {
        // The bit-rate adapter may move every second, and each reopen sends a key frame down a
        // link that was just told to back off: keep only the latest rate for later.
        ratePending = true;
        pendingKbps = *job.bitrate;
      }
      continue;
    }
    if (ratePending && clock_->now() - lastReopen_ >= minReopenInterval) {
      ratePending = false;
      if (pendingKbps != appliedKbps_) {
        applyRate(pendingKbps);
        lastReopen_ = clock_->now();
      }
    }
    if (job.forceKey && !keyOwed) {
      keyOwed = true;
      keyOwedFrom = job.ptsMicros;
    }
    int status = backend_->send(*job.picture, job.ptsMicros, keyOwed);
    job.picture.reset();
    std::vector<EncodedPacket> packets;
    if (status >= 0) {
      noteStart(job.ptsMicros, job.start);
      status = backend_->receive(packets);
    }
    // The picture is done with, whether it came out, was lost, or stays inside the encoder
    // until later pictures push it out: the gate must not wait for it.
    {
      std::lock_guard lock(inFlightLock_);
      inFlight_ = std::max<std::int64_t>(inFlight_ - 1, 0);
    }
    if (status < 0 && !failing) {
      log::line("Ombrel Remote: " + encoderName_ + " lost a picture (" + std::to_string(status) +
                ")");
    }
    failing = status < 0;
    keyOwed = keyOwed && std::none_of(packets.begin(), packets.end(), [&](const auto& packet) {
                return packet.isKeyframe && packet.ptsMicros >= keyOwedFrom;
              });
    emit(packets);
  }
  std::vector<EncodedPacket> packets;
  backend_->finish(packets);
  emit(packets);
  backend_.reset();
  starts_.clear();
  std::lock_guard lock(inFlightLock_);
  inFlight_ = 0;
}

void VideoEncoder::applyRate(std::int64_t kbps) {
  // A codec that reopens for the new rate starts its workers again, from this thread.
  InheritedThreadPriority workers(ThreadRole::codecWorkers);
  if (backend_->setBitrate(kbps) < 0) {
    log::line("Ombrel Remote: " + encoderName_ + " refused the new bit rate");
  } else {
    appliedKbps_ = kbps;
  }
  const Bytes header = backend_->header();
  if (!header.empty()) packager_.setHeader(header);
}

void VideoEncoder::noteStart(std::int64_t ptsMicros, SteadyClock::time_point start) {
  // Pictures the encoder never gives back would otherwise pile up here.
  if (starts_.size() >= maxStarts) starts_.pop_front();
  starts_.push_back({ptsMicros, start});
}

void VideoEncoder::emit(std::vector<EncodedPacket>& packets) {
  for (EncodedPacket& packet : packets) {
    // Pictures come out in order; any older start belongs to a picture that was lost.
    const auto it = std::find_if(starts_.begin(), starts_.end(), [&](const auto& entry) {
      return entry.first == packet.ptsMicros;
    });
    if (it != starts_.end()) {
      if (debug()) noteDelay(it->second);
      starts_.erase(starts_.begin(), it + 1);
    }
    auto frame =
        packager_.package(packet.data, packet.isKeyframe,
                          static_cast<std::uint64_t>(std::max<std::int64_t>(packet.ptsMicros, 0)));
    if (frame && onFrame) onFrame(std::move(*frame));
  }
}

void VideoEncoder::noteDelay(SteadyClock::time_point start) {
  debugDelays_.push_back(
      std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
  if (debugDelays_.size() < delaysPerLine) return;
  const double mean =
      std::accumulate(debugDelays_.begin(), debugDelays_.end(), 0.0) / double(delaysPerLine);
  char line[96];
  std::snprintf(line, sizeof line, "[encoder] lowLatency=%d avg encode %.1f ms",
                lowLatencyMode_ ? 1 : 0, mean);
  log::diagnostic(line);
  debugDelays_.clear();
}

}  // namespace ombrel
