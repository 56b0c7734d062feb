#include "Ombrel_Remote_Host/input/session_input_services.h"

#include <asio/post.hpp>

#include <utility>
#include <variant>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/input/linux/atspi_caret_locator.h"
#include "Ombrel_Remote_Host/input/linux/x11_input_sink.h"
#include "Ombrel_Remote_Host/input/locked_input_sink.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"
#include "Ombrel_Remote_Host/power/wake_on_lan.h"
#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/session/host_session.h"
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
      .caretQueue = runtime.makeQueue("ombrel.input.caret"),
      .mainDisplayBounds = primaryDisplayBounds,
  };
  std::shared_ptr<X11InputSink> sink = X11InputSink::open(displayName);
  if (!sink) {
    log::line("Ombrel Remote: no X display for remote input; input messages are ignored");
  } else {
    if (!sink->canInject()) {
      log::line("Ombrel Remote: the X server has no XTest extension; remote input has no effect");
    }
    deps.sink = std::move(sink);
    deps.caretLocator = AtspiCaretLocator::create();
  }
  return create(std::move(deps));
}

std::shared_ptr<InputServices> InputServices::create(Dependencies dependencies) {
  return std::shared_ptr<InputServices>(new InputServices(std::move(dependencies)));
}

namespace {

InputServices::Dependencies withLockedSink(InputServices::Dependencies deps) {
  // Several sessions may type at once; the sink serves one caller at a time.
  if (deps.sink) deps.sink = std::make_shared<LockedInputSink>(std::move(deps.sink));
  return deps;
}

}  // namespace

InputServices::InputServices(Dependencies dependencies)
    : deps_(withLockedSink(std::move(dependencies))) {}

bool InputServices::canInject() const { return deps_.sink && deps_.sink->canInject(); }

std::shared_ptr<SessionInput> InputServices::install(const std::shared_ptr<HostSession>& session) {
  auto input = std::make_shared<SessionInput>(shared_from_this(), session);
  if (input->injector()) {
    session->setHandler(MessageType::input,
                        [input](HostSession&, ByteView body) { input->handleInput(body); });
  }
  // The sends block for a while on a busy network: they run as a work item of the pool, not on
  // the connection queue, which keeps reading the session meanwhile.
  session->setHandler(
      MessageType::wakeRequest,
      [pool = &deps_.caretQueue->executor().get_inner_executor().context()](HostSession&,
                                                                            ByteView body) {
        asio::post(*pool, [request = Bytes(body.begin(), body.end())] { wakeRequest(request); });
      });
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
      deps.sink, deps.mainDisplayBounds ? deps.mainDisplayBounds() : InputRect{},
      InputInjector::Clock(), std::move(record));
  if (deps.powerManager) {
    injector->onUserActivity = [power = deps.powerManager] {
      power->declareUserActivity(remoteInputActivityName);
    };
  }
  if (deps.screenLock) {
    injector->isScreenLocked = [lock = deps.screenLock] { return lock->isLocked(); };
  }
  injector->setCaretLocator(deps.caretLocator);
  return injector;
}

}  // namespace

SessionInput::SessionInput(std::shared_ptr<InputServices> services,
                           std::weak_ptr<HostSession> session)
    : services_(std::move(services)),
      session_(std::move(session)),
      injector_(makeInjector(services_->deps_, services_->record_)) {}

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
  if (caretWork_) caretWork_->cancel();
  std::weak_ptr<SessionInput> weak = weak_from_this();
  caretWork_ = services_->deps_.caretQueue->after(InputServices::caretReportDelay, [weak] {
    if (auto self = weak.lock()) self->reportCaret();
  });
}

void SessionInput::reportCaret() {
  auto session = session_.lock();
  if (!session || !session->authorized() || !session->accessAllowed()) return;
  const CursorPosition report =
      InputServices::caretPosition(injector_->caretRect(), injector_->displayBounds());
  session->send(MessageType::caretPosition, NVJSON::encode(report));
}

void SessionInput::end() {
  if (caretWork_) caretWork_->cancel();
  caretWork_.reset();
  if (injector_) injector_->releaseAll();
}

}  // namespace ombrel
