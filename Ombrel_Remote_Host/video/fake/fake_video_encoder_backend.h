#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/video/video_encoder_backend.h"

namespace ombrel {

// What a fake encoder does, set by the test.
struct FakeVideoEncoderScript {
  // Negative: opening fails with this status.
  int openStatus = 0;
  // When set, replaces `openStatus` for opens with the low-latency mode.
  std::optional<int> lowLatencyOpenStatus;
  // Returned by header() (Annex-B, an avcC/hvcC record, or nothing).
  Bytes header;
  // Status of the n-th send; sends past the end succeed.
  std::vector<int> sendStatuses;
  // Status of the n-th receive; receives past the end succeed. A failed receive loses the
  // packets it would have moved out.
  std::vector<int> receiveStatuses;
  // Sends (by index) that the encoder accepts and then never emits, not even at finish.
  std::vector<std::size_t> swallowedSends;
  // Sends (by index) whose packet the encoder holds back until the receive after their own, as
  // an encoder with a queue does.
  std::vector<std::size_t> heldSends;
  // The encoder reopens for a new bit rate: its next packet is a key frame.
  bool reopensForBitrate = false;
  // Runs on the output thread before each send (a test can hold the encoder there).
  std::function<void()> beforeSend;
};

// What fakes were asked to do, shared by every candidate of a test.
struct FakeVideoEncoderRecord {
  std::mutex lock;
  std::vector<std::string> opens;  // "name lowLatency=0|1", in order tried
  // In order: "send <pts> key=0|1 <width>x<height>" (failed ones too), "receive <status>"
  // (failed ones only), "bitrate <kbps>", "finish".
  std::vector<std::string> calls;
  // Each picture sent: its first pixel as the encoder saw it.
  struct Picture {
    std::uint32_t firstPixel = 0;
  };
  std::vector<Picture> pictures;

  std::vector<std::string> callList() {
    std::lock_guard guard(lock);
    return calls;
  }
};

// An encoder that codes nothing: each successful send yields one Annex-B packet in the codec's
// syntax (access unit delimiter, SEI, then an IDR slice when a key frame was asked for and a
// plain slice otherwise), whose slice bytes carry the picture's presentation time.
class FakeVideoEncoderBackend : public VideoEncoderBackend {
 public:
  FakeVideoEncoderBackend(VideoEncoderSettings settings, FakeVideoEncoderScript script,
                          std::shared_ptr<FakeVideoEncoderRecord> record);

  Bytes header() const override { return script_.header; }
  int send(const PixelBuffer& picture, std::int64_t ptsMicros, bool forceKey) override;
  int receive(std::vector<EncodedPacket>& out) override;
  int finish(std::vector<EncodedPacket>& out) override;
  int setBitrate(std::int64_t kbps) override;
  bool changesBitrateInPlace() const override { return !script_.reopensForBitrate; }

  // The packet a send of (ptsMicros, key) produces.
  static Bytes packetFor(VideoCodec codec, std::int64_t ptsMicros, bool key);

 private:
  VideoEncoderSettings settings_;
  FakeVideoEncoderScript script_;
  std::shared_ptr<FakeVideoEncoderRecord> record_;
  std::size_t sendCount_ = 0;
  std::size_t receiveCount_ = 0;
  // Coded packets not yet received; a held one skips the next receive.
  struct Ready {
    EncodedPacket packet;
    bool held = false;
  };
  std::vector<Ready> ready_;
  bool reopened_ = false;  // the next packet is a key frame
};

VideoEncoderCandidate fakeVideoEncoderCandidate(std::string name, bool hardware,
                                                bool hasLowLatencyMode,
                                                FakeVideoEncoderScript script,
                                                std::shared_ptr<FakeVideoEncoderRecord> record);

}  // namespace ombrel
