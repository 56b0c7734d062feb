#include "Ombrel_Remote_Host/screen/linux/x11_connection.h"

#include <X11/Xatom.h>

namespace ombrel::x11 {

namespace {

thread_local ErrorTrap* innermostTrap = nullptr;
XErrorHandler previousHandler = nullptr;
std::once_flag handlerOnce;

}  // namespace

std::shared_ptr<Connection> Connection::open(const std::string& name) {
  ::Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display == nullptr) return nullptr;
  return std::shared_ptr<Connection>(new Connection(display));
}

Connection::Connection(::Display* display) : display_(display), root_(DefaultRootWindow(display)) {}

Connection::~Connection() { XCloseDisplay(display_); }

::Atom Connection::atom(const char* name) { return XInternAtom(display_, name, False); }

std::string Connection::atomName(::Atom atom) {
  ErrorTrap trap(display_);
  char* text = XGetAtomName(display_, atom);
  if (text == nullptr) return {};
  std::string out(text);
  XFree(text);
  return out;
}

std::vector<unsigned long> Connection::longProperty(::Window window, ::Atom property, ::Atom type) {
  ErrorTrap trap(display_);
  ::Atom actualType = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> out;
  // 32-bit items come back as longs; 4096 items is far more than any list read here.
  if (XGetWindowProperty(display_, window, property, 0, 4096, False, type, &actualType, &format,
                         &count, &after, &data) == Success &&
      data != nullptr) {
    if (actualType == type && format == 32) {
      auto* items = reinterpret_cast<unsigned long*>(data);
      out.assign(items, items + count);
    }
    XFree(data);
  }
  return out;
}

ErrorTrap::ErrorTrap(::Display* display) : display_(display), outer_(innermostTrap) {
  std::call_once(handlerOnce, [] { previousHandler = XSetErrorHandler(&ErrorTrap::handle); });
  // Errors of requests made before this scope belong to the scope that made them.
  XSync(display_, False);
  innermostTrap = this;
}

ErrorTrap::~ErrorTrap() {
  XSync(display_, False);
  innermostTrap = outer_;
}

bool ErrorTrap::sync() {
  XSync(display_, False);
  return errorCode_ == 0;
}

int ErrorTrap::handle(::Display* display, ::XErrorEvent* event) {
  for (ErrorTrap* trap = innermostTrap; trap != nullptr; trap = trap->outer_) {
    if (trap->display_ == display) {
      if (trap->errorCode_ == 0) trap->errorCode_ = event->error_code;
      return 0;
    }
  }
  return previousHandler != nullptr ? previousHandler(display, event) : 0;
}

}  // namespace ombrel::x11
