#include "Ombrel_Remote_Host/reachability/port_mapper.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <vector>

#include "OmbrelKit/port_mapping.h"
#include "Ombrel_Remote_Host/reachability/router_sockets.h"
#include "base/log.h"

namespace ombrel {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
namespace NATPMP = PortMapping::NATPMP;
namespace UPnP = PortMapping::UPnP;

constexpr auto shutdownWait = seconds(4);
constexpr auto ssdpListen = seconds(3);
constexpr auto httpDeadline = seconds(6);

// One request to the gateway, retried with doubling waits (250, 500, 1000, 2000 ms).
NATPMP::Response natpmpExchange(const std::string& gateway, std::uint16_t port,
                                const Bytes& request, int tries) {
  SocketFD fd = UDPSocket::connected(gateway, port);
  const std::uint8_t opcode = request.at(1);
  auto wait = milliseconds(250);
  for (int i = 0; i < tries; ++i, wait *= 2) {
    // A lost request is retried by the next try; a send error ends nothing by itself.
    (void)::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    const auto until = steady_clock::now() + wait;
    while (UDPSocket::wait(fd.get(), POLLIN, until)) {
      Bytes buffer(PortMapping::maxDatagramSize);
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      buffer.resize(static_cast<std::size_t>(n));
      if (auto response = NATPMP::parse(buffer); response && NATPMP::answers(*response, opcode))
        return *response;
    }
  }
  throw RouterError("no NAT-PMP answer from " + gateway);
}

struct SOAPFaultError : RouterError {
  using RouterError::RouterError;
};

std::string soap(const PortMapper::Router& router, const std::string& action,
                 const UPnP::Arguments& arguments) {
  if (!PortMapping::isLocalIPv4(router.host))
    throw RouterError("router address " + router.host + " is not on the local network");
  const auto reply = httpExchange(router.host, router.port, "POST", router.controlPath,
                                  UPnP::soapHeaders(action, router.service),
                                  UPnP::soapBody(action, router.service, arguments),
                                  steady_clock::now() + httpDeadline);
  if (!reply) throw RouterError("bad HTTP response from " + router.host);
  auto outcome = UPnP::soapReply(action, PortMapping::HTTPResponse{reply->status, reply->body});
  if (auto* fault = std::get_if<UPnP::SOAPFault>(&outcome))
    throw SOAPFaultError(fault->description());
  return std::get<std::string>(std::move(outcome));
}

UPnP::Arguments entryArguments(std::uint16_t externalPort) {
  return {{"NewRemoteHost", ""},
          {"NewExternalPort", std::to_string(externalPort)},
          {"NewProtocol", "TCP"}};
}

bool changed(const std::optional<PortMapper::Active>& previous, const PortMapper::Active& next) {
  return previous && previous->method != next.method;
}

}  // namespace

PortMapper::PortMapper(Endpoints endpoints, std::shared_ptr<Clock> clock)
    : endpoints_(std::move(endpoints)),
      clock_(std::move(clock)),
      work_(asio::make_work_guard(context_)),
      queue_(SerialQueue::create(context_, "ombrel.portmapper", clock_)),
      thread_([this] { context_.run(); }) {}

PortMapper::~PortMapper() {
  // Drop the timer on the queue (it may be firing), then let the thread finish what it holds.
  queue_->post([this] {
    if (timer_) timer_->cancel();
    timer_.reset();
  });
  work_.reset();
  thread_.join();
}

void PortMapper::update(bool enabled, std::uint16_t port) {
  queue_->post([this, enabled, port] {
    if (enabled == enabled_ && port == port_) return;
    enabled_ = enabled;
    port_ = port;
    apply();
  });
}

void PortMapper::networkChanged() {
  queue_->post([this] {
    if (!enabled_ || port_ == 0) return;
    if (lastAttempt_ && clock_->now() - *lastAttempt_ < networkChangeQuiet) return;
    apply();
  });
}

void PortMapper::shutdown() {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  queue_->post([this, done] {
    enabled_ = false;
    if (timer_) timer_->cancel();
    timer_.reset();
    removeActive();
    done->set_value();
  });
  finished.wait_for(shutdownWait);
}

void PortMapper::apply() {
  queue_->assertCurrent();
  if (enabled_ && port_ != 0) {
    if (active_ && active_->internalPort != port_) removeActive();
    attempt();
    if (!timer_) timer_ = queue_->every(renewalInterval, [this] { attempt(); });
    return;
  }
  if (timer_) timer_->cancel();
  timer_.reset();
  removeActive();
  if (status_.kind != Status::Kind::off) setStatus({Status::Kind::off, {}});
}

