// Cost of turning captured pictures into stream frames, on content that changes every frame
// (a scrolling page of text-like glyphs over gradients):
//   1. BGRX -> I420 conversion: libyuv against swscale, and their ratio;
//   2. conversion + encode per frame for the software encoders at two speed presets;
//   3. the shipped `VideoEncoder`: time from `encode` to `onFrame`, per frame.
// Plain harness (not Google Benchmark): encoders keep state between frames, so every figure is
// a mean over a run of consecutive frames. Run: build/gcc/bench/encoder_bench [frames]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv/convert_from_argb.h>

#include "Ombrel_Remote_Host/linux/libav/libav_video_encoder_backend.h"
#include "Ombrel_Remote_Host/video/video_encoder.h"
#include "base/log.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A canvas wider and taller than the screen; frame t is a window into it, moved down and right,
// so every frame differs from the last the way a scrolled page does. No copies per frame.
class ScrollingPage {
 public:
  ScrollingPage(int width, int height) : width_(width), height_(height) {
    canvasWidth_ = width + 256;
    canvasHeight_ = height + 1024;
    pixels_ = std::make_shared<std::vector<std::uint8_t>>(std::size_t(canvasWidth_) * 4 *
                                                          std::size_t(canvasHeight_));
    std::mt19937 random(7);
    for (int y = 0; y < canvasHeight_; ++y) {
      for (int x = 0; x < canvasWidth_; ++x) {
        std::uint8_t* px = pixel(x, y);
        px[0] = std::uint8_t(x * 255 / canvasWidth_);
        px[1] = std::uint8_t(y * 255 / canvasHeight_);
        px[2] = std::uint8_t(230);
        px[3] = 0;
      }
    }
    // Lines of 8 x 14 glyphs, each a random 6 x 10 pattern of dark dots.
    for (int row = 0; row + 14 <= canvasHeight_; row += 18) {
      for (int col = 0; col + 8 <= canvasWidth_ * 2 / 3; col += 8) {
        if (random() % 7 == 0) continue;  // spaces
        for (int gy = 0; gy < 10; ++gy) {
          const unsigned bits = random();
          for (int gx = 0; gx < 6; ++gx) {
            if (bits >> gx & 1) {
              std::uint8_t* px = pixel(col + 1 + gx, row + 2 + gy);
              px[0] = px[1] = px[2] = 20;
            }
          }
        }
      }
    }
  }

  PixelBufferRef frame(int t) const {
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->width = width_;
    buffer->height = height_;
    buffer->stride = std::size_t(canvasWidth_) * 4;
    buffer->data = pixel((t * 3) % 256, (t * 17) % 1024);
    buffer->storage = pixels_;
    return buffer;
  }

 private:
  std::uint8_t* pixel(int x, int y) const {
    return pixels_->data() + (std::size_t(y) * std::size_t(canvasWidth_) + std::size_t(x)) * 4;
  }
  int width_, height_, canvasWidth_, canvasHeight_;
  std::shared_ptr<std::vector<std::uint8_t>> pixels_;
};

struct Size {
  const char* name;
  int width;
  int height;
  std::int64_t kbps;
};

void conversion(const Size& size, const ScrollingPage& page, int frames) {
  const int w = size.width, h = size.height;
  std::vector<std::uint8_t> y(std::size_t(w) * h), u(std::size_t(w / 2) * (h / 2)), v(u.size());
  auto start = Clock::now();
  for (int t = 0; t < frames; ++t) {
    const PixelBufferRef p = page.frame(t);
    libyuv::ARGBToI420(p->data, int(p->stride), y.data(), w, u.data(), w / 2, v.data(), w / 2, w,
                       h);
  }
  const double yuv = millisSince(start) / frames;
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGR0, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                   nullptr, nullptr, nullptr);
  std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
  const int strides[3] = {w, w / 2, w / 2};
  start = Clock::now();
  for (int t = 0; t < frames; ++t) {
    const PixelBufferRef p = page.frame(t);
    const std::uint8_t* source[1] = {p->data};
    const int sourceStride[1] = {int(p->stride)};
    sws_scale(sws, source, sourceStride, 0, h, planes, strides);
  }
  const double swscale = millisSince(start) / frames;
  sws_freeContext(sws);
  std::printf("convert %-6s libyuv %6.2f ms  swscale %6.2f ms  swscale/libyuv %.1fx\n", size.name,
              yuv, swscale, swscale / yuv);
}

void presets(const Size& size, const ScrollingPage& page, VideoCodec codec, int frames) {
  using Kind = LibavVideoEncoderBackend::Kind;
  const bool h264 = codec == VideoCodec::h264;
  for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
    int status = 0;
    auto backend =
        LibavVideoEncoderBackend::open(h264 ? Kind::x264 : Kind::x265, h264 ? "libx264" : "libx265",
                                       {.width = size.width,
                                        .height = size.height,
                                        .fps = 60,
                                        .bitrateKbps = size.kbps,
                                        .codec = codec,
                                        .preset = preset},
                                       status);
    if (!backend) {
      std::printf("  %s %s failed to open (%d)\n", h264 ? "libx264" : "libx265", preset, status);
      continue;
    }
    std::vector<EncodedPacket> packets;
    double bytes = 0;
    const auto start = Clock::now();
    for (int t = 0; t < frames; ++t) {
      backend->send(*page.frame(t), t, t == 0);
      backend->receive(packets);
    }
    backend->finish(packets);
    const double perFrame = millisSince(start) / frames;
    for (const auto& packet : packets) bytes += double(packet.data.size());
    std::printf("encode  %-6s %s %-9s %6.2f ms/frame  %7.0f bytes/frame  (%zu packets)\n",
                size.name, h264 ? "libx264" : "libx265", preset, perFrame,
                bytes / double(packets.size()), packets.size());
  }
}

void shipped(const Size& size, const ScrollingPage& page, VideoCodec codec, int frames) {
  VideoEncoder encoder(size.width, size.height, 60, size.kbps, codec);
  std::mutex lock;
  std::condition_variable done;
  int emitted = 0;
  encoder.onFrame = [&](VideoFrame) {
    std::lock_guard guard(lock);
    ++emitted;
    done.notify_one();
  };
  double total = 0;
  for (int t = 0; t < frames; ++t) {
    // One picture at a time, as the capture's in-flight gate sends them.
    const auto start = Clock::now();
    encoder.encode(page.frame(t), t);
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return emitted == t + 1; });
    total += millisSince(start);
  }
  std::printf("shipped %-6s %-8s %6.2f ms/frame from encode to onFrame (%s)\n", size.name,
              std::string(rawValue(codec)).c_str(), total / frames, encoder.encoderName().c_str());
}

}  // namespace
}  // namespace ombrel

int main(int argc, char** argv) {
  using namespace ombrel;
  const int frames = argc > 1 ? std::atoi(argv[1]) : 60;
  log::setSink([](std::string_view) {});
  const Size sizes[] = {{"1080p", 1920, 1080, 8000}, {"720p", 1280, 720, 5000}};
  for (const Size& size : sizes) {
    const ScrollingPage page(size.width, size.height);
    conversion(size, page, frames);
    for (VideoCodec codec : {VideoCodec::h264, VideoCodec::hevc})
      presets(size, page, codec, frames);
    for (VideoCodec codec : {VideoCodec::h264, VideoCodec::hevc})
      shipped(size, page, codec, frames);
  }
}
