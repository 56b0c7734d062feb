// ombrel-host: the host program.
#include <cstdio>
#include <string_view>

#include "OmbrelKit/device_identity.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: ombrel-host [--help]\n"
    "\n"
    "Runs the Ombrel Remote host: loads the host's identity key (or creates it on first start)\n"
    "from $XDG_DATA_HOME/Ombrel Remote/host.key (default ~/.local/share) and shows the host ID\n"
    "that clients use to find this computer.\n"
    "\n"
    "  -h, --help   show this text and exit\n";

// What this build can do so far; the host says so instead of pretending to serve clients.
constexpr std::string_view kNotBuilt =
    "Not built yet: the TCP listener and Bonjour advertisement, pairing and sessions, screen\n"
    "capture and video streaming, input injection, clipboard and file transfer, router port\n"
    "mapping, relay and ICE reachability, the tunnel service and the tray interface.\n"
    "The host therefore accepts no connections and exits now.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    }
    std::fprintf(stderr, "ombrel-host: unknown option %s\n\n%s", argv[i], kUsage.data());
    return 2;
  }

  const ombrel::DeviceIdentity identity = ombrel::DeviceIdentity::loadOrCreate("host");
  std::printf("Ombrel Remote 主機\n");
  std::printf("主機 ID：%s\n", identity.hostID().c_str());
  std::printf("指紋：%s\n", identity.fingerprint().c_str());
  std::printf("Identity key file: %s\n\n",
              ombrel::DeviceIdentity::keyPath("host").string().c_str());
  std::fputs(kNotBuilt.data(), stdout);
  return 0;
}
