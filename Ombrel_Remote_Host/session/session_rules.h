#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

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

// The capabilities an authorized client is offered, in the order they are sent: the full set,
// then what only an ordinary (not limited) session may use, then the ICE preview, which needs a
// relayed session and the owner's opt-in.
std::vector<std::string> hostCapabilities(bool limited, bool relayed, bool icePreviewEnabled);

// The length of a support grant a client asked for: minutes clamped to 5 ... 1440, in seconds.
double grantSeconds(std::int64_t requestedMinutes);

// "Linux " + kernel major + "." + minor, from a uname release such as "6.1.0-18-amd64";
// just "Linux" when the release has no such numbers.
std::string osName(std::string_view kernelRelease);
// The same for the running kernel.
std::string osName();

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
