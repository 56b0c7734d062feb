#include "stream_receiver.h"

#include <spng.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "OmbrelKit/byte_codec.h"

namespace ombrel {
namespace {

constexpr std::uint8_t startCode[] = {0, 0, 0, 1};

int nalType(VideoCodec codec, std::uint8_t header) {
  return codec == VideoCodec::h264 ? header & 0x1F : (header >> 1) & 0x3F;
}

bool isParameterSet(VideoCodec codec, int type) {
  return codec == VideoCodec::h264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34);
}

// A coded picture a decoder can start from: H.264 IDR, HEVC IRAP (BLA, IDR, CRA).
bool startsDecoding(VideoCodec codec, int type) {
  return codec == VideoCodec::h264 ? type == 5 : (type >= 16 && type <= 21);
}

bool isPicture(VideoCodec codec, int type) {
  return codec == VideoCodec::h264 ? (type >= 1 && type <= 5) : type <= 31;
}

// The payload's units, or the reason they cannot be read.
std::optional<std::string> splitUnits(const Bytes& payload, std::vector<ByteView>& units) {
  std::size_t at = 0;
  while (at < payload.size()) {
    if (payload.size() - at < 4) return "payload ends inside a length prefix";
    std::uint32_t length = readU32BE(payload.data() + at);
    at += 4;
    if (length == 0) return "empty NAL unit";
    if (length > payload.size() - at) return "NAL unit longer than the payload";
    units.push_back(ByteView(payload).subspan(at, length));
    at += length;
  }
  if (units.empty()) return "empty payload";
  return std::nullopt;
}

}  // namespace

std::uint32_t DecodedPicture::pixel(std::int64_t x, std::int64_t y) const {
  std::size_t at = static_cast<std::size_t>((y * width + x) * 3);
  if (x < 0 || y < 0 || x >= width || y >= height || at + 2 >= rgb.size()) return 0;
  return std::uint32_t{rgb[at]} << 16 | std::uint32_t{rgb[at + 1]} << 8 | rgb[at + 2];
}

struct StreamReceiver::Decoder {
  AVCodecContext* context = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVFrame* last = nullptr;
  bool hasLast = false;

  ~Decoder() {
    av_frame_free(&last);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
  }
};

StreamReceiver::StreamReceiver(VideoCodec codec) : codec_(codec), decoder_(new Decoder) {
  const AVCodec* decoder =
      avcodec_find_decoder(codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
  if (!decoder) return;
  decoder_->context = avcodec_alloc_context3(decoder);
  // One picture out for each access unit in: no frame threads, no reordering delay.
  decoder_->context->thread_count = 1;
  decoder_->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(decoder_->context, decoder, nullptr) < 0) {
    avcodec_free_context(&decoder_->context);
    return;
  }
  decoder_->packet = av_packet_alloc();
  decoder_->frame = av_frame_alloc();
  decoder_->last = av_frame_alloc();
}

StreamReceiver::~StreamReceiver() = default;

std::optional<std::string> StreamReceiver::checkLayout(const VideoFrame& frame, bool first) {
  const VideoCodec codec = frame.codec;
  if (first && !frame.isKeyframe) return "the first frame is not a key frame";
  const std::vector<int> expected =
      codec == VideoCodec::h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
  if (frame.isKeyframe) {
    if (frame.parameterSets.size() != expected.size())
      return "key frame without its parameter sets";
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const Bytes& set = frame.parameterSets[i];
      if (set.empty() || nalType(codec, set[0]) != expected[i])
        return "parameter sets out of order";
    }
  } else if (!frame.parameterSets.empty()) {
    return "parameter sets on a frame that is not a key frame";
  }
  std::vector<ByteView> units;
  if (auto error = splitUnits(frame.payload, units)) return error;
  bool random = false, picture = false;
  for (ByteView unit : units) {
    int type = nalType(codec, unit[0]);
    if (isParameterSet(codec, type)) return "parameter set inside the payload";
    random = random || startsDecoding(codec, type);
    picture = picture || isPicture(codec, type);
  }
  if (!picture) return "no coded picture in the payload";
  if (frame.isKeyframe != random) {
    return frame.isKeyframe ? "key frame without a random-access picture"
                            : "random-access picture not flagged as a key frame";
  }
  return std::nullopt;
}

