#pragma once

// The narrow faces of the relay client and the router port mapper as the controller drives
// them. The controller works without either (nothing is relayed, nothing is mapped) until the
// host program hands the real ones in.
//
// Threading: the controller calls them on the main queue; their callbacks may arrive on the
// clients' own queues (the controller hops to the main queue).

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace ombrel {

class RelayService {
 public:
  virtual ~RelayService() = default;

  // The relay endpoints to register with, joined by ","; empty means none.
  virtual void configure(const std::string& address) = 0;

  // A status line for the owner.
  std::function<void(const std::string& text)> onStatus;
  // A connected data connection to a relay and the preamble line to send on it.
  std::function<void(asio::ip::tcp::socket socket, Bytes preamble)> onIncoming;
};

struct PortMappingStatus {
  enum class State { off, working, mapped, failed };
  State state = State::off;
  // "address:port" on the router's outside while mapped.
  std::optional<std::string> externalAddress;
  std::string text;

  bool operator==(const PortMappingStatus&) const = default;
};

class PortMappingService {
 public:
  virtual ~PortMappingService() = default;

  virtual void update(bool enabled, std::uint16_t port) = 0;
  virtual void networkChanged() = 0;
  // Removes the router's mapping (at exit).
  virtual void shutdown() = 0;

  std::function<void(const PortMappingStatus& status)> onChange;
};

}  // namespace ombrel
