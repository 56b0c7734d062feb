#include "Ombrel_Remote_Host/linux/dbus/sd_bus.h"

#include <cerrno>
#include <cstring>

namespace ombrel {
namespace {

bool connectionLost(int r) {
  return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN;
}

}  // namespace

std::string SdBusError::describe(int r) const {
  if (isSet()) {
    std::string text = error_.name ? error_.name : "";
    if (error_.message && *error_.message) text += std::string(": ") + error_.message;
    return text;
  }
  return std::strerror(r < 0 ? -r : r);
}

sd_bus* SdBus::get() {
  if (bus_ && sd_bus_is_open(bus_) > 0) return bus_;
  close();
  sd_bus* bus = nullptr;
  int r;
  if (address_) {
    r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address_->c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  } else {
    r = kind_ == BusKind::system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus);
  }
  if (r < 0) {
    if (bus) sd_bus_unref(bus);
    lastError_ = std::strerror(-r);
    return nullptr;
  }
  lastError_.clear();
  bus_ = bus;
  return bus_;
}

void SdBus::close() {
  if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

SdBusMessage SdBus::call(const Method& method, const Arguments& arguments,
                         std::chrono::milliseconds timeout, SdBusError& error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    sd_bus* bus = get();
    if (!bus) {
      sd_bus_error_set(error.get(), SD_BUS_ERROR_NO_SERVER, lastError_.c_str());
      return nullptr;
    }
    sd_bus_message* request = nullptr;
    int r = sd_bus_message_new_method_call(bus, &request, method.destination, method.path,
                                           method.interface, method.member);
    SdBusMessage owned(request);
    if (r >= 0 && arguments) r = arguments(request);
    if (r < 0) {
      sd_bus_error_set_errno(error.get(), r);
      return nullptr;
    }
    sd_bus_message* reply = nullptr;
    sd_bus_error_free(error.get());
    r = sd_bus_call(bus, request, static_cast<std::uint64_t>(timeout.count()) * 1000, error.get(),
                    &reply);
    if (r >= 0) return SdBusMessage(reply);
    if (!connectionLost(r) || attempt == 1) {
      if (!error.isSet()) sd_bus_error_set_errno(error.get(), r);
      return nullptr;
    }
    close();
  }
  return nullptr;
}

bool SdBus::send(const Method& method, const Arguments& arguments) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    sd_bus* bus = get();
    if (!bus) return false;
    sd_bus_message* request = nullptr;
    int r = sd_bus_message_new_method_call(bus, &request, method.destination, method.path,
                                           method.interface, method.member);
    SdBusMessage owned(request);
    if (r >= 0 && arguments) r = arguments(request);
    if (r >= 0) r = sd_bus_message_set_expect_reply(request, 0);
    // A notification must not launch an activatable service that is not running.
    if (r >= 0) r = sd_bus_message_set_auto_start(request, 0);
    if (r >= 0) r = sd_bus_send(bus, request, nullptr);
    // Nobody drives this connection's event loop, so push the message out now.
    if (r >= 0) r = sd_bus_flush(bus);
    if (r >= 0) return true;
    if (!connectionLost(r)) return false;
    close();
  }
  return false;
}

}  // namespace ombrel
