#include "Ombrel_Remote_Host/linux/libav/libav_image_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

namespace ombrel {
namespace {

struct ImageType {
  std::string_view mime;
  AVCodecID codec;
};

// Lossless formats first: the picture then reaches the PNG unchanged.
constexpr ImageType imageTypes[] = {
    {"image/bmp", AV_CODEC_ID_BMP},      {"image/x-bmp", AV_CODEC_ID_BMP},
    {"image/x-MS-bmp", AV_CODEC_ID_BMP}, {"image/tiff", AV_CODEC_ID_TIFF},
    {"image/webp", AV_CODEC_ID_WEBP},    {"image/gif", AV_CODEC_ID_GIF},
    {"image/jpeg", AV_CODEC_ID_MJPEG},
};

struct ContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScaleFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// JPEG's full-range formats under the names swscale wants, with the range said separately.
std::pair<AVPixelFormat, bool> withRange(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return {AV_PIX_FMT_YUV420P, true};
    case AV_PIX_FMT_YUVJ422P:
      return {AV_PIX_FMT_YUV422P, true};
    case AV_PIX_FMT_YUVJ444P:
      return {AV_PIX_FMT_YUV444P, true};
    case AV_PIX_FMT_YUVJ440P:
      return {AV_PIX_FMT_YUV440P, true};
    case AV_PIX_FMT_YUVJ411P:
      return {AV_PIX_FMT_YUV411P, true};
    default:
      return {format, false};
  }
}

}  // namespace

const std::vector<std::string>& libavImageTypes() {
  static const std::vector<std::string> types = [] {
    std::vector<std::string> out;
    for (const auto& type : imageTypes) {
      if (avcodec_find_decoder(type.codec) != nullptr) out.emplace_back(type.mime);
    }
    return out;
  }();
  return types;
}

std::optional<LibavPicture> decodeImage(ByteView data, std::string_view mimeType,
                                        std::int64_t maxPixels) {
  auto type = std::find_if(std::begin(imageTypes), std::end(imageTypes),
                           [&](const ImageType& t) { return t.mime == mimeType; });
  if (type == std::end(imageTypes) || data.empty() ||
      data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) -
                        AV_INPUT_BUFFER_PADDING_SIZE) {
    return std::nullopt;
  }
  const AVCodec* codec = avcodec_find_decoder(type->codec);
  if (codec == nullptr) return std::nullopt;
  std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
  if (!context) return std::nullopt;
  // libavcodec checks the dimensions against this before it allocates the picture.
  context->max_pixels = maxPixels;
  context->thread_count = 1;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return std::nullopt;

  // The decoders read a little past the end of their input.
  Bytes padded(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::copy(data.begin(), data.end(), padded.begin());
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  if (!packet || !frame) return std::nullopt;
  packet->data = padded.data();
  packet->size = static_cast<int>(data.size());
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return std::nullopt;
  avcodec_send_packet(context.get(), nullptr);
  if (avcodec_receive_frame(context.get(), frame.get()) < 0) return std::nullopt;

  int width = frame->width;
  int height = frame->height;
  if (width <= 0 || height <= 0 || std::int64_t{width} * height > maxPixels) return std::nullopt;
  auto [format, fullRange] = withRange(static_cast<AVPixelFormat>(frame->format));
  std::unique_ptr<SwsContext, ScaleFree> scale(sws_getContext(
      width, height, format, width, height, AV_PIX_FMT_RGBA, SWS_POINT, nullptr, nullptr, nullptr));
  if (!scale) return std::nullopt;
  if (fullRange) {
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scale.get(), coefficients, 1, coefficients, 1, 0, 1 << 16, 1 << 16);
  }
  LibavPicture picture{.rgba = Bytes(std::size_t(width) * height * 4),
                       .width = static_cast<std::uint32_t>(width),
                       .height = static_cast<std::uint32_t>(height)};
  std::uint8_t* planes[4] = {picture.rgba.data(), nullptr, nullptr, nullptr};
  int strides[4] = {width * 4, 0, 0, 0};
  if (sws_scale(scale.get(), frame->data, frame->linesize, 0, height, planes, strides) != height) {
    return std::nullopt;
  }
  return picture;
}

}  // namespace ombrel
