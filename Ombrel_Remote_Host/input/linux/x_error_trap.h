#pragma once

typedef struct _XDisplay Display;

namespace ombrel {

// Catches the X errors of one display's requests made while it lives, instead of Xlib's
// default handler ending the process (a window of another client can vanish between two
// requests). Errors of other displays go on to the handler that was installed before.
// Traps are process-wide and serialised: one at a time.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display);
  ~XErrorTrap();

  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

  // Waits for the requests so far and tells whether any of them failed.
  bool failed();

 private:
  Display* display_;
};

}  // namespace ombrel
