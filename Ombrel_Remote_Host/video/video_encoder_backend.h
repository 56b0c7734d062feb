#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OmbrelKit/video_codec.h"
#include "Ombrel_Remote_Host/video/pixel_buffer.h"
#include "base/bytes.h"

namespace ombrel {

struct VideoEncoderSettings {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t fps = 60;
  std::int64_t bitrateKbps = 0;
  VideoCodec codec = VideoCodec::hevc;
  // Open with the encoder's low-latency rate control, where it has one.
  bool lowLatency = false;
  // Replaces the software encoders' speed preset; empty keeps the tuned one. For benchmarks.
  std::string preset;
};

// One encoded picture, as the encoder wrote it (Annex-B).
struct EncodedPacket {
  Bytes data;
  std::int64_t ptsMicros = 0;
  bool isKeyframe = false;
};

// The platform seam under `VideoEncoder`: one opened encoder. Every call comes from the
// `VideoEncoder`'s output thread, so implementations need no locking of their own.
// Status values follow libavcodec: 0 is success, negative is an error code.
class VideoEncoderBackend {
 public:
  virtual ~VideoEncoderBackend() = default;

  // Parameter sets known at open (the global header): Annex-B or an avcC/hvcC record; empty
  // when the encoder sends them in-band only. May change after `setBitrate`.
  virtual Bytes header() const = 0;
  // Converts and submits one picture (scaled to the opened size if it differs). With
  // `forceKey` the picture becomes an IDR frame.
  virtual int send(const PixelBuffer& picture, std::int64_t ptsMicros, bool forceKey) = 0;
  // Moves every finished packet to `out`.
  virtual int receive(std::vector<EncodedPacket>& out) = 0;
  // Drains the encoder: every submitted picture comes out; nothing can be sent afterwards.
  virtual int finish(std::vector<EncodedPacket>& out) = 0;
  // Changes the average rate (and the 1.5× per second cap). An encoder that cannot change it in
  // place may reopen, in which case its next packet is a key frame.
  virtual int setBitrate(std::int64_t kbps) = 0;
  // False when `setBitrate` reopens the encoder (and so costs a key frame): the caller then
  // spaces rate changes out.
  virtual bool changesBitrateInPlace() const = 0;
};

// One encoder the chooser may try. `open` returns the backend, or null with a negative
// `status` (a missing device or library is a failure like any other).
struct VideoEncoderCandidate {
  std::string name;
  bool hardware = false;
  // Whether opening with `lowLatency` means something different for this encoder.
  bool hasLowLatencyMode = false;
  std::function<std::unique_ptr<VideoEncoderBackend>(const VideoEncoderSettings&, int& status)>
      open;
};

struct VideoEncoderChoice {
  std::unique_ptr<VideoEncoderBackend> backend;
  std::string name;
  bool lowLatencyMode = false;
};

// The encoders this platform offers for `codec`, hardware first. Defined in backends/, the one
// place that knows which encoder libraries the build has.
std::vector<VideoEncoderCandidate> platformVideoEncoderCandidates(VideoCodec codec);

// Tries the candidates in three rounds, keeping the first that opens:
//   1. hardware encoders, lowLatency false;
//   2. hardware encoders that have a low-latency mode, lowLatency true;
//   3. any software encoder, lowLatency false.
// Throws NVError::invalid("無法建立硬體編碼器 (<last status>)") when none opens.
VideoEncoderChoice chooseVideoEncoder(const std::vector<VideoEncoderCandidate>& candidates,
                                      VideoEncoderSettings settings);

}  // namespace ombrel
