#include "Ombrel_Remote_Host/video/fake/fake_video_encoder_backend.h"

#include <algorithm>
#include <cstring>

namespace ombrel {

FakeVideoEncoderBackend::FakeVideoEncoderBackend(VideoEncoderSettings settings,
                                                 FakeVideoEncoderScript script,
                                                 std::shared_ptr<FakeVideoEncoderRecord> record)
    : settings_(settings), script_(std::move(script)), record_(std::move(record)) {}

Bytes FakeVideoEncoderBackend::packetFor(VideoCodec codec, std::int64_t ptsMicros, bool key) {
  const bool h264 = codec == VideoCodec::h264;
  // Header bytes: h264 type in the low five bits; hevc type in bits 1..6 of a two-byte header.
  const Bytes aud = h264 ? Bytes{0x09, 0xF0} : Bytes{35 << 1, 0x01, 0x50};
  const Bytes sei = h264 ? Bytes{0x06, 0x05, 0x01, 0x80} : Bytes{39 << 1, 0x01, 0x05, 0x80};
  Bytes slice = h264 ? Bytes{static_cast<std::uint8_t>(key ? 0x65 : 0x41)}
                     : Bytes{static_cast<std::uint8_t>((key ? 19 : 1) << 1), 0x01};
  for (int shift = 56; shift >= 0; shift -= 8) {
    // Keep the time bytes free of start-code look-alikes: one bit set in every byte.
    slice.push_back(static_cast<std::uint8_t>((ptsMicros >> shift) & 0x7F) | 0x80);
  }
  return concat(Bytes{0, 0, 0, 1}, aud, Bytes{0, 0, 1}, sei, Bytes{0, 0, 0, 1}, slice);
}

int FakeVideoEncoderBackend::send(const PixelBuffer& picture, std::int64_t ptsMicros,
                                  bool forceKey) {
  if (script_.beforeSend) script_.beforeSend();
  const std::size_t n = sendCount_++;
  {
    std::lock_guard lock(record_->lock);
    record_->calls.push_back("send " + std::to_string(ptsMicros) +
                             " key=" + (forceKey ? "1" : "0") + " " +
                             std::to_string(picture.width) + "x" + std::to_string(picture.height));
    std::uint32_t first = 0;
    if (picture.data) std::memcpy(&first, picture.data, sizeof first);
    record_->pictures.push_back({first});
  }
  const int status = n < script_.sendStatuses.size() ? script_.sendStatuses[n] : 0;
  if (status < 0) return status;
  const auto listed = [n](const std::vector<std::size_t>& sends) {
    return std::find(sends.begin(), sends.end(), n) != sends.end();
  };
  if (listed(script_.swallowedSends)) return 0;
  const bool key = forceKey || reopened_;
  reopened_ = false;
  ready_.push_back({.packet = {packetFor(settings_.codec, ptsMicros, key), ptsMicros, key},
                    .held = listed(script_.heldSends)});
  return 0;
}

int FakeVideoEncoderBackend::receive(std::vector<EncodedPacket>& out) {
  const std::size_t n = receiveCount_++;
  const int status = n < script_.receiveStatuses.size() ? script_.receiveStatuses[n] : 0;
  if (status < 0) {
    {
      std::lock_guard lock(record_->lock);
      record_->calls.push_back("receive " + std::to_string(status));
    }
    ready_.clear();
    return status;
  }
  std::vector<Ready> kept;
  for (Ready& entry : ready_) {
    if (entry.held) {
      entry.held = false;
      kept.push_back(std::move(entry));
    } else {
      out.push_back(std::move(entry.packet));
    }
  }
  ready_ = std::move(kept);
  return 0;
}

int FakeVideoEncoderBackend::finish(std::vector<EncodedPacket>& out) {
  {
    std::lock_guard lock(record_->lock);
    record_->calls.push_back("finish");
  }
  for (Ready& entry : ready_) out.push_back(std::move(entry.packet));
  ready_.clear();
  return 0;
}

int FakeVideoEncoderBackend::setBitrate(std::int64_t kbps) {
  std::lock_guard lock(record_->lock);
  record_->calls.push_back("bitrate " + std::to_string(kbps));
  reopened_ = script_.reopensForBitrate;
  return 0;
}

VideoEncoderCandidate fakeVideoEncoderCandidate(std::string name, bool hardware,
                                                bool hasLowLatencyMode,
                                                FakeVideoEncoderScript script,
                                                std::shared_ptr<FakeVideoEncoderRecord> record) {
  return {.name = name,
          .hardware = hardware,
          .hasLowLatencyMode = hasLowLatencyMode,
          .open = [name, script = std::move(script), record = std::move(record)](
                      const VideoEncoderSettings& settings,
                      int& status) -> std::unique_ptr<VideoEncoderBackend> {
            {
              std::lock_guard lock(record->lock);
              record->opens.push_back(name + " lowLatency=" + (settings.lowLatency ? "1" : "0"));
            }
            status = settings.lowLatency && script.lowLatencyOpenStatus
                         ? *script.lowLatencyOpenStatus
                         : script.openStatus;
            if (status < 0) return nullptr;
            return std::make_unique<FakeVideoEncoderBackend>(settings, script, record);
          }};
}

}  // namespace ombrel
