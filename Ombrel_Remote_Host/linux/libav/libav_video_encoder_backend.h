#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/video/bgrx_converter.h"
#include "Ombrel_Remote_Host/video/frame_times.h"
#include "Ombrel_Remote_Host/video/video_encoder_backend.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace ombrel {

// libavcodec encoders behind the `VideoEncoderBackend` seam.
//
// Order tried (see `chooseVideoEncoder` for the rounds):
//   h264: h264_vaapi, h264_nvenc (hardware), then libx264;
//   hevc: hevc_vaapi, hevc_nvenc (hardware), then libx265.
// A hardware encoder without its device (no /dev/dri render node, no CUDA driver) fails to open
// with a negative status, and the chooser moves on. Only nvenc has a low-latency mode of its
// own (tune "ull" instead of "ll").
//
// Every encoder is set up for one-in, one-out real-time coding: no B-frames, no lookahead,
// slice threads only, an infinite GOP (key frames only when asked, and then IDR frames), speed
// over quality, an average rate with a cap of 1.5 × the rate per one-second window, High
// profile with CABAC (h264) or Main (hevc), and the global header.
class LibavVideoEncoderBackend : public VideoEncoderBackend {
 public:
  enum class Kind { vaapi, nvenc, x264, x265 };

  static std::unique_ptr<VideoEncoderBackend> open(Kind kind, const std::string& name,
                                                   const VideoEncoderSettings& settings,
                                                   int& status);
  ~LibavVideoEncoderBackend() override;

  Bytes header() const override;
  int send(const PixelBuffer& picture, std::int64_t ptsMicros, bool forceKey) override;
  int receive(std::vector<EncodedPacket>& out) override;
  int finish(std::vector<EncodedPacket>& out) override;
  int setBitrate(std::int64_t kbps) override;
  bool changesBitrateInPlace() const override;

 private:
  LibavVideoEncoderBackend(Kind kind, std::string name, const VideoEncoderSettings& settings);
  int openContext();
  // Frees the codec; `closeContext` frees the vaapi device and frame pool as well.
  void closeCodec();
  void closeContext();
  int drain(std::vector<EncodedPacket>& out);

  Kind kind_;
  std::string name_;
  VideoEncoderSettings settings_;
  AVCodecContext* context_ = nullptr;
  AVBufferRef* device_ = nullptr;  // vaapi only
  AVBufferRef* frames_ = nullptr;  // vaapi only: the frame pool on `device_`
  // The converted picture in system memory, kept between pictures: a new picture from the same
  // capturer is converted only where it differs from the one converted last.
  AVFrame* frame_ = nullptr;
  std::shared_ptr<const PictureChanges> convertedChanges_;
  std::uint64_t convertedGeneration_ = 0;
  AVPacket* packet_ = nullptr;
  BgrxConverter converter_;
  FrameTimes times_;
  // Packets left from an encoder that was reopened, handed out by the next `receive`.
  std::vector<EncodedPacket> carried_;
  bool keyPending_ = false;
};

// The candidates for `chooseVideoEncoder`, in the order above.
std::vector<VideoEncoderCandidate> libavVideoEncoderCandidates(VideoCodec codec);

}  // namespace ombrel
