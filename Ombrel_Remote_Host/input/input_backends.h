#pragma once

namespace ombrel {

// The input platform choosers, defined in backends/ (see screen/screen_backends.h).

// Whether remote input can reach the desktop (X11: the display opens and has XTest); always
// false in a Wayland session, where no backend injects yet.
bool inputInjectionAvailable();

}  // namespace ombrel
