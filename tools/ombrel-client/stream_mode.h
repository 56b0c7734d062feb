#pragma once

//   ombrel-client --connect HOST:PORT [--pair] --stream [--codec h264|hevc] [--size WxH]
//                 [--fps N] [--bitrate KBPS] [--pacing] [--audio] [--seconds S]
//                 [--save FILE] [--png FILE]
//
// Watches the host's screen as a client app would. Once authorized it
// sends startStream, decodes every videoFrame with libavcodec, checks each frame's layout,
// acknowledges frames with videoReceipt when pacing, and stops after the given time.
//
// Events: {"event":"streamStarted",display,width,height,fps,codec},
// {"event":"streamStats","fps":N,"kbps":N,"frames":N,"decoded":N} once a second,
// {"event":"layoutError","frame":N,"error":"..."}, {"event":"error",...} (from the session),
// {"event":"saved","file":...,"frames":N}, {"event":"png","file":...,"width":N,"height":N},
// {"event":"streamSummary","frames","keyframes","decoded","bytes","seconds","fps","kbps",
// "layoutErrors","audioFrames","cursorPositions","cursorImages"}.
//
// Exit status: 0 when frames came and all decoded with a sound layout, 1 otherwise.
//
// Threading: the connection's queue (ClientMode).

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OmbrelKit/stream_messages.h"
#include "base/timer.h"
#include "client_session.h"
#include "stream_receiver.h"

namespace ombrel {

class StreamMode : public ClientMode, public std::enable_shared_from_this<StreamMode> {
 public:
  struct Config {
    StreamConfig stream{.receiverPacing = false,
                        .maxWidth = 1920,
                        .maxHeight = 1080,
                        .fps = 60,
                        .bitrateKbps = 8000,
                        .codec = VideoCodec::h264};
    double seconds = 5;
    std::string saveFile;  // Annex-B elementary stream
    std::string pngFile;   // one decoded picture (the last)
    // Every decoded frame (tests watch the pictures as they come).
    std::function<void(const VideoFrame&, const StreamReceiver&)> onDecoded;
  };

  explicit StreamMode(Config config);

  // Parses one stream argument at argv[i] (advancing i past its value). True when it was one;
  // `good` tells whether it parsed. The first one makes `mode` a StreamMode.
  static bool parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                            bool& good);

  void begin(std::shared_ptr<NVConnection> conn, Emit emit) override;
  bool handle(MessageType type, const Bytes& body) override;
  void end() override;
  int status() const override;

  // After begin().
  const StreamReceiver& receiver() const { return *receiver_; }
  std::int64_t frames() const { return frames_; }

 private:
  void video(const Bytes& body);
  void tick();

  Config config_;
  std::unique_ptr<StreamReceiver> receiver_;
  std::shared_ptr<NVConnection> conn_;
  Emit emit_;
  std::ofstream save_;
  std::shared_ptr<Timer> statsTimer_;
  std::shared_ptr<Timer> stopTimer_;
  double startedAt_ = 0;
  bool started_ = false;
  std::int64_t frames_ = 0, keyframes_ = 0, bytes_ = 0, layoutErrors_ = 0;
  std::int64_t audioFrames_ = 0, cursorPositions_ = 0, cursorImages_ = 0;
  std::int64_t tickFrames_ = 0, tickBytes_ = 0;
};

}  // namespace ombrel
