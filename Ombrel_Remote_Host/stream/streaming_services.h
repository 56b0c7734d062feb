#pragma once

// What every session's stream shares in one host process, and the one call that gives a new
// session its streaming control.
//
// The host program builds one StreamingServices at start-up and calls install() for every new
// session before the session starts (the session factory's onCreated):
//
//   StreamingServices streaming(runtime, {.screenLock = screenLock});
//   host.addSessionInstaller([&streaming](const std::shared_ptr<HostSession>& session) {
//     streaming.install(session);
//   });
//
// install() makes the session's StreamControl, routes startStream, stopStream,
// requestKeyframe, updateBitrate, videoReceipt and clientStats to it, and stops the stream and
// removes its virtual display when the session ends. What a stream reports to the application
// (capture works, sessions changed) and the default power manager come from the session's own
// HostSessionDelegate (the controller), so the services can be built before the controller is.
//
// Shared resources: the display list and virtual displays (the process's X11 configuration,
// Displays::platform()), the pointer and cursor reader (openCursorSource(), opened on first use;
// the X11 one reopens its connection when the X server restarted), and the ScreenStreamer
// environment (openScreenCapturer, the platform's encoders, openAudioCapturer for sound). Like
// the rest of the screen layer, all of it works on the X display named by $DISPLAY.
//
// Threading: construct and install() on any thread, before the sessions start; what install()
// sets up runs on each session's connection queue and the host's main queue. The services must
// outlive every session they were installed in (the host program owns both; the controller
// ends its sessions first).

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Ombrel_Remote_Host/screen/cursor_source.h"
#include "Ombrel_Remote_Host/stream/stream_displays.h"
#include "Ombrel_Remote_Host/stream/stream_source.h"
#include "base/runtime.h"

namespace ombrel {

class HostSession;
class PowerManager;
class ScreenLock;
class StreamControl;

class StreamingServices {
 public:
  struct Options {
    // Whether the login session is locked (a locked screen is never streamed on a virtual
    // display); null reads as "not locked".
    std::shared_ptr<ScreenLock> screenLock;
    // Where the streams' sleep assertion is held; null means each session's HostSessionDelegate's.
    PowerManager* powerManager = nullptr;
    // The host's own top-level windows, painted black in every picture (none when headless).
    std::function<std::vector<std::uint64_t>()> ownWindows;
    // The session's input mapping follows the streamed display (connection queue).
    std::function<void(const std::shared_ptr<HostSession>&, const DisplayBounds&)> onDisplayBounds;
    // The clipboard poll, every 30th cursor tick while the session streams (main queue).
    std::function<void(const std::shared_ptr<HostSession>&)> onClipboardCheck;

    // For tests: other backends in place of the platform's.
    StreamSourceFactory makeStreamer;
    std::shared_ptr<StreamDisplays> displays;
    std::shared_ptr<CursorSource> cursor;
  };

  // `runtime` must outlive the services.
  StreamingServices(Runtime& runtime, Options options);
  StreamingServices(const StreamingServices&) = delete;
  StreamingServices& operator=(const StreamingServices&) = delete;

  // Gives `session` its streaming control. Call once per session, before session->start().
  // Returns the control (the session keeps it alive; tests observe it).
  std::shared_ptr<StreamControl> install(const std::shared_ptr<HostSession>& session);

 private:
  // The pointer reader, opened on first use (a host may start before its X server).
  std::shared_ptr<CursorSource> cursor();

  Runtime& runtime_;
  Options options_;
  StreamSourceFactory makeStreamer_;
  std::shared_ptr<StreamDisplays> displays_;
  std::mutex cursorLock_;
  std::shared_ptr<CursorSource> cursor_;  // cursorLock_
};

}  // namespace ombrel
