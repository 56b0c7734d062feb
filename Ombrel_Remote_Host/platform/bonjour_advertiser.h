#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ombrel {

inline constexpr std::string_view bonjourServiceType = "_nerovalde._tcp";
inline constexpr std::string_view bonjourProtocolVersion = "2";

enum class BonjourState {
  stopped,      // nothing asked to be advertised (before update, after stop)
  noDaemon,     // no mDNS daemon answers; advertised as soon as one appears
  registering,  // handed to the daemon, probing the name
  advertising,  // on the network under `name`
  failed,       // the daemon refused; `text` says why
};

struct BonjourStatus {
  BonjourState state = BonjourState::stopped;
  std::string name;  // the service name in use (differs from the host name after a collision)
  std::string text;  // the line the settings view shows

  bool operator==(const BonjourStatus&) const = default;
};

// The status line for a state. `detail` is the name in use (advertising) or the reason (failed).
std::string bonjourStatusText(BonjourState state, std::string_view detail = {});

// Advertises the listener as service type "_nerovalde._tcp" under the host's name with the TXT
// entries "id" (host ID) and "v" ("2"). It never fails its caller: without a daemon nothing is
// advertised, the status says so, and advertising starts once a daemon appears.
//
// States (see BonjourState):
//    stopped -> noDaemon | registering            update()
//    noDaemon -> registering                       the daemon appeared
//    registering -> advertising | failed           the daemon answered
//    registering -> registering                    name collision: next alternative name
//    advertising | registering -> noDaemon         the daemon or the bus went away
//    any -> stopped                                stop()
//
// Threading: update() and stop() may be called from any thread. onStatus is called on the
// advertiser's own thread or inside update()/stop(); it must not call back into the advertiser
// (hop to the owner's queue first). Set it before the first update().
class BonjourAdvertiser {
 public:
  virtual ~BonjourAdvertiser() = default;

  // Advertises (or re-advertises with new values) the listener's port and the host ID.
  virtual void update(std::uint16_t port, std::string_view hostID) = 0;
  // Withdraws the advertisement.
  virtual void stop() = 0;
  virtual BonjourStatus status() const = 0;

  std::function<void(const BonjourStatus&)> onStatus;
};

}  // namespace ombrel
