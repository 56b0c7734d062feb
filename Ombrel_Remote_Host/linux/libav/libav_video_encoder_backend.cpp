#include "Ombrel_Remote_Host/linux/libav/libav_video_encoder_backend.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <mutex>
#include <optional>

namespace ombrel {
namespace {

// Chosen by bench/encoder_bench.cpp: on two busy cores "superfast" costs 30-100 % more time per
// frame than "ultrafast" for 5-20 % fewer bytes at the same rate, and time per frame is what
// bounds the frame rate here (the capture drops pictures while one is in the encoder).
constexpr const char* x264Preset = "ultrafast";
constexpr const char* x265Preset = "ultrafast";

// The key frame interval is infinite, scene cuts never start one, and a key frame asked for is an
// IDR (open-gop off); cabac and the 8x8 transform give High profile even with the fastest preset.
constexpr const char* x264Params =
    "keyint=infinite:scenecut=0:bframes=0:rc-lookahead=0:sync-lookahead=0:cabac=1:8x8dct=1";
// For latency on two cores (bench/stream_latency_bench 60 hevc, 1080p, median of three runs):
// one frame thread with wavefront rows on the automatic two-thread pool gave p50 86 ms, p95
// 135 ms; without wavefront 99/149 ms, a one-thread pool 104/140 ms, 16×16 CTUs 118/149 ms;
// two frame threads or two slices held pictures back until later ones pushed them out. Nearly
// all of HEVC's extra latency over H.264 is libx265's own time per picture (45-90 ms of CPU,
// 40-150 ms wall, per 1080p picture on two busy shared cores, where libx264 takes 6 ms); on top of
// the ultrafast preset (which already has 32×32 CTUs, dia search, subme 0, no SAO, no AQ), none
// of lookahead-slices=0, no-deblock, rd=1, min-cu-size=32, ctu=64, pools=1 or no-wpp moved it
// beyond the run-to-run spread, so none is set.
constexpr const char* x265Params =
    "keyint=-1:open-gop=0:scenecut=0:bframes=0:rc-lookahead=0:frame-threads=1:"
    "repeat-headers=0:info=0:log-level=error";

constexpr std::int64_t maxKbps = 1'000'000;  // keeps 1.5 × rate in bits inside an int

bool changesRateInPlace(LibavVideoEncoderBackend::Kind kind) {
  // libavcodec's libx264 and nvenc wrappers reconfigure the running encoder; the libx265 and
  // vaapi ones read the rate only when opened. libx265 itself has x265_encoder_reconfig, but
  // Debian 12's libx265 3.5 takes the new rate and VBV into its parameters and goes on coding
  // at the old rate (frame sizes do not move at all, with or without lookahead or frame
  // threads), so driving it directly would buy nothing: it reopens, spaced out by VideoEncoder.
  return kind == LibavVideoEncoderBackend::Kind::x264 ||
         kind == LibavVideoEncoderBackend::Kind::nvenc;
}

void applyRate(AVCodecContext* context, std::int64_t kbps) {
  kbps = std::clamp<std::int64_t>(kbps, 1, maxKbps);
  context->bit_rate = kbps * 1000;
  context->rc_max_rate = kbps * 1500;
  context->rc_buffer_size = static_cast<int>(kbps * 1500);  // one second at the cap
}

void quietLibraryLogs() {
  // Hardware encoders that find no device print errors on every attempt; the chooser reports
  // the outcome itself.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

}  // namespace

LibavVideoEncoderBackend::LibavVideoEncoderBackend(Kind kind, std::string name,
                                                   const VideoEncoderSettings& settings)
    : kind_(kind), name_(std::move(name)), settings_(settings) {}

LibavVideoEncoderBackend::~LibavVideoEncoderBackend() { closeContext(); }

std::unique_ptr<VideoEncoderBackend> LibavVideoEncoderBackend::open(
    Kind kind, const std::string& name, const VideoEncoderSettings& settings, int& status) {
  quietLibraryLogs();
  std::unique_ptr<LibavVideoEncoderBackend> backend(
      new LibavVideoEncoderBackend(kind, name, settings));
  status = backend->openContext();
  if (status < 0) return nullptr;
  return backend;
}

int LibavVideoEncoderBackend::openContext() {
  const AVCodec* codec = avcodec_find_encoder_by_name(name_.c_str());
  if (!codec) return AVERROR_ENCODER_NOT_FOUND;
  const auto& s = settings_;
  if (s.width <= 0 || s.height <= 0 || s.width > 65535 || s.height > 65535) return AVERROR(EINVAL);
  const int fps = static_cast<int>(std::clamp<std::int64_t>(s.fps, 1, 1000));
  const bool h264 = s.codec == VideoCodec::h264;

  // A reopen for a new rate keeps the device and its frame pool.
  if (kind_ == Kind::vaapi && !device_) {
    const int result =
        av_hwdevice_ctx_create(&device_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (result < 0) return result;
  }
  context_ = avcodec_alloc_context3(codec);
  if (!context_) return AVERROR(ENOMEM);
  AVCodecContext* c = context_;
  c->width = static_cast<int>(s.width);
  c->height = static_cast<int>(s.height);
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->pix_fmt = kind_ == Kind::vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_YUV420P;
  c->max_b_frames = 0;
  // The software encoders take their infinite interval from the parameter strings; hardware
  // ones read this (2^30 frames is years at any rate).
  c->gop_size = kind_ == Kind::x264 || kind_ == Kind::x265 ? -1 : (1 << 30);
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->thread_type = FF_THREAD_SLICE;  // frame threads would hold pictures back
  // What libyuv produces: BT.601 matrix, video range, from sRGB captures.
  c->color_range = AVCOL_RANGE_MPEG;
  c->colorspace = AVCOL_SPC_SMPTE170M;
  c->color_primaries = AVCOL_PRI_BT709;
  c->color_trc = AVCOL_TRC_IEC61966_2_1;
  applyRate(c, s.bitrateKbps);

  AVDictionary* options = nullptr;
  av_dict_set(&options, "profile", h264 ? "high" : "main", 0);
  switch (kind_) {
    case Kind::x264:
      av_dict_set(&options, "preset", s.preset.empty() ? x264Preset : s.preset.c_str(), 0);
      av_dict_set(&options, "tune", "zerolatency", 0);
      av_dict_set(&options, "forced-idr", "1", 0);
      av_dict_set(&options, "x264-params", x264Params, 0);
      break;
    case Kind::x265:
      av_dict_set(&options, "preset", s.preset.empty() ? x265Preset : s.preset.c_str(), 0);
      av_dict_set(&options, "tune", "zerolatency", 0);
      av_dict_set(&options, "forced-idr", "1", 0);
      av_dict_set(&options, "x265-params", x265Params, 0);
      break;
    case Kind::nvenc:
      av_dict_set(&options, "preset", "p1", 0);
      av_dict_set(&options, "tune", s.lowLatency ? "ull" : "ll", 0);
      av_dict_set(&options, "zerolatency", "1", 0);
      av_dict_set(&options, "delay", "0", 0);
      av_dict_set(&options, "rc", "vbr", 0);
      av_dict_set(&options, "rc-lookahead", "0", 0);
      av_dict_set(&options, "forced-idr", "1", 0);
      break;
    case Kind::vaapi: {
      av_dict_set(&options, "rc_mode", "VBR", 0);
      av_dict_set(&options, "async_depth", "1", 0);
      if (!frames_) {
        AVBufferRef* frames = av_hwframe_ctx_alloc(device_);
        if (!frames) {
          av_dict_free(&options);
          return AVERROR(ENOMEM);
        }
        auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
        framesContext->format = AV_PIX_FMT_VAAPI;
        framesContext->sw_format = AV_PIX_FMT_NV12;
        framesContext->width = c->width;
        framesContext->height = c->height;
        framesContext->initial_pool_size = 4;
        const int result = av_hwframe_ctx_init(frames);
        if (result < 0) {
          av_buffer_unref(&frames);
          av_dict_free(&options);
          return result;
        }
        frames_ = frames;
      }
      c->hw_frames_ctx = av_buffer_ref(frames_);
      if (!c->hw_frames_ctx) {
        av_dict_free(&options);
        return AVERROR(ENOMEM);
      }
      break;
    }
  }
  const int result = avcodec_open2(c, codec, &options);
  av_dict_free(&options);
  if (result < 0) return result;

  frame_ = av_frame_alloc();
  convertedChanges_.reset();
  packet_ = av_packet_alloc();
  if (!frame_ || !packet_) return AVERROR(ENOMEM);
  frame_->format = kind_ == Kind::vaapi ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
  frame_->width = c->width;
  frame_->height = c->height;
  return av_frame_get_buffer(frame_, 0);
}

void LibavVideoEncoderBackend::closeCodec() {
  avcodec_free_context(&context_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

void LibavVideoEncoderBackend::closeContext() {
  closeCodec();
  av_buffer_unref(&frames_);
  av_buffer_unref(&device_);
}

Bytes LibavVideoEncoderBackend::header() const {
  if (!context_ || !context_->extradata) return {};
  return Bytes(context_->extradata, context_->extradata + context_->extradata_size);
}

int LibavVideoEncoderBackend::send(const PixelBuffer& picture, std::int64_t ptsMicros,
                                   bool forceKey) {
  if (!context_) return AVERROR(EINVAL);
  // The encoder may still hold the last picture (hardware queues); then this gets a new buffer,
  // a copy of the old one, so what was converted before stays valid.
  int result = av_frame_make_writable(frame_);
  if (result < 0) return result;
  BgrxConverter::Planes planes;
  for (int k = 0; k < 3; ++k) {
    planes.data[k] = frame_->data[k];
    planes.stride[k] = frame_->linesize[k];
  }
  planes.width = frame_->width;
  planes.height = frame_->height;
  const auto layout =
      kind_ == Kind::vaapi ? BgrxConverter::Layout::nv12 : BgrxConverter::Layout::i420;
  std::optional<std::vector<PixelRect>> changed;
  if (picture.changes && picture.changes == convertedChanges_) {
    changed = picture.changes->between(convertedGeneration_, picture.generation);
  }
  if (!converter_.convert(picture, layout, planes, changed ? &*changed : nullptr)) {
    convertedChanges_.reset();
    return AVERROR(EINVAL);
  }
  convertedChanges_ = picture.changes;
  convertedGeneration_ = picture.generation;

  AVFrame* input = frame_;
  AVFrame* uploaded = nullptr;
  if (kind_ == Kind::vaapi) {
    uploaded = av_frame_alloc();
    if (!uploaded) return AVERROR(ENOMEM);
    result = av_hwframe_get_buffer(context_->hw_frames_ctx, uploaded, 0);
    if (result >= 0) result = av_hwframe_transfer_data(uploaded, frame_, 0);
    if (result < 0) {
      av_frame_free(&uploaded);
      return result;
    }
    input = uploaded;
  }
  const bool key = forceKey || keyPending_;
  input->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
#ifdef AV_FRAME_FLAG_KEY
  if (key) {
    input->flags |= AV_FRAME_FLAG_KEY;
  } else {
    input->flags &= ~AV_FRAME_FLAG_KEY;
  }
#else
  input->key_frame = key ? 1 : 0;
#endif
  const std::int64_t index = times_.add(ptsMicros);
  input->pts = index;
  result = avcodec_send_frame(context_, input);
  av_frame_free(&uploaded);
  if (result < 0) {
    times_.drop(index);
    return result;
  }
  keyPending_ = false;
  return 0;
}

int LibavVideoEncoderBackend::drain(std::vector<EncodedPacket>& out) {
  for (;;) {
    const int result = avcodec_receive_packet(context_, packet_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return 0;
    if (result < 0) return result;
    EncodedPacket packet;
    packet.data.assign(packet_->data, packet_->data + packet_->size);
    packet.isKeyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    packet.ptsMicros = times_.take(packet_->pts);
    av_packet_unref(packet_);
    out.push_back(std::move(packet));
  }
}

int LibavVideoEncoderBackend::receive(std::vector<EncodedPacket>& out) {
  for (EncodedPacket& packet : carried_) out.push_back(std::move(packet));
  carried_.clear();
  if (!context_) return AVERROR(EINVAL);
  return drain(out);
}

int LibavVideoEncoderBackend::finish(std::vector<EncodedPacket>& out) {
  for (EncodedPacket& packet : carried_) out.push_back(std::move(packet));
  carried_.clear();
  if (!context_) return 0;
  const int result = avcodec_send_frame(context_, nullptr);
  if (result < 0 && result != AVERROR_EOF) return result;
  return drain(out);
}

int LibavVideoEncoderBackend::setBitrate(std::int64_t kbps) {
  if (!context_) return AVERROR(EINVAL);
  const std::int64_t previous = settings_.bitrateKbps;
  settings_.bitrateKbps = kbps;
  if (changesRateInPlace(kind_)) {
    // Read by the wrapper before the next picture is encoded.
    applyRate(context_, kbps);
    return 0;
  }
  // Reopen: the new encoder starts with no reference pictures, so its first picture must be
  // a key frame. Packets still inside the old one are kept for the next `receive`.
  finish(carried_);
  closeCodec();
  keyPending_ = true;
  int result = openContext();
  if (result < 0) {
    closeCodec();
    settings_.bitrateKbps = previous;
    const int retry = openContext();
    if (retry < 0) closeContext();
  }
  return result;
}

bool LibavVideoEncoderBackend::changesBitrateInPlace() const { return changesRateInPlace(kind_); }

std::vector<VideoEncoderCandidate> libavVideoEncoderCandidates(VideoCodec codec) {
  using Kind = LibavVideoEncoderBackend::Kind;
  struct Entry {
    Kind kind;
    const char* h264;
    const char* hevc;
    bool hardware;
    bool hasLowLatencyMode;
  };
  const Entry entries[] = {
      {Kind::vaapi, "h264_vaapi", "hevc_vaapi", true, false},
      {Kind::nvenc, "h264_nvenc", "hevc_nvenc", true, true},
      {codec == VideoCodec::h264 ? Kind::x264 : Kind::x265, "libx264", "libx265", false, false},
  };
  std::vector<VideoEncoderCandidate> candidates;
  for (const Entry& entry : entries) {
    std::string name = codec == VideoCodec::h264 ? entry.h264 : entry.hevc;
    const Kind kind = entry.kind;
    candidates.push_back({.name = name,
                          .hardware = entry.hardware,
                          .hasLowLatencyMode = entry.hasLowLatencyMode,
                          .open = [kind, name](const VideoEncoderSettings& settings, int& status) {
                            return LibavVideoEncoderBackend::open(kind, name, settings, status);
                          }});
  }
  return candidates;
}

}  // namespace ombrel
