#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiThreadedPoll;
struct AvahiTimeout;

namespace ombrel {

// BonjourAdvertiser on the Avahi client API. The client lives on Avahi's own threaded poll, next
// to the Asio runtime; update()/stop() take the poll's lock.
//
// The client is created with AVAHI_CLIENT_NO_FAIL, so a missing avahi-daemon only delays the
// advertisement. When the daemon or the system bus goes away the client reports
// AVAHI_ERR_DISCONNECTED and is thrown away and created again; when even the system bus cannot
// be reached (avahi_client_new fails) creation is retried every `retryInterval`. The system bus
// is the one DBUS_SYSTEM_BUS_ADDRESS names, as for every Avahi client.
class AvahiBonjourAdvertiser : public BonjourAdvertiser {
 public:
  struct Config {
    std::string name;  // the host name; collisions move on to "name #2", ...
    std::chrono::milliseconds retryInterval{5000};
  };

  explicit AvahiBonjourAdvertiser(Config config);
  ~AvahiBonjourAdvertiser() override;
  AvahiBonjourAdvertiser(const AvahiBonjourAdvertiser&) = delete;
  AvahiBonjourAdvertiser& operator=(const AvahiBonjourAdvertiser&) = delete;

  void update(std::uint16_t port, std::string_view hostID) override;
  void stop() override;
  BonjourStatus status() const override;

 private:
  // All below run with the poll lock held (on the poll thread or inside update/stop).
  void clientCallback(AvahiClient* client, int state);
  void groupCallback(AvahiEntryGroup* group, int state);
  void timerCallback();
  void createClient();
  void dropClient();
  void publish();
  void withdraw();
  void armTimer(std::chrono::milliseconds delay);
  void setStatus(BonjourState state, std::string_view detail = {});

  Config config_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  AvahiTimeout* timer_ = nullptr;
  std::string name_;         // the name in use, after collisions
  int lastClientError_ = 0;  // logged once, not on every retry
  bool wanted_ = false;
  std::uint16_t port_ = 0;
  std::string hostID_;

  mutable std::mutex statusMutex_;
  BonjourStatus status_;
};

}  // namespace ombrel
