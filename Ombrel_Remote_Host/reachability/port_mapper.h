#pragma once

// Asks the home router to forward one public TCP port to the host's LAN listener: NAT-PMP
// first, then UPnP IGD (SSDP, the device description, SOAP). Keeps the lease alive with a
// renewal timer, removes the mapping when switched off or at shutdown, and reports one Status.
//
// Threading: every piece of state lives on the mapper's own serial queue "ombrel.portmapper",
// which runs on a thread of its own: the router exchanges block it for seconds (each with an
// explicit deadline), and nothing else waits behind them. `update` and `networkChanged` return
// at once; `shutdown` waits at most 4 seconds. `onChange` runs on the mapper's queue; set it
// before the first `update`.
//
// The router's wire formats (OmbrelKit/port_mapping.h) stay in the .cpp: callers of the mapper
// see only what it found, never the protocols.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "base/clock.h"
#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

class PortMapper {
 public:
  struct Endpoints {
    // When set, used instead of the default route's gateway.
    std::optional<std::string> gateway;
    std::uint16_t natpmpPort = 5351;
    std::string ssdpHost = "239.255.255.250";
    std::uint16_t ssdpPort = 1900;
  };

  struct Status {
    enum class Kind { off, working, mapped, failed };
    Kind kind = Kind::off;
    // "external IPv4:port" while mapped, empty otherwise.
    std::string address;
    bool operator==(const Status&) const = default;
  };

  // A control point of a router's WAN connection service.
  struct Router {
    std::string host;
    std::uint16_t port = 0;
    std::string controlPath;
    std::string service;
    bool operator==(const Router&) const = default;
  };

  struct NATPMPGateway {
    std::string address;
    bool operator==(const NATPMPGateway&) const = default;
  };
  using Method = std::variant<NATPMPGateway, Router>;

  struct Active {
    Method method;
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0;
    std::optional<std::string> lanIP;  // UPnP only
    std::string address;
    bool operator==(const Active&) const = default;
  };

  static constexpr double renewalInterval = 1200;
  static constexpr double networkChangeQuiet = 10;
  static constexpr std::uint32_t leaseSeconds = 3600;

  // `clock` drives the renewal timer and the quiet period after an attempt.
  PortMapper(Endpoints endpoints, std::shared_ptr<Clock> clock);
  ~PortMapper();
  PortMapper(const PortMapper&) = delete;
  PortMapper& operator=(const PortMapper&) = delete;

  void update(bool enabled, std::uint16_t port);
  void networkChanged();
  void shutdown();

  std::function<void(const Status&)> onChange;

  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  // The IPv4 gateway of the default route in a /proc/net/route table, when it is a local
  // address.
  static std::optional<std::string> gatewayFromRouteTable(std::string_view table);

 private:
  void apply();
  void attempt();
  Active map(std::uint16_t port, const std::optional<Active>& previous);
  std::string defaultGateway() const;
  Active natpmpMap(const std::string& gateway, std::uint16_t port, std::uint16_t external);
  Active upnpMap(std::uint16_t port, std::uint16_t external);
  Router upnpDiscover();
  bool remove(const Active& mapping);
  void upnpRemove(const Active& mapping);
  void removeActive();
  void setStatus(Status status);

  const Endpoints endpoints_;
  std::shared_ptr<Clock> clock_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::shared_ptr<SerialQueue> queue_;
  std::thread thread_;

  // On the queue only.
  bool enabled_ = false;
  std::uint16_t port_ = 0;
  std::optional<Active> active_;
  Status status_;
  std::shared_ptr<Timer> timer_;
  std::optional<double> lastAttempt_;
};

}  // namespace ombrel
