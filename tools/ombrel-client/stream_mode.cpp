#include "stream_mode.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "OmbrelKit/messages.h"

namespace ombrel {
namespace {

template <typename T>
bool number(const std::string& text, T& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

StreamMode::StreamMode(Config config) : config_(std::move(config)) {}

bool StreamMode::parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                               bool& good) {
  static const std::string names[] = {"--stream", "--codec", "--size",    "--fps",  "--bitrate",
                                      "--pacing", "--audio", "--seconds", "--save", "--png"};
  const std::string arg = argv[i];
  if (std::find(std::begin(names), std::end(names), arg) == std::end(names)) return false;
  auto* stream = dynamic_cast<StreamMode*>(mode.get());
  if (!stream) {
    mode = std::make_shared<StreamMode>(Config());
    stream = static_cast<StreamMode*>(mode.get());
  }
  Config& c = stream->config_;
  std::string value;
  auto next = [&] {
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
  };
  good = true;
  if (arg == "--codec") {
    auto codec = next() ? videoCodec(value) : std::nullopt;
    good = codec.has_value();
    if (good) c.stream.codec = *codec;
  } else if (arg == "--size") {
    auto x = std::string::npos;
    good = next() && (x = value.find('x')) != std::string::npos &&
           number(value.substr(0, x), c.stream.maxWidth) &&
           number(value.substr(x + 1), c.stream.maxHeight) && c.stream.maxWidth > 0 &&
           c.stream.maxHeight > 0;
  } else if (arg == "--fps") {
    good = next() && number(value, c.stream.fps);
  } else if (arg == "--bitrate") {
    good = next() && number(value, c.stream.bitrateKbps) && c.stream.bitrateKbps > 0;
  } else if (arg == "--pacing") {
    c.stream.receiverPacing = true;
  } else if (arg == "--audio") {
    c.stream.audio = true;
  } else if (arg == "--seconds") {
    try {
      good = next() && (c.seconds = std::stod(value)) > 0;
    } catch (...) {
      good = false;
    }
  } else if (arg == "--save") {
    good = next() && !(c.saveFile = value).empty();
  } else if (arg == "--png") {
    good = next() && !(c.pngFile = value).empty();
  }
  return true;
}

void StreamMode::begin(std::shared_ptr<NVConnection> conn, Emit emit) {
  conn_ = std::move(conn);
  emit_ = std::move(emit);
  receiver_ = std::make_unique<StreamReceiver>(config_.stream.codec);
  if (!config_.saveFile.empty()) save_.open(config_.saveFile, std::ios::binary | std::ios::trunc);
  startedAt_ = conn_->queue()->now();
  conn_->sendJSON(MessageType::startStream, config_.stream);
  std::weak_ptr<StreamMode> weak = weak_from_this();
  statsTimer_ = conn_->queue()->every(1.0, [weak] {
    if (auto self = weak.lock()) self->tick();
  });
  stopTimer_ = conn_->queue()->after(config_.seconds, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->conn_->send(MessageType::stopStream, {});
    self->conn_->close();
  });
}

bool StreamMode::handle(MessageType type, const Bytes& body) {
  switch (type) {
    case MessageType::streamStarted: {
      auto started = NVJSON::tryDecode<StreamStarted>(body);
      if (!started) return false;
      started_ = true;
      emit_({{"event", "streamStarted"},
             {"display", started->display.id},
             {"width", started->width},
             {"height", started->height},
             {"fps", started->fps},
             {"codec", rawValue(started->codec)}});
      return true;
    }
    case MessageType::videoFrame:
      video(body);
      return true;
    case MessageType::audioFrame:
      ++audioFrames_;
      return true;
    case MessageType::cursorPosition:
      ++cursorPositions_;
      return true;
    case MessageType::cursorImage:
      ++cursorImages_;
      return true;
    case MessageType::hostStats:
      return true;
    default:
      return false;
  }
}

void StreamMode::video(const Bytes& body) {
  VideoFrame frame;
  try {
    frame = VideoFrame::decode(body);
  } catch (const NVError& error) {
    ++layoutErrors_;
    emit_({{"event", "layoutError"}, {"frame", frames_}, {"error", error.what()}});
    return;
  }
  ++frames_;
  ++tickFrames_;
  bytes_ += static_cast<std::int64_t>(body.size());
  tickBytes_ += static_cast<std::int64_t>(body.size());
  if (frame.isKeyframe) ++keyframes_;
  if (config_.stream.receiverPacing.value_or(false)) {
    conn_->send(MessageType::videoReceipt, VideoReceipt::encode(frame.ptsMicros));
  }
  auto result = receiver_->receive(frame);
  if (result.layoutError) {
    ++layoutErrors_;
    emit_({{"event", "layoutError"}, {"frame", frames_ - 1}, {"error", *result.layoutError}});
  }
  if (save_.is_open()) {
    Bytes unit = StreamReceiver::annexB(frame);
    save_.write(reinterpret_cast<const char*>(unit.data()),
                static_cast<std::streamsize>(unit.size()));
  }
  if (result.decoded && config_.onDecoded) config_.onDecoded(frame, *receiver_);
}

void StreamMode::tick() {
  emit_({{"event", "streamStats"},
         {"fps", tickFrames_},
         {"kbps", tickBytes_ * 8 / 1000},
         {"frames", frames_},
         {"decoded", receiver_->decodedFrames()}});
  tickFrames_ = 0;
  tickBytes_ = 0;
}

void StreamMode::end() {
  if (!receiver_) return;
  if (statsTimer_) statsTimer_->cancel();
  if (stopTimer_) stopTimer_->cancel();
  if (save_.is_open()) {
    save_.close();
    emit_({{"event", "saved"}, {"file", config_.saveFile}, {"frames", frames_}});
  }
  if (!config_.pngFile.empty()) {
    if (auto picture = receiver_->lastPicture()) {
      Bytes png = encodePicturePNG(*picture);
      std::ofstream out(config_.pngFile, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(png.data()),
                static_cast<std::streamsize>(png.size()));
      emit_({{"event", "png"},
             {"file", config_.pngFile},
             {"width", picture->width},
             {"height", picture->height}});
    }
  }
  double seconds = std::max(conn_->queue()->now() - startedAt_, 1e-3);
  emit_({{"event", "streamSummary"},
         {"frames", frames_},
         {"keyframes", keyframes_},
         {"decoded", receiver_->decodedFrames()},
         {"bytes", bytes_},
         {"seconds", seconds},
         {"fps", static_cast<double>(frames_) / seconds},
         {"kbps", static_cast<double>(bytes_) * 8 / 1000 / seconds},
         {"layoutErrors", layoutErrors_},
         {"audioFrames", audioFrames_},
         {"cursorPositions", cursorPositions_},
         {"cursorImages", cursorImages_}});
}

int StreamMode::status() const {
  bool good = receiver_ && started_ && frames_ > 0 && layoutErrors_ == 0 &&
              receiver_->decodedFrames() == frames_;
  return good ? ClientSession::ok : ClientSession::closedWithError;
}

}  // namespace ombrel
