#include "Ombrel_Remote_Host/stream/stream_control.h"

#include <asio/post.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/video_backpressure.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"
#include "Ombrel_Remote_Host/stream/stream_plan.h"
#include "base/log.h"

namespace ombrel {
namespace {

int clampKbps(std::int64_t kbps) {
  return static_cast<int>(std::clamp<std::int64_t>(kbps, 0, 1'000'000));
}

// Gives the desktop back and removes the display on the main queue, which owns both.
void releaseOnMain(SerialQueue& main, std::unique_ptr<StreamVirtualDisplay> display) {
  main.post([display = std::move(display)]() mutable {
    display->restore();
    display.reset();
  });
}

// On the worker when there is one; inline when there is none or it refuses (a full backlog or
// a stopped Runtime), since an assertion must never outlive its stream.
void releaseAssertion(const std::shared_ptr<BlockingWorker>& worker, PowerManager* power,
                      std::uint32_t id) {
  if (id == 0 || !power) return;
  if (worker && worker->post([power, id] { power->releaseAssertion(id); })) return;
  power->releaseAssertion(id);
}

// Carries a lock lookup's answer back to the caller's queue. A lookup the lane never ran (the
// worker's backlog was full, or a newer lookup replaced it) or that failed answers nullopt when
// it is let go, so no start or tick waits for an answer that will not come.
class LockAnswer {
 public:
  using Done = std::function<void(std::optional<bool>)>;
  LockAnswer(std::shared_ptr<SerialQueue> queue, Done done)
      : queue_(std::move(queue)), done_(std::move(done)) {}
  ~LockAnswer() {
    if (done_) queue_->post([done = std::move(done_)] { done(std::nullopt); });
  }
  LockAnswer(const LockAnswer&) = delete;
  LockAnswer& operator=(const LockAnswer&) = delete;

  void give(bool locked) {
    queue_->post([done = std::exchange(done_, nullptr), locked] { done(locked); });
  }

