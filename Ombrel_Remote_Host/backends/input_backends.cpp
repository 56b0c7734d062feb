#include "Ombrel_Remote_Host/input/input_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"
#include "Ombrel_Remote_Host/linux/x11/remote_click_classifier.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_probe.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"

namespace ombrel {

bool inputInjectionAvailable() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return false;
  return x11CanInjectInput();
}

InputSinkChoice openInputSink(const std::string& displayName) {
  if (desktopSession().kind == DesktopSessionKind::wayland) return {.waylandSession = true};
  return {.sink = X11InputSink::open(displayName)};
}

std::unique_ptr<CaretLocator> openCaretLocator() { return AtspiCaretLocator::create(); }

std::unique_ptr<ClickOriginWatch> openClickOriginWatch(std::shared_ptr<InjectionRecord> record,
                                                       const std::string& displayName,
                                                       std::function<double()> clock) {
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
  return RemoteClickClassifier::open(std::move(record), displayName, std::move(clock));
}

}  // namespace ombrel
