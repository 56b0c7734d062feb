#pragma once

// A session's streaming control: turns startStream into a display, a capture size, a frame rate
// and a start bit rate; creates or drops the stream's virtual display; runs one StreamSource at
// a time and paces its video and audio against the connection's send queue; adapts the bit rate
// once a second and reports hostStats; sends the pointer and its image; holds the session's
// sleep assertion while streaming.
//
// States:
//   idle      -> display    startStream that must drop, create or take over a virtual display:
//                           the work hops to the main queue (the wait for a new display to
//                           come up runs on the pool, outside every queue) and the start
//                           resumes on the connection queue. Meanwhile a stopStream cancels the
//                           start and a new startStream waits until the display work is back
//                           (only the latest one is kept).
//   display   -> starting   the display work is back: display chosen, streamer started
//   idle      -> starting   startStream: display chosen, streamer created and started
//   starting  -> streaming  the streamer started: streamStarted sent, key frame asked, timers
//                           and sleep assertion on
//   starting  -> idle       the start failed (error sent) or stopStream/a new startStream came
//   streaming -> idle       stopStream, a new startStream (which stops first), shutdown, or the
//                           capture stopping by itself (captureStopped sent; the client decides)
// The virtual display outlives a stream: it goes when a later start does not want it, or at
// shutdown.
//
// Threading: every public member runs on the session's connection queue (session.queue()),
// which never waits for another queue nor for the desktop's bus: a peer drives it. Whether the
// screen is locked is asked on the blocking worker (one lane for starts, where a newer start
// replaces a waiting lookup, one for the statistics ticks, which use the last known state
// while a lookup is still out), and the start resumes on this queue with the answer; a stop or
// a new start meanwhile voids it. The sleep assertion is taken and released on the worker;
// an assertion that comes back when the stream no longer wants it is released at once. Virtual
// displays are created, taken over, restored and destroyed on the main queue by posted work whose
// outcome is posted back; waiting for a new display to become active blocks one pool thread outside
// every queue for at most virtualDisplayWait seconds. The cursor timer runs on the main queue.
// Streamer callbacks arrive on the streamer's threads: video is registered with the delivery window
// there and hops to the connection queue to be sent; the skip test and audio answer on the
// streamer's threads. Every callback carries the generation of the streamer it came from, so
// nothing of a replaced streamer is sent (its video gives its window slot back instead). Callbacks
// hold the object weakly.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "OmbrelKit/host_error_code.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/stream_messages.h"
#include "OmbrelKit/video_delivery_window.h"
#include "Ombrel_Remote_Host/screen/cursor_source.h"
#include "Ombrel_Remote_Host/stream/bitrate_adapter.h"
#include "Ombrel_Remote_Host/stream/stream_control_delegate.h"
#include "Ombrel_Remote_Host/stream/stream_displays.h"
#include "Ombrel_Remote_Host/stream/stream_source.h"
#include "Ombrel_Remote_Host/stream/transport_diagnostics.h"
#include "base/blocking_worker.h"
#include "base/bytes.h"
#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

class PowerManager;
class ScreenLock;

class StreamControl : public std::enable_shared_from_this<StreamControl> {
 public:
  static constexpr double statsInterval = 1.0;
  static constexpr double cursorInterval = 1.0 / 60.0;
  static constexpr int cursorImageEvery = 6;
  static constexpr int clipboardCheckEvery = 30;
  static constexpr double cursorThreshold = 0.0001;
  static constexpr double virtualDisplayWait = 4.0;

  static constexpr const char* noDisplayText = "找不到螢幕";
  static constexpr const char* virtualDisplayFallbackText = "無法建立專屬螢幕，改用原本的螢幕";
  static constexpr const char* screenPermissionText =
      "電腦尚未允許「螢幕錄製」權限，請確認 X 伺服器允許 Ombrel Remote Host 連線（DISPLAY 與 "
      "XAUTHORITY）";
  static constexpr const char* captureFailedPrefix = "無法開始擷取畫面：";
  static constexpr const char* captureStoppedPrefix = "畫面擷取停止：";

  struct Dependencies {
    std::shared_ptr<SerialQueue> mainQueue;
    StreamSourceFactory makeStreamer;
    std::shared_ptr<StreamDisplays> displays;
    // Null reads as "not locked".
    std::shared_ptr<ScreenLock> screenLock;
    // Owned by the controller, which outlives every session; null holds no assertion.
    PowerManager* powerManager = nullptr;
    // Null sends no pointer reports.
    std::shared_ptr<CursorSource> cursor;
    // The input injector's display mapping follows the streamed display (connection queue).
    std::function<void(const DisplayBounds&)> onDisplayBounds;
    // Every 30th cursor tick while streaming (main queue): the clipboard poll.
    std::function<void()> onClipboardCheck;
    // Asked before each start: why the screen cannot be captured at all (a system error with
    // std::errc::permission_denied when the desktop refuses this process). Null: nothing.
    std::function<std::optional<NVError>()> captureProblem;
    // Where the screen-lock lookups and the power assertion calls run. Null: on the connection
    // queue itself (tests and tools without a Runtime).
    std::shared_ptr<BlockingWorker> blockingWorker;
  };

  static std::shared_ptr<StreamControl> create(std::shared_ptr<StreamControlDelegate> session,
                                               Dependencies dependencies);
  ~StreamControl();
  StreamControl(const StreamControl&) = delete;
  StreamControl& operator=(const StreamControl&) = delete;

