#include "Ombrel_Remote_Host/app/session_services.h"

#include "Ombrel_Remote_Host/ai/ai_backends.h"
#include "Ombrel_Remote_Host/ai/ai_services.h"
#include "Ombrel_Remote_Host/clipboard/clipboard_backends.h"
#include "Ombrel_Remote_Host/clipboard/clipboard_sync.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/log.h"

namespace ombrel {

SessionServices::SessionServices(Runtime& runtime, std::shared_ptr<PowerManager> power,
                                 std::shared_ptr<ScreenLock> screenLock,
                                 FileServices::Report fileReport)
    : input_(InputServices::open(runtime, power, screenLock)),
      clipboard_(ClipboardServices::create(openPasteboard())),
      files_(FileServices::create(runtime, {.report = std::move(fileReport)})) {
  if (!clipboard_->available()) {
    log::line("Ombrel Remote: no X clipboard; clipboard messages are ignored");
  }
  StreamingServices::Options options;
  options.screenLock = screenLock;
  options.onDisplayBounds = [this](const std::shared_ptr<HostSession>& session,
                                   const DisplayBounds& bounds) {
    pointInput(*session, {bounds.x, bounds.y, bounds.width, bounds.height});
  };
  options.onClipboardCheck = [clipboard = clipboard_](const std::shared_ptr<HostSession>& session) {
    clipboard->check(session);
  };
  streaming_ = std::make_unique<StreamingServices>(runtime, std::move(options));
  ai_ = AIServices::create({
      .blockingWorker = runtime.blockingWorker(),
      .channel = AIChannel::open(),
      .uiTree = openUITreeSource(),
      .onDisplayBounds = [this](const std::shared_ptr<HostSession>& session,
                                InputRect bounds) { pointInput(*session, bounds); },
  });
}

SessionServices::~SessionServices() = default;

void SessionServices::pointInput(const HostSession& session, InputRect bounds) {
  std::shared_ptr<SessionInput> input;
  {
    std::lock_guard guard(lock_);
    auto found = inputs_.find(&session);
    if (found != inputs_.end()) input = found->second.lock();
  }
  if (input) input->setDisplayBounds(bounds);
}

std::optional<std::string> SessionServices::aiAgentName(const HostSession& session) const {
  return ai_->agentName(session);
}

void SessionServices::install(const std::shared_ptr<HostSession>& session) {
  auto input = input_->install(session);
  {
    std::lock_guard guard(lock_);
    // Entries of ended sessions go as new ones come; a session's address may be reused.
    std::erase_if(inputs_, [](const auto& entry) { return entry.second.expired(); });
    inputs_[session.get()] = input;
  }
  clipboard_->install(session, input);
  streaming_->install(session);
  ai_->install(session);
  files_->install(session);
}

}  // namespace ombrel
