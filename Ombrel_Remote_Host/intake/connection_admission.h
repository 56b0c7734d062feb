#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// Who may open a session, before any byte of the protocol is read.
//   direct (TCP listener): fewer than 8 live sessions from the same address, fewer than 48
//     direct sessions in all (every session with a non-empty remote address, ICE included),
//     and at most 20 admitted connections per address in any 60 seconds;
//   relayed: fewer than 16 live sessions with an empty remote address.
// Main-queue only, like the rest of the controller's intake state.
class ConnectionAdmission {
 public:
  static constexpr int maxPerAddress = 8;
  static constexpr int maxDirect = 48;
  static constexpr int maxRelayed = 16;
  static constexpr std::size_t maxPerWindow = 20;
  static constexpr double window = 60.0;

  // Checks the live-session limits and then the rate limit; a refused connection is not
  // recorded. `liveRemoteIPs` holds the remote address of every live session.
  bool admitDirect(std::span<const std::string> liveRemoteIPs, const std::string& ip, double now);
  static bool admitRelayed(std::span<const std::string> liveRemoteIPs);

  // The rate limit alone: prunes dates older than the window, refuses an address that already
  // has 20, otherwise records `now`.
  bool allowNewConnection(const std::string& ip, double now);

  // Addresses with connections inside the window (for tests and diagnostics).
  std::size_t trackedAddresses() const { return recent_.size(); }

 private:
  std::map<std::string, std::vector<double>, std::less<>> recent_;
};

}  // namespace ombrel
