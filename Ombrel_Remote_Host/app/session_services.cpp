#include "Ombrel_Remote_Host/app/session_services.h"

#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/session/host_session.h"

namespace ombrel {

SessionServices::SessionServices(Runtime& runtime, std::shared_ptr<PowerManager> power,
                                 std::shared_ptr<ScreenLock> screenLock,
                                 FileServices::Report fileReport)
    : input_(InputServices::open(runtime, power, screenLock)),
      files_(FileServices::create(runtime, {.report = std::move(fileReport)})) {
  StreamingServices::Options options;
  options.screenLock = screenLock;
  options.onDisplayBounds = [this](const std::shared_ptr<HostSession>& session,
                                   const DisplayBounds& bounds) {
    std::shared_ptr<SessionInput> input;
    {
      std::lock_guard guard(lock_);
      auto found = inputs_.find(session.get());
      if (found != inputs_.end()) input = found->second.lock();
    }
    if (input) input->setDisplayBounds({bounds.x, bounds.y, bounds.width, bounds.height});
  };
  streaming_ = std::make_unique<StreamingServices>(runtime, std::move(options));
}

SessionServices::~SessionServices() = default;

void SessionServices::install(const std::shared_ptr<HostSession>& session) {
  auto input = input_->install(session);
  {
    std::lock_guard guard(lock_);
    // Entries of ended sessions go as new ones come; a session's address may be reused.
    std::erase_if(inputs_, [](const auto& entry) { return entry.second.expired(); });
    inputs_[session.get()] = input;
  }
  streaming_->install(session);
  files_->install(session);
}

}  // namespace ombrel
