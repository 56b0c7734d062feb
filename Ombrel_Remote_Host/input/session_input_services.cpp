#include "Ombrel_Remote_Host/input/session_input_services.h"

#include <utility>
#include <variant>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/input/input_backends.h"
#include "Ombrel_Remote_Host/input/locked_input_sink.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"
#include "Ombrel_Remote_Host/power/wake_on_lan.h"
#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/blocking_worker.h"
#include "base/log.h"
#include "base/runtime.h"
#include "base/serial_queue.h"

namespace ombrel {
namespace {

// The primary monitor (else the first) of the desktop's layout; empty without a desktop.
InputRect primaryDisplayBounds() {
  auto platform = Displays::platform();
  if (!platform) return {};
  const auto displays = platform->displays();
  const auto layout = platform->layout();
  std::optional<std::uint32_t> main;
  for (const auto& d : displays) {
    if (d.isMain) main = d.id;
  }
  for (const auto& r : layout) {
    if (!main || r.id == *main) {
      return {static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.width),
              static_cast<double>(r.height)};
    }
  }
  return {};
}

}  // namespace

// Services -----------------------------------------------------------------------------------

std::shared_ptr<InputServices> InputServices::open(Runtime& runtime,
                                                   std::shared_ptr<PowerManager> powerManager,
                                                   std::shared_ptr<ScreenLock> screenLock,
                                                   const std::string& displayName) {
  Dependencies deps{
      .powerManager = std::move(powerManager),
      .screenLock = std::move(screenLock),
      .blockingWorker = runtime.blockingWorker(),
      .clock = runtime.sharedClock(),
      .mainDisplayBounds = primaryDisplayBounds,
  };
  InputSinkChoice choice = openInputSink(displayName);
  if (!choice.sink) {
    log::line("Ombrel Remote: " + choice.whyNone + "; input messages are ignored");
  } else {
    if (!choice.sink->canInject()) {
      log::line("Ombrel Remote: the X server has no XTest extension; remote input has no effect");
    }
    deps.sink = std::move(choice.sink);
    deps.caretLocator = openCaretLocator();
  }
  return create(std::move(deps));
}

std::shared_ptr<InputServices> InputServices::create(Dependencies dependencies) {
  return std::shared_ptr<InputServices>(new InputServices(std::move(dependencies)));
}

namespace {

// The sessions' caret lanes may ask at once; the locator serves one caller at a time.
class LockedCaretLocator : public CaretLocator {
 public:
  explicit LockedCaretLocator(std::shared_ptr<CaretLocator> locator)
      : locator_(std::move(locator)) {}
  std::optional<InputRect> caretRect() override {
    std::lock_guard lock(mutex_);
    return locator_->caretRect();
  }

 private:
  std::mutex mutex_;
  const std::shared_ptr<CaretLocator> locator_;
};

InputServices::Dependencies withLocks(InputServices::Dependencies deps) {
  // Several sessions may type at once; the sink serves one caller at a time.
  if (deps.sink) deps.sink = std::make_shared<LockedInputSink>(std::move(deps.sink));
  if (deps.caretLocator) {
    deps.caretLocator = std::make_shared<LockedCaretLocator>(std::move(deps.caretLocator));
  }
  return deps;
}

}  // namespace

InputServices::InputServices(Dependencies dependencies)
    : deps_(withLocks(std::move(dependencies))) {}

bool InputServices::canInject() const { return deps_.sink && deps_.sink->canInject(); }

std::shared_ptr<SessionInput> InputServices::install(const std::shared_ptr<HostSession>& session) {
  auto input = std::make_shared<SessionInput>(shared_from_this(), session);
  if (input->injector()) {
    session->setHandler(MessageType::input,
                        [input](HostSession&, ByteView body) { input->handleInput(body); });
  }
  // The sends block for a while on a busy network: they run on the blocking worker, not on the
  // connection queue, which keeps reading the session meanwhile. Requests that arrive while
  // one is being sent coalesce to the newest.
  if (deps_.blockingWorker) {
    session->setHandler(MessageType::wakeRequest, [lane = deps_.blockingWorker->makeLane()](
                                                      HostSession&, ByteView body) {
      lane->post([request = Bytes(body.begin(), body.end())] { wakeRequest(request); });
    });
  }
  session->addTeardown([input](HostSession&) { input->end(); });
  return input;
}

void InputServices::wakeRequest(ByteView body) {
  auto request = NVJSON::tryDecode<WakeRequest>(body);
  if (!request) return;
  const int sent = HostWake::wake(request->macAddresses);
  log::line(HostWake::logLine(request->macAddresses, sent));
}

CursorPosition InputServices::caretPosition(const std::optional<InputRect>& caret,
                                            InputRect display) {
  if (!caret || !(display.width > 0) || !(display.height > 0)) return {};
  const double midX = caret->x + caret->width / 2;
  const double midY = caret->y + caret->height / 2;
  if (midX < display.minX() || midX >= display.maxX() || midY < display.minY() ||
      midY >= display.maxY()) {
    return {};
  }
  return {.x = (midX - display.minX()) / display.width,
          .y = (caret->maxY() - display.minY()) / display.height,
          .visible = true};
}

