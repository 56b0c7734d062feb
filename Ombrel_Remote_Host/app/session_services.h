#pragma once

// What the host program gives every new session: streaming control, remote input, the
// clipboard sync, file transfer and the AI channel. One per process, built before the
// controller; `install` is the session factory's hook.
//
// The input of a session follows the display its stream shows, and the display an agent last
// took a screenshot of: both report the display's bounds, and this routes them to that
// session's injector. The stream's cursor timer drives the session's clipboard poll, and a
// remote paste presses its keys through the session's injector.
//
// Threading: install() on the main queue (the factory's onCreated); the routing runs on the
// session's connection queue. Lifetime: must outlive every session (the host stops its
// controller, which ends the sessions, before it lets go of these).

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/files/file_services.h"
#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/stream/streaming_services.h"

namespace ombrel {

class AIServices;
class ClipboardServices;
class HostSession;
class InputServices;
class PowerManager;
class Runtime;
class ScreenLock;
class SessionInput;

class SessionServices {
 public:
  // `fileReport` takes the owner's file transfer lines (FileServices::Options::report).
  SessionServices(Runtime& runtime, std::shared_ptr<PowerManager> power,
                  std::shared_ptr<ScreenLock> screenLock, FileServices::Report fileReport = {});
  ~SessionServices();
  SessionServices(const SessionServices&) = delete;
  SessionServices& operator=(const SessionServices&) = delete;

  void install(const std::shared_ptr<HostSession>& session);

  // The agent using `session`'s AI channel, for the owner's views (any thread).
  std::optional<std::string> aiAgentName(const HostSession& session) const;
  // The process's file transfer: the owner sends files through it.
  FileServices& files() { return *files_; }

 private:
  void pointInput(const HostSession& session, InputRect bounds);

  std::shared_ptr<InputServices> input_;
  std::shared_ptr<ClipboardServices> clipboard_;
  std::shared_ptr<AIServices> ai_;
  std::unique_ptr<StreamingServices> streaming_;
  std::shared_ptr<FileServices> files_;
  std::mutex lock_;
  std::map<const HostSession*, std::weak_ptr<SessionInput>> inputs_;  // lock_
};

}  // namespace ombrel