void PortMapper::attempt() {
  queue_->assertCurrent();
  if (!enabled_ || port_ == 0) return;
  lastAttempt_ = clock_->now();
  const std::optional<Active> previous = active_;
  if (!previous && status_.kind != Status::Kind::working) setStatus({Status::Kind::working, {}});
  Active next;
  try {
    next = map(port_, previous);
  } catch (const std::exception& error) {
    log::line(std::string("Ombrel Remote: port mapping failed: ") + error.what());
    if (previous) remove(*previous);
    active_.reset();
    if (status_.kind != Status::Kind::failed) setStatus({Status::Kind::failed, {}});
    return;
  }
  if (changed(previous, next)) remove(*previous);
  if (!previous || previous->address != next.address)
    log::line("Ombrel Remote: reachable from the internet at " + next.address);
  active_ = next;
  const Status mapped{Status::Kind::mapped, next.address};
  if (status_ != mapped) setStatus(mapped);
}

PortMapper::Active PortMapper::map(std::uint16_t port, const std::optional<Active>& previous) {
  const std::uint16_t external =
      previous && previous->internalPort == port ? previous->externalPort : port;
  std::string errors;
  try {
    const std::string gateway = defaultGateway();
    try {
      return natpmpMap(gateway, port, external);
    } catch (const std::exception& error) {
      errors = std::string("NAT-PMP: ") + error.what();
    }
  } catch (const RouterError&) {
    errors = "NAT-PMP: no IPv4 router";
  }
  try {
    return upnpMap(port, external);
  } catch (const std::exception& error) {
    throw RouterError(errors + "; UPnP: " + error.what());
  }
}

std::optional<std::string> PortMapper::gatewayFromRouteTable(std::string_view table) {
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // the column names
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string interface, destination, gateway, flags;
    if (!(fields >> interface >> destination >> gateway >> flags)) continue;
    // Destination 0.0.0.0 with RTF_GATEWAY (0x2) and RTF_UP (0x1): the default route. The
    // kernel prints the addresses as hex of the in-memory (network order) value.
    unsigned long flagBits = 0, address = 0;
    try {
      flagBits = std::stoul(flags, nullptr, 16);
      address = std::stoul(gateway, nullptr, 16);
      if (std::stoul(destination, nullptr, 16) != 0) continue;
    } catch (const std::exception&) {
      continue;
    }
    if ((flagBits & 0x3) != 0x3 || address > 0xffffffffUL) continue;
    const std::string text =
        std::to_string(address & 0xff) + "." + std::to_string((address >> 8) & 0xff) + "." +
        std::to_string((address >> 16) & 0xff) + "." + std::to_string((address >> 24) & 0xff);
    if (PortMapping::isLocalIPv4(text)) return text;
  }
  return std::nullopt;
}

std::string PortMapper::defaultGateway() const {
  if (endpoints_.gateway) return *endpoints_.gateway;
  // thread-self: the routes of the network namespace this thread runs in (/proc/net follows
  // the process's first thread).
  for (const char* path : {"/proc/thread-self/net/route", "/proc/net/route"}) {
    std::ifstream file(path);
    if (!file) continue;
    std::stringstream content;
    content << file.rdbuf();
    if (auto gateway = gatewayFromRouteTable(content.str())) return *gateway;
    break;
  }
  throw RouterError("no local IPv4 router");
}

PortMapper::Active PortMapper::natpmpMap(const std::string& gateway, std::uint16_t port,
                                         std::uint16_t external) {
  if (!PortMapping::isLocalIPv4(gateway))
    throw RouterError("router " + gateway + " is not on the local network");
  const auto answer =
      natpmpExchange(gateway, endpoints_.natpmpPort, NATPMP::externalAddressRequest(), 4);
  const auto* outside = answer.externalAddress();
  if (!outside || outside->result != 0)
    throw RouterError("router refused the external address request");
  const std::string address = PortMapping::formatIPv4(outside->address);
  if (!PortMapping::isPublicIPv4(ByteView(outside->address)))
    throw RouterError("router is behind another NAT (" + address + ")");
  const auto reply = natpmpExchange(gateway, endpoints_.natpmpPort,
                                    NATPMP::mapTCPRequest(port, external, leaseSeconds), 4);
  const auto* mapping = reply.mapping();
  if (!mapping) throw RouterError("bad mapping response");
  if (mapping->result != 0)
    throw RouterError("router refused the mapping (result " + std::to_string(mapping->result) +
                      ")");
  if (mapping->opcode != NATPMP::opMapTCP || mapping->internalPort != port ||
      mapping->externalPort == 0 || mapping->lifetime == 0)
    throw RouterError("unexpected mapping response");
  return Active{NATPMPGateway{gateway}, port, mapping->externalPort, std::nullopt,
                address + ":" + std::to_string(mapping->externalPort)};
}