// One session ---------------------------------------------------------------------------------

namespace {

std::unique_ptr<InputInjector> makeInjector(const InputServices::Dependencies& deps,
                                            std::shared_ptr<InjectionRecord> record) {
  if (!deps.sink) return nullptr;
  auto injector = std::make_unique<InputInjector>(
      deps.sink, deps.mainDisplayBounds ? deps.mainDisplayBounds() : InputRect{}, *deps.clock,
      std::move(record));
  if (deps.powerManager) {
    injector->onUserActivity = [power = deps.powerManager] {
      power->declareUserActivity(remoteInputActivityName);
    };
  }
  injector->setCaretLocator(deps.caretLocator);
  return injector;
}

std::shared_ptr<SerialQueue> connectionQueue(const std::weak_ptr<HostSession>& session) {
  auto strong = session.lock();
  return strong ? strong->conn()->queue() : nullptr;
}

std::shared_ptr<BlockingLane> laneOf(const InputServices::Dependencies& deps) {
  return deps.blockingWorker ? deps.blockingWorker->makeLane() : nullptr;
}

}  // namespace

SessionInput::SessionInput(std::shared_ptr<InputServices> services,
                           std::weak_ptr<HostSession> session)
    : services_(std::move(services)),
      session_(std::move(session)),
      queue_(connectionQueue(session_)),
      injector_(makeInjector(services_->deps_, services_->record_)),
      caretLane_(laneOf(services_->deps_)),
      clickLane_(laneOf(services_->deps_)) {
  // The lock's state takes up to two bus calls: the line waits for them, the press does not.
  if (injector_ && services_->deps_.screenLock && clickLane_) {
    injector_->onClick = [this](InputPoint at, bool accessibility) {
      noteClick(at, accessibility);
    };
  }
}

SessionInput::~SessionInput() {
  if (caretWork_) caretWork_->cancel();
}

void SessionInput::setDisplayBounds(InputRect bounds) {
  if (injector_) injector_->setDisplayBounds(bounds);
}

void SessionInput::handleInput(ByteView body) {
  if (!injector_) return;
  auto event = NVJSON::tryDecode<InputEvent>(body);
  if (!event) return;
  injector_->handle(*event);
  // An absolute move is the pointer hovering; everything else may have moved the caret.
  if (!std::holds_alternative<InputEvent::MoveTo>(event->value)) scheduleCaretReport();
}

void SessionInput::scheduleCaretReport() {
  if (!queue_ || !caretLane_ || ended_) return;
  if (caretWork_) caretWork_->cancel();
  std::weak_ptr<SessionInput> weak = weak_from_this();
  caretWork_ = queue_->after(InputServices::caretReportDelay, [weak] {
    if (auto self = weak.lock()) self->lookUpCaret();
  });
}

namespace {

bool mayReport(const std::shared_ptr<HostSession>& session) {
  return session && session->authorized() && session->accessAllowed();
}

}  // namespace

void SessionInput::lookUpCaret() {
  if (ended_ || !mayReport(session_.lock())) return;
  std::weak_ptr<SessionInput> weak = weak_from_this();
  caretLane_->run(
      queue_,
      [weak]() -> std::optional<InputRect> {
        auto self = weak.lock();
        return self ? self->injector_->caretRect() : std::nullopt;
      },
      [weak](const std::optional<InputRect>& caret) {
        if (auto self = weak.lock()) self->reportCaret(caret);
      });
}

void SessionInput::reportCaret(const std::optional<InputRect>& caret) {
  auto session = session_.lock();
  if (ended_ || !mayReport(session)) return;
  const CursorPosition report = InputServices::caretPosition(caret, injector_->displayBounds());
  session->send(MessageType::caretPosition, NVJSON::encode(report));
}

void SessionInput::noteClick(InputPoint at, bool accessibility) {
  {
    std::lock_guard lock(clicksMutex_);
    if (pendingClicks_.size() >= maxPendingClickLines) {
      ++unloggedClicks_;
      return;
    }
    pendingClicks_.push_back({at, accessibility});
  }
  std::weak_ptr<SessionInput> weak = weak_from_this();
  clickLane_->post([weak] {
    if (auto self = weak.lock()) self->logClicks();
  });
}

void SessionInput::logClicks() {
  std::vector<PendingClick> clicks;
  {
    std::lock_guard lock(clicksMutex_);
    clicks.swap(pendingClicks_);
  }
  if (clicks.empty()) return;
  // A log line needs no queue: it is written here, as soon as the state is known.
  const bool locked = services_->deps_.screenLock->isLocked();
  for (const PendingClick& click : clicks) {
    log::line(InputInjector::clickLogLine(click.at, click.accessibility, locked));
  }
}

std::uint64_t SessionInput::unloggedClicks() const {
  std::lock_guard lock(clicksMutex_);
  return unloggedClicks_;
}

void SessionInput::end() {
  ended_ = true;
  if (caretWork_) caretWork_->cancel();
  caretWork_.reset();
  if (injector_) injector_->releaseAll();
}

}  // namespace ombrel
