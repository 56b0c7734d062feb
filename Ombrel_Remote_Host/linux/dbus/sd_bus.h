#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ombrel {

// Thin RAII over sd-bus for the desktop backends. sd-bus objects are not thread-safe: every
// backend that owns a `SdBus` guards it with its own mutex.

// Where the two buses are. Absent addresses mean the usual ones (DBUS_SYSTEM_BUS_ADDRESS or the
// system socket; DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus). Tests point both at private
// dbus-daemons.
struct DesktopBusConfig {
  std::optional<std::string> systemBusAddress;
  std::optional<std::string> sessionBusAddress;
};

enum class BusKind { system, session };

struct SdBusMessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;

// An sd_bus_error that frees itself.
class SdBusError {
 public:
  SdBusError() = default;
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;
  ~SdBusError() { sd_bus_error_free(&error_); }

  sd_bus_error* get() { return &error_; }
  bool isSet() const { return sd_bus_error_is_set(&error_); }
  // "name: message", or the errno text of `r` when the bus gave no error name.
  std::string describe(int r) const;

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// One connection to one bus, opened lazily and reopened after the bus went away.
class SdBus {
 public:
  SdBus(BusKind kind, std::optional<std::string> address)
      : kind_(kind), address_(std::move(address)) {}
  SdBus(const SdBus&) = delete;
  SdBus& operator=(const SdBus&) = delete;
  ~SdBus() { close(); }

  // The open connection, or nullptr when the bus cannot be reached (lastError() says why).
  sd_bus* get();
  void close();
  const std::string& lastError() const { return lastError_; }

  struct Method {
    const char* destination;
    const char* path;
    const char* interface;
    const char* member;
  };
  // Appends the call's arguments; returns a negative errno on failure.
  using Arguments = std::function<int(sd_bus_message*)>;

  // A method call with a deadline; the reply, or nullptr with `error` filled. A call that fails
  // because the connection died (the bus daemon restarted) is made once more on a fresh one.
  SdBusMessage call(const Method& method, const Arguments& arguments,
                    std::chrono::milliseconds timeout, SdBusError& error);

  // A call whose answer nobody waits for (NO_REPLY_EXPECTED). False when it could not be sent.
  bool send(const Method& method, const Arguments& arguments);

 private:
  BusKind kind_;
  std::optional<std::string> address_;
  sd_bus* bus_ = nullptr;
  std::string lastError_;
};

}  // namespace ombrel