PortMapper::Router PortMapper::upnpDiscover() {
  SocketFD fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) throw RouterError("socket failed");
  const sockaddr_in target = UDPSocket::address(endpoints_.ssdpHost, endpoints_.ssdpPort);
  const std::string where = endpoints_.ssdpHost + ":" + std::to_string(endpoints_.ssdpPort);
  for (const auto searchTarget : UPnP::searchTargets) {
    const std::string request = UPnP::searchRequest(where, searchTarget);
    (void)::sendto(fd.get(), request.data(), request.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&target), sizeof target);
  }
  const auto until = steady_clock::now() + ssdpListen;
  while (auto datagram = UDPSocket::receiveFrom(fd.get(), until)) {
    const auto& [bytes, responder] = *datagram;
    if (!PortMapping::isLocalIPv4(responder) || !PortMapping::isUTF8(bytes)) continue;
    const auto location = UPnP::location(toString(bytes), responder);
    if (!location) continue;
    const auto parts = UPnP::splitURL(*location);
    if (!parts) continue;
    // Anything on the LAN may answer; whatever goes wrong with one answer only skips it.
    try {
      const auto reply = httpExchange(parts->host, parts->port, "GET", parts->path, {}, {},
                                      steady_clock::now() + httpDeadline);
      if (!reply || reply->status != 200 || !PortMapping::isUTF8(reply->body)) continue;
      if (auto router = UPnP::router(toString(reply->body), *parts))
        return Router{router->host, router->port, router->controlPath, router->service};
    } catch (const RouterError&) {
    }
  }
  throw RouterError("no UPnP router found");
}

PortMapper::Active PortMapper::upnpMap(std::uint16_t port, std::uint16_t external) {
  const Router router = upnpDiscover();
  const std::string lanIP = UDPSocket::localAddress(router.host);
  if (!PortMapping::isLocalIPv4(lanIP)) throw RouterError("no LAN address toward the router");
  const auto reported = UPnP::tag(soap(router, "GetExternalIPAddress", {}), "NewExternalIPAddress");
  const auto outside = reported ? PortMapping::parseIPv4(*reported) : std::nullopt;
  if (!outside) throw RouterError("router did not report an external address");
  const std::string address = PortMapping::formatIPv4(*outside);
  if (!PortMapping::isPublicIPv4(ByteView(*outside)))
    throw RouterError("router is behind another NAT (" + address + ")");
  soap(router, "AddPortMapping",
       {{"NewRemoteHost", ""},
        {"NewExternalPort", std::to_string(external)},
        {"NewProtocol", "TCP"},
        {"NewInternalPort", std::to_string(port)},
        {"NewInternalClient", lanIP},
        {"NewEnabled", "1"},
        {"NewPortMappingDescription", "Ombrel Remote"},
        {"NewLeaseDuration", std::to_string(leaseSeconds)}});
  return Active{router, port, external, lanIP, address + ":" + std::to_string(external)};
}

void PortMapper::upnpRemove(const Active& mapping) {
  const auto& router = std::get<Router>(mapping.method);
  const std::string entry =
      soap(router, "GetSpecificPortMappingEntry", entryArguments(mapping.externalPort));
  // Another computer may since have taken the port; its mapping is not ours to delete.
  if (!mapping.lanIP || UPnP::tag(entry, "NewInternalClient") != *mapping.lanIP ||
      UPnP::tag(entry, "NewInternalPort") != std::to_string(mapping.internalPort))
    throw RouterError("mapping belongs to another computer");
  soap(router, "DeletePortMapping", entryArguments(mapping.externalPort));
}

bool PortMapper::remove(const Active& mapping) {
  try {
    if (const auto* gateway = std::get_if<NATPMPGateway>(&mapping.method))
      natpmpExchange(gateway->address, endpoints_.natpmpPort,
                     NATPMP::mapTCPRequest(mapping.internalPort, 0, 0), 2);
    else
      upnpRemove(mapping);
    return true;
  } catch (const std::exception& error) {
    log::line(std::string("Ombrel Remote: removing port mapping failed: ") + error.what());
    return false;
  }
}

void PortMapper::removeActive() {
  if (!active_) return;
  const Active mapping = *active_;
  active_.reset();
  if (remove(mapping)) log::line("Ombrel Remote: port mapping removed");
  const Status next{enabled_ ? Status::Kind::working : Status::Kind::off, {}};
  if (status_ != next) setStatus(next);
}

void PortMapper::setStatus(Status status) {
  status_ = std::move(status);
  if (onChange) onChange(status_);
}

}  // namespace ombrel
