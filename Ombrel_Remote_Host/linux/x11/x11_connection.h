#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ombrel::x11 {

// One Xlib connection, owned by one component. Xlib is never used from two threads at once on
// the same connection: every use holds the connection's lock. Components do not share
// connections, so XInitThreads is not needed and one component's slow request never stalls
// another's.
class Connection {
 public:
  // nullptr when the display cannot be opened (no X server, no $DISPLAY).
  static std::shared_ptr<Connection> open(const std::string& name = {});
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // False once the connection to the X server broke (the server ended or restarted). Xlib's
  // default would end the process; here the connection is just dead: every later request
  // fails, and the owner opens a new one.
  bool alive() const { return alive_.load(); }

  ::Display* display() const { return display_; }
  ::Window root() const { return root_; }
  std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }

  // The following need the lock.
  ::Atom atom(const char* name);
  std::string atomName(::Atom atom);
  // A property of 32-bit items (CARDINAL, WINDOW, ATOM); empty when missing or of another type.
  std::vector<unsigned long> longProperty(::Window window, ::Atom property, ::Atom type);

 private:
  Connection(::Display* display);

  static void connectionLost(::Display* display, void* connection);

  std::mutex mutex_;
  std::atomic<bool> alive_{true};
  ::Display* display_;
  ::Window root_;
};

// Collects the errors of the requests made on one connection inside its scope, so that a
// refused request becomes a result instead of Xlib's default handler ending the process.
// Traps nest per thread. An error outside any trap (a display that changed between two
// requests) is logged and otherwise ignored: the host must not end because a monitor went away.
class ErrorTrap {
 public:
  explicit ErrorTrap(::Display* display);
  ~ErrorTrap();

  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits until the server has handled every request so far; true when none failed.
  bool sync();
  int errorCode() const { return errorCode_; }

  // The process's Xlib error handler (installed once by the first connection or trap).
  static int handle(::Display* display, ::XErrorEvent* event);

 private:
  ::Display* display_;
  ErrorTrap* outer_;
  int errorCode_ = 0;
};

}  // namespace ombrel::x11