Bytes StreamReceiver::annexB(const VideoFrame& frame) {
  Bytes out;
  auto append = [&out](ByteView unit) {
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), unit.begin(), unit.end());
  };
  for (const Bytes& set : frame.parameterSets) append(set);
  std::vector<ByteView> units;
  splitUnits(frame.payload, units);
  for (ByteView unit : units) append(unit);
  return out;
}

StreamReceiver::Result StreamReceiver::receive(const VideoFrame& frame) {
  Result result;
  result.layoutError = frame.codec != codec_ ? std::optional<std::string>("unexpected codec")
                                             : checkLayout(frame, first_);
  first_ = false;
  if (!decoder_->context) return result;
  Bytes unit = annexB(frame);
  if (unit.empty()) return result;
  if (av_new_packet(decoder_->packet, static_cast<int>(unit.size())) < 0) return result;
  std::copy(unit.begin(), unit.end(), decoder_->packet->data);
  decoder_->packet->pts = static_cast<std::int64_t>(frame.ptsMicros);
  int sent = avcodec_send_packet(decoder_->context, decoder_->packet);
  av_packet_unref(decoder_->packet);
  if (sent < 0) return result;
  while (avcodec_receive_frame(decoder_->context, decoder_->frame) == 0) {
    result.decoded = true;
    ++decoded_;
    av_frame_unref(decoder_->last);
    av_frame_move_ref(decoder_->last, decoder_->frame);
    decoder_->hasLast = true;
  }
  return result;
}

std::optional<DecodedPicture> StreamReceiver::lastPicture() const {
  if (!decoder_->hasLast) return std::nullopt;
  const AVFrame* frame = decoder_->last;
  SwsContext* scale = sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
      frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
  if (!scale) return std::nullopt;
  DecodedPicture picture{.width = frame->width, .height = frame->height};
  picture.rgb.resize(static_cast<std::size_t>(frame->width) * frame->height * 3);
  std::uint8_t* planes[1] = {picture.rgb.data()};
  int strides[1] = {frame->width * 3};
  sws_scale(scale, frame->data, frame->linesize, 0, frame->height, planes, strides);
  sws_freeContext(scale);
  return picture;
}

std::int64_t decodeElementaryStream(VideoCodec codec, ByteView stream) {
  const AVCodecID id = codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  const AVCodec* decoder = avcodec_find_decoder(id);
  AVCodecParserContext* parser = av_parser_init(id);
  AVCodecContext* context = decoder ? avcodec_alloc_context3(decoder) : nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::int64_t pictures = 0;
  if (parser && context && packet && frame && avcodec_open2(context, decoder, nullptr) == 0) {
    auto drain = [&] {
      while (avcodec_receive_frame(context, frame) == 0) ++pictures;
    };
    // The parser wants padding after the data it reads.
    Bytes padded(stream.begin(), stream.end());
    padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    const std::uint8_t* data = padded.data();
    int left = static_cast<int>(stream.size());
    // A final call with no data flushes the parser's last access unit.
    for (bool flushing = false;;) {
      std::uint8_t* unit = nullptr;
      int unitSize = 0;
      int used = av_parser_parse2(parser, context, &unit, &unitSize, data, left, AV_NOPTS_VALUE,
                                  AV_NOPTS_VALUE, 0);
      if (used < 0) break;
      data += used;
      left -= used;
      if (unitSize > 0) {
        packet->data = unit;
        packet->size = unitSize;
        if (avcodec_send_packet(context, packet) == 0) drain();
      }
      if (flushing) break;
      if (left == 0) flushing = true;
    }
    avcodec_send_packet(context, nullptr);
    drain();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  if (parser) av_parser_close(parser);
  return pictures;
}

Bytes encodePicturePNG(const DecodedPicture& picture) {
  Bytes out;
  spng_ctx* context = spng_ctx_new(SPNG_CTX_ENCODER);
  if (!context) return out;
  spng_set_option(context, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{};
  header.width = static_cast<std::uint32_t>(picture.width);
  header.height = static_cast<std::uint32_t>(picture.height);
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(context, &header);
  if (spng_encode_image(context, picture.rgb.data(), picture.rgb.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE) == 0) {
    std::size_t size = 0;
    int error = 0;
    void* png = spng_get_png_buffer(context, &size, &error);
    if (png) {
      auto* bytes = static_cast<std::uint8_t*>(png);
      out.assign(bytes, bytes + size);
      free(png);
    }
  }
  spng_ctx_free(context);
  return out;
}

}  // namespace ombrel