 private:
  std::shared_ptr<SerialQueue> queue_;
  Done done_;
};

void askLocked(BlockingLane& lane, std::shared_ptr<ScreenLock> lock,
               std::shared_ptr<SerialQueue> queue, LockAnswer::Done done) {
  auto answer = std::make_shared<LockAnswer>(std::move(queue), std::move(done));
  lane.post([lock = std::move(lock), answer] { answer->give(lock->isLocked()); });
}

}  // namespace

std::shared_ptr<StreamControl> StreamControl::create(std::shared_ptr<StreamControlDelegate> session,
                                                     Dependencies dependencies) {
  return std::shared_ptr<StreamControl>(
      new StreamControl(std::move(session), std::move(dependencies)));
}

StreamControl::StreamControl(std::shared_ptr<StreamControlDelegate> session,
                             Dependencies dependencies)
    : session_(std::move(session)), deps_(std::move(dependencies)) {
  if (deps_.blockingWorker && deps_.screenLock) {
    startLockLane_ = deps_.blockingWorker->makeLane();
    statsLockLane_ = deps_.blockingWorker->makeLane();
  }
}

StreamControl::~StreamControl() {
  if (streamer_) streamer_->stop();
  if (statsTimer_) statsTimer_->cancel();
  if (cursorTimer_) cursorTimer_->cancel();
  releaseAssertion(deps_.blockingWorker, deps_.powerManager, sleepAssertion_);
  // An owner that skipped shutdown() still gets its desktop back, on the queue that owns it.
  if (virtualDisplay_ && deps_.mainQueue)
    releaseOnMain(*deps_.mainQueue, std::move(virtualDisplay_));
}

bool StreamControl::handle(MessageType type, ByteView body) {
  switch (type) {
    case MessageType::startStream:
      if (auto config = NVJSON::tryDecode<StreamConfig>(body)) startStream(std::move(*config));
      return true;
    case MessageType::stopStream:
      stopStream();
      return true;
    case MessageType::requestKeyframe:
      requestKeyframe();
      return true;
    case MessageType::updateBitrate:
      if (auto update = NVJSON::tryDecode<BitrateUpdate>(body)) updateBitrate(*update);
      return true;
    case MessageType::videoReceipt:
      if (auto pts = VideoReceipt::decode(body)) videoReceipt(*pts);
      return true;
    case MessageType::clientStats:
      if (auto stats = NVJSON::tryDecode<ClientStats>(body)) clientStats(*stats);
      return true;
    default:
      return false;
  }
}

std::optional<std::uint32_t> StreamControl::virtualDisplayID() const {
  if (!virtualDisplay_) return std::nullopt;
  return virtualDisplay_->displayID();
}

void StreamControl::sendError(std::string message, HostErrorCode code,
                              std::optional<std::string> detail) {
  session_->send(MessageType::error,
                 NVJSON::encode(ErrorMessage{std::move(message), code, std::move(detail)}));
}

void StreamControl::dropVirtualDisplay() {
  virtualDisplayRequest_.reset();
  if (virtualDisplay_) releaseOnMain(*deps_.mainQueue, std::move(virtualDisplay_));
}

void StreamControl::startStream(StreamConfig config) {
  session_->queue().assertCurrent();
  if (shutDown_ || !session_->accessAllowed()) return;
  stopStream();
  if (displayBusy_) {
    deferredStart_ = std::move(config);
    return;
  }
  if (!deps_.screenLock) return startWithLock(std::move(config), false);
  if (!startLockLane_) return startWithLock(std::move(config), deps_.screenLock->isLocked());

  // A newer start replaces a lookup still waiting in the lane, and voids a running one.
  lockLookup_ = startSerial_;
  askLocked(*startLockLane_, deps_.screenLock, session_->queue().shared_from_this(),
            [weak = weak_from_this(), serial = startSerial_,
             config = std::move(config)](std::optional<bool> locked) mutable {
              auto self = weak.lock();
              if (!self) return;
              if (locked) self->lastLocked_ = *locked;
              if (self->lockLookup_ != serial) return;
              self->lockLookup_.reset();
              self->startWithLock(std::move(config), locked.value_or(self->lastLocked_));
            });
}

void StreamControl::startWithLock(StreamConfig config, bool locked) {
  // Access may have gone while the lookup was out.
  if (shutDown_ || !session_->accessAllowed()) return;
  // A locked screen is shown where the owner can unlock it, never on a private display.
  if (locked) config.virtualDisplay.reset();

  bool drop = false;
  if (!config.virtualDisplay) {
    std::optional<std::uint32_t> current = virtualDisplayID();
    bool physical = (!config.displayID && (!current || locked)) ||
                    (current && config.displayID == current && locked);
    if (physical) {
      std::vector<StreamDisplay> all = deps_.displays->all();
      if (current)
        std::erase_if(all, [&](const StreamDisplay& d) { return d.info.id == *current; });
      auto chosen = std::find_if(all.begin(), all.end(), [](const auto& d) { return d.builtIn; });
      if (chosen == all.end()) chosen = all.begin();
      if (chosen != all.end()) config.displayID = chosen->info.id;
      drop = current.has_value();
    }
  }
  // Assistance shows the owner's own screen; the helper is not told of a fallback.
  if (session_->limited()) config.virtualDisplay.reset();
  if (!config.virtualDisplay && virtualDisplay_ && config.displayID != virtualDisplayID())
    drop = true;
  if (config.virtualDisplay) {
    if (!virtualDisplay_ || virtualDisplayRequest_ != config.virtualDisplay) {
      std::optional<VirtualDisplayRequest> request = config.virtualDisplay;
      return changeDisplay(std::move(config), std::move(request));
    }
    config.displayID = virtualDisplay_->displayID();
  } else if (drop) {
    // The display list must no longer show the dropped display when the stream picks one.
    return changeDisplay(std::move(config), std::nullopt);
  }
  startOnDisplay(std::move(config));
}

void StreamControl::changeDisplay(StreamConfig config,
                                  std::optional<VirtualDisplayRequest> request) {
  displayBusy_ = true;
  std::unique_ptr<StreamVirtualDisplay> old = std::move(virtualDisplay_);
  virtualDisplayRequest_.reset();
  std::shared_ptr<SerialQueue> main = deps_.mainQueue;
  std::shared_ptr<SerialQueue> queue = session_->queue().shared_from_this();
  // Brings the outcome back to this queue; a display nobody is left to use goes back at once.
  auto back = [weak = weak_from_this(), main, queue, serial = startSerial_,
               config = std::move(config),
               request](std::unique_ptr<StreamVirtualDisplay> display) mutable {
    queue->post([weak, main, serial, config = std::move(config), request = std::move(request),
                 display = std::move(display)]() mutable {
      if (auto self = weak.lock()) {
        self->displayChanged(serial, std::move(config), std::move(request), std::move(display));
      } else if (display) {
        releaseOnMain(*main, std::move(display));
      }
    });
  };
  main->post([old = std::move(old), request = std::move(request), displays = deps_.displays, main,
              pool = queue->executor().get_inner_executor(), back = std::move(back)]() mutable {
    if (old) {
      old->restore();
      old.reset();
    }
    if (!request) return back(nullptr);
    std::unique_ptr<StreamVirtualDisplay> display = displays->createVirtualDisplay(*request);
    if (!display) return back(nullptr);
    // The wait polls the desktop and sleeps: on a pool thread, never on a queue (the main
    // queue serves the desktop meanwhile).
    asio::post(pool, [display = std::move(display), main, back = std::move(back)]() mutable {
      const bool active = display->waitUntilActive(virtualDisplayWait);
      main->post([display = std::move(display), active, back = std::move(back)]() mutable {
        if (active) {
          display->takeOverDesktop();
        } else {
          display.reset();
        }
        back(std::move(display));
      });
    });
  });
}

void StreamControl::displayChanged(std::uint64_t serial, StreamConfig config,
                                   std::optional<VirtualDisplayRequest> request,
                                   std::unique_ptr<StreamVirtualDisplay> display) {
  session_->queue().assertCurrent();
  displayBusy_ = false;
  if (shutDown_) {
    if (display) releaseOnMain(*deps_.mainQueue, std::move(display));
    return;
  }
  if (request) {
    if (display) {
      virtualDisplay_ = std::move(display);
      virtualDisplayRequest_ = request;
      config.displayID = virtualDisplay_->displayID();
    } else {
      log::line("Ombrel Remote: virtual display not possible, streaming a physical display");
      sendError(virtualDisplayFallbackText, HostErrorCode::virtualDisplayFallback, std::nullopt);
      config.virtualDisplay.reset();
    }
  }
  // A stop or a newer start came meanwhile: this start is void; the newest start runs now.
  std::optional<StreamConfig> next = std::exchange(deferredStart_, std::nullopt);
  if (next) return startStream(std::move(*next));
  if (serial == startSerial_) startOnDisplay(std::move(config));
}

void StreamControl::startOnDisplay(StreamConfig config) {
  if (deps_.captureProblem) {
    if (auto problem = deps_.captureProblem()) return sendStartFailure(*problem);
  }
  std::vector<StreamDisplay> all = deps_.displays->all();
  if (all.empty()) {
    sendError(noDisplayText, HostErrorCode::noDisplay, std::nullopt);
    return;
  }
  auto display = std::find_if(all.begin(), all.end(),
                              [&](const auto& d) { return d.info.id == config.displayID; });
  if (display == all.end())
    display = std::find_if(all.begin(), all.end(), [](const auto& d) { return d.info.isMain; });
  if (display == all.end()) display = all.begin();
  config.displayID = display->info.id;
  config_ = config;

  StreamPlan::Size maximum =
      StreamPlan::requestedMaximum(config.codec, config.maxWidth, config.maxHeight);
  StreamPlan::Size size = StreamPlan::captureSize(
      display->info.pixelWidth, display->info.pixelHeight, maximum.width, maximum.height);
  std::int64_t fps = StreamPlan::clampFps(config.fps);

  {
    std::lock_guard lock(boundsLock_);
    bounds_ = display->bounds;
  }
  if (deps_.onDisplayBounds) deps_.onDisplayBounds(display->bounds);

  adapter_.reset(config.bitrateKbps,
                 StreamPlan::startBitrate(config.bitrateKbps, config.startBitrateKbps));
  budgetBitrate_ = adapter_.currentBitrate();

  window_ =
      config.receiverPacing.value_or(false) ? std::make_shared<VideoDeliveryWindow>() : nullptr;

  std::shared_ptr<StreamSource> source = deps_.makeStreamer();
  if (!source) {
    sendError(std::string(captureFailedPrefix), HostErrorCode::captureFailed, std::string());
    return;
  }
  const std::uint64_t generation = ++generation_;
  connect(*source, generation);
  streamer_ = source;
  liveGeneration_ = generation;

  if (!session_->accessAllowed()) {
    stopStream();
    return;
  }
  StreamStarted report{display->info, size.width, size.height, fps, config.codec};
  std::weak_ptr<StreamControl> weak = weak_from_this();
  std::shared_ptr<SerialQueue> queue = session_->queue().shared_from_this();
  source->start(config.displayID.value_or(0), size.width, size.height, fps,
                adapter_.currentBitrate(), config.codec, config.audio,
                [weak, queue, generation, report](std::optional<NVError> error) {
                  queue->post([weak, generation, report, error = std::move(error)]() mutable {
                    if (auto self = weak.lock())
                      self->started(generation, std::move(error), std::move(report));
                  });
                });
}

void StreamControl::connect(StreamSource& source, std::uint64_t generation) {
  std::weak_ptr<StreamControl> weak = weak_from_this();
  std::shared_ptr<SerialQueue> queue = session_->queue().shared_from_this();
  std::shared_ptr<VideoDeliveryWindow> window = window_;

  source.onVideo = [weak, queue, generation, window](const VideoFrame& frame) {
    if (window) window->sent(frame.ptsMicros);
    queue->post([weak, generation, window, pts = frame.ptsMicros, body = frame.encoded()]() {
      if (auto self = weak.lock()) {
        self->sendVideo(generation, pts, std::move(body), window);
      } else if (window) {
        window->acknowledge(pts);
      }
    });
  };
  if (config_ && config_->audio) {
    source.onAudio = [weak, generation](const AudioFrame& frame) {
      if (auto self = weak.lock()) self->sendAudio(generation, frame);
    };
  }
  source.shouldSkipFrame = [weak, generation, window]() {
    auto self = weak.lock();
    return !self || self->shouldSkip(generation, window);
  };
  source.onStopped = [weak, queue, generation](std::optional<NVError> error) {
    queue->post([weak, generation, error = std::move(error)]() mutable {
      if (auto self = weak.lock()) self->captureStopped(generation, std::move(error));
    });
  };
}

void StreamControl::sendStartFailure(const NVError& error) {
  log::line("Ombrel Remote: capture could not start");
  // A desktop that refuses this process is the declined screen-recording permission.
  if (error.kind() == NVError::Kind::system &&
      error.code() == std::make_error_code(std::errc::permission_denied)) {
    sendError(screenPermissionText, HostErrorCode::screenPermission, std::nullopt);
    return;
  }
  std::string description = error.errorDescription();
  sendError(captureFailedPrefix + description, HostErrorCode::captureFailed, description);
}

void StreamControl::started(std::uint64_t generation, std::optional<NVError> error,
                            StreamStarted report) {
  session_->queue().assertCurrent();
  if (!isCurrent(generation)) return;  // stopped or replaced: that streamer was stopped then
  if (error) {
    stopStream();
    sendStartFailure(*error);
    return;
  }
  if (!session_->accessAllowed()) {
    stopStream();
    return;
  }
  session_->send(MessageType::streamStarted, NVJSON::encode(report));
  started_ = true;
  streamer_->requestKeyframe();
  startTimers();
  takeSleepAssertion();
  session_->streamDidStart();
}

void StreamControl::takeSleepAssertion() {
  wantsAssertion_ = true;
  PowerManager* power = deps_.powerManager;
  if (sleepAssertion_ != 0 || takingAssertion_ || !power) return;
  const PowerAssertionType type = sessionAssertionType(session_->limited());
  if (!deps_.blockingWorker) {
    sleepAssertion_ = power->createAssertion(type, sessionAssertionName);
    return;
  }
  takingAssertion_ = deps_.blockingWorker->run(
      session_->queue().shared_from_this(),
      [power, type] { return power->createAssertion(type, sessionAssertionName); },
      [weak = weak_from_this(), worker = deps_.blockingWorker, power](std::uint32_t id) {
        if (auto self = weak.lock()) {
          self->assertionTaken(id);
        } else {
          releaseAssertion(worker, power, id);
        }
      });
  // A full worker refused the call: the next statistics tick asks again.
  assertionRefused_ = !takingAssertion_;
}

void StreamControl::assertionTaken(std::uint32_t id) {
  session_->queue().assertCurrent();
  takingAssertion_ = false;
  if (wantsAssertion_ && sleepAssertion_ == 0) {
    sleepAssertion_ = id;
  } else {
    releaseAssertion(deps_.blockingWorker, deps_.powerManager, id);
  }
}

void StreamControl::releaseSleepAssertion() {
  wantsAssertion_ = false;
  releaseAssertion(deps_.blockingWorker, deps_.powerManager, std::exchange(sleepAssertion_, 0));
}

void StreamControl::captureStopped(std::uint64_t generation, std::optional<NVError> error) {
  session_->queue().assertCurrent();
  if (!isCurrent(generation)) return;
  std::optional<std::string> description;
  if (error) description = error->errorDescription();
  // The capture is gone: release what the stream held; the client decides whether to restart.
  stopStream();
  sendError(captureStoppedPrefix + description.value_or(std::string()),
            HostErrorCode::captureStopped, description);
}

void StreamControl::sendVideo(std::uint64_t generation, std::uint64_t ptsMicros, Bytes body,
                              const std::shared_ptr<VideoDeliveryWindow>& window) {
  session_->queue().assertCurrent();
  if (session_->accessAllowed() && isCurrent(generation) && started_) {
    session_->send(MessageType::videoFrame, std::move(body));
  } else if (window) {
    window->acknowledge(ptsMicros);
  }
}

std::int64_t StreamControl::budget() const {
  return VideoBackpressure::queueBudgetBytes(clampKbps(budgetBitrate_.load()));
}

bool StreamControl::shouldSkip(std::uint64_t generation,
                               const std::shared_ptr<VideoDeliveryWindow>& window) {
  // Encoding for a streamer that was replaced would only burn the encoder.
  if (liveGeneration_.load() != generation) return true;
  if (window && !window->mayEncode()) return true;
  return session_->pendingBytes() > budget();
}

void StreamControl::sendAudio(std::uint64_t generation, const AudioFrame& frame) {
  if (!session_->accessAllowed() || liveGeneration_.load() != generation) return;
  // Late audio is worse than none: drop it rather than queue behind video.
  if (session_->pendingBytes() >= budget()) return;
  session_->send(MessageType::audioFrame, frame.encoded());
}

void StreamControl::stopStream() {
  session_->queue().assertCurrent();
  ++startSerial_;
  deferredStart_.reset();
  lockLookup_.reset();
  window_.reset();
  if (statsTimer_) statsTimer_->cancel();
  if (cursorTimer_) cursorTimer_->cancel();
  statsTimer_.reset();
  cursorTimer_.reset();
  liveGeneration_ = 0;
  if (streamer_) streamer_->stop();
  streamer_.reset();
  started_ = false;
  releaseSleepAssertion();
}

void StreamControl::shutdown() {
  session_->queue().assertCurrent();
  shutDown_ = true;
  stopStream();
  dropVirtualDisplay();
}

void StreamControl::requestKeyframe() {
  session_->queue().assertCurrent();
  if (streamer_) streamer_->requestKeyframe();
}

void StreamControl::updateBitrate(const BitrateUpdate& update) {
  session_->queue().assertCurrent();
  adapter_.setBitrate(update.bitrateKbps);
  budgetBitrate_ = adapter_.currentBitrate();
  if (config_) config_->adaptiveBitrate = update.adaptive;
  if (streamer_) streamer_->setBitrate(update.bitrateKbps);
}

void StreamControl::videoReceipt(std::uint64_t ptsMicros) {
  session_->queue().assertCurrent();
  if (window_) window_->acknowledge(ptsMicros);
}

void StreamControl::clientStats(const ClientStats& stats) {
  session_->queue().assertCurrent();
  SerialQueue& queue = session_->queue();
  adapter_.recordRtt(queue.now(), stats.rttMs);
  if (!TransportDiagnostics::enabled()) return;
  std::optional<int> fd = session_->tcpDescriptor();
  if (!fd) return;
  if (auto report = diagnostics_.collect(*fd, queue.now())) {
    TransportDiagnostics::print(TransportDiagnostics::line(queue.clock().wallSeconds(), stats.rttMs,
                                                           *report, session_->pendingBytes()));
  }
}

void StreamControl::startTimers() {
  std::weak_ptr<StreamControl> weak = weak_from_this();
  statsTimer_ = session_->queue().every(statsInterval, [weak] {
    if (auto self = weak.lock()) self->statsTick();
  });
  if (!deps_.mainQueue) return;
  auto tick = [weak] {
    if (auto self = weak.lock()) self->cursorTick();
  };
  deps_.mainQueue->post(tick);
  cursorTimer_ = deps_.mainQueue->every(cursorInterval, tick);
}

void StreamControl::statsTick() {
  session_->queue().assertCurrent();
  if (!streamer_ || !config_) return;
  if (wantsAssertion_ && assertionRefused_) takeSleepAssertion();
  if (!streamsVirtualDisplay()) return adaptBitrate();
  if (!statsLockLane_) return statsDecide(deps_.screenLock->isLocked());
  // A lookup still out (a slow bus): this tick goes by the last known state.
  if (statsLookup_) return statsDecide(lastLocked_);
  statsLookup_ = true;
  askLocked(*statsLockLane_, deps_.screenLock, session_->queue().shared_from_this(),
            [weak = weak_from_this(), generation = generation_](std::optional<bool> locked) {
              auto self = weak.lock();
              if (!self) return;
              self->statsLookup_ = false;
              if (locked) self->lastLocked_ = *locked;
              if (self->isCurrent(generation) && self->config_)
                self->statsDecide(self->lastLocked_);
            });
}

bool StreamControl::streamsVirtualDisplay() const {
  return virtualDisplay_ && config_ && config_->displayID == virtualDisplay_->displayID() &&
         deps_.screenLock;
}

void StreamControl::statsDecide(bool locked) {
  if (locked && streamsVirtualDisplay()) {
    StreamConfig restart = *config_;
    restart.virtualDisplay.reset();
    log::line("Ombrel Remote: screen locked, moving the stream to a physical display");
    startStream(std::move(restart));
    return;
  }
  adaptBitrate();
}

void StreamControl::adaptBitrate() {
  BitrateAdapter::Tick tick =
      adapter_.tick(session_->queue().now(), streamer_->encodedFrames(), streamer_->skippedFrames(),
                    config_->adaptiveBitrate, config_->receiverPacing.value_or(false));
  if (tick.apply) {
    budgetBitrate_ = *tick.apply;
    streamer_->setBitrate(*tick.apply);
  }
  session_->send(MessageType::hostStats,
                 NVJSON::encode(HostStats{tick.bitrateKbps, static_cast<double>(tick.encodedFrames),
                                          tick.skippedFrames}));
}

void StreamControl::cursorTick() {
  // A tick already under way when the stream stopped reports nothing more.
  if (liveGeneration_.load() == 0 || !session_->accessAllowed()) return;
  ++cursorTicks_;
  sendCursorPosition();
  if (cursorTicks_ % cursorImageEvery == 0) sendCursorImageIfChanged();
  if (cursorTicks_ % clipboardCheckEvery == 0 && deps_.onClipboardCheck) deps_.onClipboardCheck();
}

void StreamControl::sendCursorPosition() {
  if (!deps_.cursor) return;
  std::optional<DisplayBounds> bounds;
  {
    std::lock_guard lock(boundsLock_);
    bounds = bounds_;
  }
  if (!bounds || bounds->width <= 0 || bounds->height <= 0) return;
  std::optional<CursorSource::Point> location = deps_.cursor->location();
  if (!location) return;
  CursorPosition position{(location->x - bounds->x) / bounds->width,
                          (location->y - bounds->y) / bounds->height,
                          bounds->contains(location->x, location->y)};
  if (lastCursor_ && std::abs(position.x - lastCursor_->x) < cursorThreshold &&
      std::abs(position.y - lastCursor_->y) < cursorThreshold &&
      position.visible == lastCursor_->visible) {
    return;
  }
  lastCursor_ = position;
  session_->send(MessageType::cursorPosition, NVJSON::encode(position));
}

void StreamControl::sendCursorImageIfChanged() {
  if (!deps_.cursor) return;
  std::optional<std::uint64_t> hash = deps_.cursor->imageHash();
  if (!hash || hash == lastCursorImageHash_) return;
  std::optional<CursorImage> image = deps_.cursor->image();
  if (!image) return;
  lastCursorImageHash_ = hash;
  session_->send(MessageType::cursorImage, NVJSON::encode(*image));
}

}  // namespace ombrel
