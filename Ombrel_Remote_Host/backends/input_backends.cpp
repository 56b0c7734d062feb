#include "Ombrel_Remote_Host/input/input_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_ATSPI
#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"
#endif
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/remote_click_classifier.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_probe.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#endif

namespace ombrel {

bool inputInjectionAvailable() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return false;
#if OMBREL_HAVE_LINUX_X11
  return x11CanInjectInput();
#else
  return false;
#endif
}

InputSinkChoice openInputSink(const std::string& displayName) {
  if (desktopSession().kind == DesktopSessionKind::wayland) {
    return {.whyNone = "remote input needs an X11 session, and this is a Wayland session"};
  }
#if OMBREL_HAVE_LINUX_X11
  if (auto sink = X11InputSink::open(displayName)) return {.sink = std::move(sink)};
  return {.whyNone = "no X display for remote input"};
#else
  (void)displayName;
  return {.whyNone = "this build has no X11 input backend (libx11/libxtst were missing)"};
#endif
}

std::unique_ptr<CaretLocator> openCaretLocator() {
#if OMBREL_HAVE_LINUX_ATSPI
  return AtspiCaretLocator::create();
#else
  return nullptr;
#endif
}

std::unique_ptr<ClickOriginWatch> openClickOriginWatch(std::shared_ptr<InjectionRecord> record,
                                                       const std::string& displayName,
                                                       const Clock& clock) {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return RemoteClickClassifier::open(std::move(record), displayName, clock);
#else
  (void)record;
  (void)displayName;
  (void)clock;
  return nullptr;
#endif
}

}  // namespace ombrel
