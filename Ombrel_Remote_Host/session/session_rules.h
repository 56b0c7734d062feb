#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace ombrel {

// Rules of a session that depend on nothing but their inputs. HostSession exposes the first
// two as its static members.
namespace SessionRules {

// The device name a client sent, made safe to show the owner: invisible and
// direction-changing characters dropped, control characters and line breaks turned into
// spaces, runs of spaces folded, at most 40 characters; empty becomes "未知裝置".
std::string cleanDeviceName(std::string_view name);

// True for an address on the public internet; false for private, loopback, link-local,
// carrier-grade NAT (100.64/10), unique-local IPv6, and any text that is no address at all
// (the empty relay address, "ICE").
bool isInternetAddress(std::string_view address);

}  // namespace SessionRules

// At most three pairing prompts in any 120 seconds, counted over all clients.
// Not thread-safe on its own: the controller calls it under its lock.
class PairingBackoff {
 public:
  // True when the request must be refused; otherwise the prompt is counted at `now`.
  bool shouldRefuse(double now);

 private:
  std::deque<double> prompts_;
};

}  // namespace ombrel
