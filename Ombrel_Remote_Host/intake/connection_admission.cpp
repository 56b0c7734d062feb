#include "Ombrel_Remote_Host/intake/connection_admission.h"

#include <algorithm>

namespace ombrel {

bool ConnectionAdmission::admitDirect(std::span<const std::string> liveRemoteIPs,
                                      const std::string& ip, double now) {
  int direct = 0;
  int sameAddress = 0;
  for (const auto& remote : liveRemoteIPs) {
    if (remote.empty()) continue;
    ++direct;
    if (remote == ip) ++sameAddress;
  }
  if (sameAddress >= maxPerAddress || direct >= maxDirect) return false;
  return allowNewConnection(ip, now);
}

bool ConnectionAdmission::admitRelayed(std::span<const std::string> liveRemoteIPs) {
  auto relayed = std::count_if(liveRemoteIPs.begin(), liveRemoteIPs.end(),
                               [](const std::string& remote) { return remote.empty(); });
  return relayed < maxRelayed;
}

bool ConnectionAdmission::allowNewConnection(const std::string& ip, double now) {
  for (auto it = recent_.begin(); it != recent_.end();) {
    std::erase_if(it->second, [now](double t) { return now - t >= window; });
    it = it->second.empty() ? recent_.erase(it) : std::next(it);
  }
  auto& dates = recent_[ip];
  if (dates.size() >= maxPerWindow) return false;
  dates.push_back(now);
  return true;
}

}  // namespace ombrel
