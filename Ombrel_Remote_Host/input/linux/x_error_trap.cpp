#include "Ombrel_Remote_Host/input/linux/x_error_trap.h"

#include <X11/Xlib.h>

#include <mutex>

namespace ombrel {
namespace {

std::mutex trapMutex;
Display* trappedDisplay = nullptr;
bool trappedError = false;
XErrorHandler previousHandler = nullptr;

int trapHandler(Display* display, XErrorEvent* event) {
  if (display == trappedDisplay) {
    trappedError = true;
    return 0;
  }
  return previousHandler ? previousHandler(display, event) : 0;
}

}  // namespace

XErrorTrap::XErrorTrap(Display* display) : display_(display) {
  trapMutex.lock();
  XSync(display_, False);  // errors of earlier requests are not ours to catch
  trappedDisplay = display_;
  trappedError = false;
  previousHandler = XSetErrorHandler(trapHandler);
}

XErrorTrap::~XErrorTrap() {
  XSync(display_, False);
  XSetErrorHandler(previousHandler);
  trappedDisplay = nullptr;
  trapMutex.unlock();
}

bool XErrorTrap::failed() {
  XSync(display_, False);
  return trappedError;
}

}  // namespace ombrel
