#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Ombrel_Remote_Host/input/caret_locator.h"
#include "Ombrel_Remote_Host/input/click_origin_watch.h"
#include "Ombrel_Remote_Host/input/injection_record.h"
#include "Ombrel_Remote_Host/input/input_sink.h"
#include "base/clock.h"

namespace ombrel {

// The input platform choosers, defined in backends/ (see screen/screen_backends.h).

// Whether remote input can reach the desktop (X11: the display opens and has XTest); always
// false in a Wayland session, where no backend injects yet.
bool inputInjectionAvailable();

// Where remote input goes: X11 (XTest on `displayName`, $DISPLAY when empty). No sink when the
// display does not open, when this build has no X11 backend, and always in a Wayland session:
// XWayland would take the events to none of the windows the owner sees. `whyNone` then says
// which, for the log.
struct InputSinkChoice {
  std::unique_ptr<InputSink> sink;
  std::string whyNone;
};
InputSinkChoice openInputSink(const std::string& displayName = {});

// The caret of the focused text, from the accessibility bus (AT-SPI); nullptr without one.
std::unique_ptr<CaretLocator> openCaretLocator();

// Tells the remote user's presses from the local user's on `displayName` ($DISPLAY when empty),
// matching them against `record` at `clock`'s time (the injectors' clock, which must outlive the
// watch). X11: XInput 2 raw events. nullptr when the display or its XInput 2 is missing, and in a
// Wayland session.
std::unique_ptr<ClickOriginWatch> openClickOriginWatch(std::shared_ptr<InjectionRecord> record,
                                                       const std::string& displayName,
                                                       const Clock& clock);

}  // namespace ombrel
