#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"

#include <X11/Xatom.h>

#include "base/log.h"

namespace ombrel::x11 {

namespace {

thread_local ErrorTrap* innermostTrap = nullptr;
std::once_flag handlersOnce;

// Xlib's own I/O error handler ends the process; returning lets the per-connection exit
// handler mark the connection dead instead.
int ioErrorHandler(::Display*) { return 0; }

void installHandlers() {
  std::call_once(handlersOnce, [] {
    XSetErrorHandler(&ErrorTrap::handle);
    XSetIOErrorHandler(&ioErrorHandler);
  });
}

}  // namespace

std::shared_ptr<Connection> Connection::open(const std::string& name) {
  installHandlers();
  ::Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display == nullptr) return nullptr;
  return std::shared_ptr<Connection>(new Connection(display));
}

Connection::Connection(::Display* display) : display_(display), root_(DefaultRootWindow(display)) {
  XSetIOErrorExitHandler(display_, &Connection::connectionLost, this);
}

Connection::~Connection() { XCloseDisplay(display_); }

void Connection::connectionLost(::Display*, void* connection) {
  auto* self = static_cast<Connection*>(connection);
  if (self->alive_.exchange(false)) log::line("Ombrel Remote: lost the X server connection");
}

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
  installHandlers();
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
  log::line("Ombrel Remote: X error " + std::to_string(event->error_code) + " on request " +
            std::to_string(event->request_code) + "." + std::to_string(event->minor_code));
  return 0;
}

}  // namespace ombrel::x11
