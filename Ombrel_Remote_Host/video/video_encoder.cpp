#include "Ombrel_Remote_Host/video/video_encoder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string_view>
#include <utility>

#include "OmbrelKit/nv_error.h"
#include "Ombrel_Remote_Host/video/linux/libav_video_encoder_backend.h"
#include "base/log.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t delaysPerLine = 60;

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
    : VideoEncoder(width, height, fps, bitrateKbps, codec, libavVideoEncoderCandidates(codec)) {}

VideoEncoder::VideoEncoder(std::int64_t width, std::int64_t height, std::int64_t fps,
                           std::int64_t bitrateKbps, VideoCodec codec,
                           const std::vector<VideoEncoderCandidate>& candidates)
    : width(width),
      height(height),
      codec(codec),
      bitrateKbps(bitrateKbps),
      packager_(codec, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)) {
  if (!fitsFrame(width) || !fitsFrame(height)) {
    throw NVError::invalid("無法建立硬體編碼器 (" + std::to_string(-EINVAL) + ")");
  }
  VideoEncoderChoice choice = chooseVideoEncoder(
      candidates,
      {.width = width, .height = height, .fps = fps, .bitrateKbps = bitrateKbps, .codec = codec});
  backend_ = std::move(choice.backend);
  encoderName_ = std::move(choice.name);
  lowLatencyMode_ = choice.lowLatencyMode;
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
  const auto start = Clock::now();
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
  bool keyOwed = false;
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
      if (backend_->setBitrate(*job.bitrate) < 0) {
        log::line("Ombrel Remote: " + encoderName_ + " refused the new bit rate");
      }
      const Bytes header = backend_->header();
      if (!header.empty()) packager_.setHeader(header);
      continue;
    }
    // A key frame asked for on a picture that failed is owed to the next one.
    Job& current = job;
    current.forceKey = current.forceKey || keyOwed;
    starts_.push_back(current.start);
    const int status = backend_->send(*current.picture, current.ptsMicros, current.forceKey);
    current.picture.reset();
    if (status < 0) {
      // The picture is lost: it no longer counts as in flight, and the next one goes through.
      starts_.pop_back();
      keyOwed = current.forceKey;
      std::lock_guard lock(inFlightLock_);
      inFlight_ = std::max<std::int64_t>(inFlight_ - 1, 0);
      continue;
    }
    keyOwed = false;
    std::vector<EncodedPacket> packets;
    backend_->receive(packets);
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

void VideoEncoder::emit(std::vector<EncodedPacket>& packets) {
  for (EncodedPacket& packet : packets) {
    {
      std::lock_guard lock(inFlightLock_);
      inFlight_ = std::max<std::int64_t>(inFlight_ - 1, 0);
    }
    if (!starts_.empty()) {
      if (debug()) noteDelay(starts_.front());
      starts_.pop_front();
    }
    auto frame =
        packager_.package(packet.data, packet.isKeyframe,
                          static_cast<std::uint64_t>(std::max<std::int64_t>(packet.ptsMicros, 0)));
    if (frame && onFrame) onFrame(std::move(*frame));
  }
}

void VideoEncoder::noteDelay(Clock::time_point start) {
  debugDelays_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
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