  // Decodes and serves one of startStream, stopStream, requestKeyframe, updateBitrate,
  // videoReceipt, clientStats; undecodable bodies are dropped. False for other types.
  bool handle(MessageType type, ByteView body);

  void startStream(StreamConfig config);
  void stopStream();
  // The session ends: stop the stream and remove the virtual display.
  void shutdown();
  void requestKeyframe();
  void updateBitrate(const BitrateUpdate& update);
  void videoReceipt(std::uint64_t ptsMicros);
  void clientStats(const ClientStats& stats);

  // ---- observers (connection queue) ----
  bool streaming() const { return started_; }
  const std::optional<StreamConfig>& config() const { return config_; }
  std::int64_t currentBitrate() const { return adapter_.currentBitrate(); }
  std::int64_t targetBitrate() const { return adapter_.targetBitrate(); }
  std::optional<std::uint32_t> virtualDisplayID() const;
  // Virtual display work is on its way through the main queue.
  bool changingDisplay() const { return displayBusy_; }
  bool holdsSleepAssertion() const { return sleepAssertion_ != 0; }
  // Display work, a start's or a tick's lock lookup, or an assertion being taken is on its way.
  bool settling() const {
    return displayBusy_ || lockLookup_.has_value() || statsLookup_ || takingAssertion_;
  }
  std::shared_ptr<VideoDeliveryWindow> deliveryWindow() const { return window_; }

 private:
  StreamControl(std::shared_ptr<StreamControlDelegate> session, Dependencies dependencies);

  void sendError(std::string message, HostErrorCode code, std::optional<std::string> detail);
  // Restores the desktop and removes the virtual display on the main queue (not waited for).
  void dropVirtualDisplay();
  // Drops the current virtual display and, with `request`, makes a new one, off this queue;
  // the start resumes in displayChanged.
  void changeDisplay(StreamConfig config, std::optional<VirtualDisplayRequest> request);
  void displayChanged(std::uint64_t serial, StreamConfig config,
                      std::optional<VirtualDisplayRequest> request,
                      std::unique_ptr<StreamVirtualDisplay> display);
  // startStream once the lock state is known.
  void startWithLock(StreamConfig config, bool locked);
  // startStream once the virtual display is settled.
  void startOnDisplay(StreamConfig config);
  void connect(StreamSource& source, std::uint64_t generation);
  void started(std::uint64_t generation, std::optional<NVError> error, StreamStarted report);
  void sendStartFailure(const NVError& error);
  void captureStopped(std::uint64_t generation, std::optional<NVError> error);
  void sendVideo(std::uint64_t generation, std::uint64_t ptsMicros, Bytes body,
                 const std::shared_ptr<VideoDeliveryWindow>& window);
  bool shouldSkip(std::uint64_t generation, const std::shared_ptr<VideoDeliveryWindow>& window);
  void sendAudio(std::uint64_t generation, const AudioFrame& frame);
  bool isCurrent(std::uint64_t generation) const { return streamer_ && generation == generation_; }
  std::int64_t budget() const;

  void takeSleepAssertion();
  void assertionTaken(std::uint32_t id);
  void releaseSleepAssertion();

  void startTimers();
  void statsTick();
  bool streamsVirtualDisplay() const;
  void statsDecide(bool locked);
  void adaptBitrate();
  void cursorTick();
  void sendCursorPosition();
  void sendCursorImageIfChanged();

  const std::shared_ptr<StreamControlDelegate> session_;
  const Dependencies deps_;

  // ---- connection queue ----
  std::optional<StreamConfig> config_;
  std::shared_ptr<StreamSource> streamer_;
  std::uint64_t generation_ = 0;
  bool started_ = false;
  std::shared_ptr<VideoDeliveryWindow> window_;
  BitrateAdapter adapter_;
  std::shared_ptr<Timer> statsTimer_;
  std::shared_ptr<Timer> cursorTimer_;
  std::uint32_t sleepAssertion_ = 0;
  // The stream wants the assertion (streaming); one is being taken on the worker.
  bool wantsAssertion_ = false;
  bool takingAssertion_ = false;
  bool assertionRefused_ = false;
  // Null without a worker.
  std::shared_ptr<BlockingLane> startLockLane_;
  std::shared_ptr<BlockingLane> statsLockLane_;
  // The start (by startSerial_) waiting for the lock state; a tick's lookup is out.
  std::optional<std::uint64_t> lockLookup_;
  bool statsLookup_ = false;
  bool lastLocked_ = false;
  std::unique_ptr<StreamVirtualDisplay> virtualDisplay_;  // destroyed on the main queue
  std::optional<VirtualDisplayRequest> virtualDisplayRequest_;
  bool displayBusy_ = false;
  // Counts stops (every start stops first): display work that comes back to a different count
  // was overtaken and starts nothing.
  std::uint64_t startSerial_ = 0;
  // The latest startStream that came while display work was on its way.
  std::optional<StreamConfig> deferredStart_;
  bool shutDown_ = false;
  TransportDiagnostics diagnostics_;

  // ---- any thread ----
  // The streamer whose audio and skip tests count (0: none) and the rate the budgets follow.
  std::atomic<std::uint64_t> liveGeneration_{0};
  std::atomic<std::int64_t> budgetBitrate_{0};
  mutable std::mutex boundsLock_;
  std::optional<DisplayBounds> bounds_;

  // ---- main queue ----
  std::int64_t cursorTicks_ = 0;
  std::optional<CursorPosition> lastCursor_;
  std::optional<std::uint64_t> lastCursorImageHash_;
};

}  // namespace ombrel
