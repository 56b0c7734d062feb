// ombrel-host: the host program.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

#include "OmbrelKit/device_identity.h"
#include "Ombrel_Remote_Host/app/allocator_settings.h"
#include "Ombrel_Remote_Host/app/headless_host.h"
#include "Ombrel_Remote_Host/app/session_services.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: ombrel-host [--headless] [--port N] [--relay LIST] [--help]\n"
    "\n"
    "Runs the Ombrel Remote host: clients on the network find this computer over mDNS and pair\n"
    "with it by a six-digit code the owner confirms. The host's identity key lives in\n"
    "$XDG_DATA_HOME/Ombrel Remote/host.key (default ~/.local/share), its settings under\n"
    "$XDG_CONFIG_HOME (default ~/.config).\n"
    "\n"
    "  --headless   no window: status lines on standard output, pairing cards answered on\n"
    "               standard input (y allow, o allow as my own device, anything else deny);\n"
    "               a line \"send PATH...\" sends files to the paired clients connected now\n"
    "               (quote paths with spaces); received files go to the Downloads folder's\n"
    "               \"Ombrel Remote\"\n"
    "  --port N     listen on TCP port N instead of 47800 (0: any free port)\n"
    "  --relay LIST register with these relay servers for this run instead of the\n"
    "               \"relayAddress\" setting: host[:port] entries (default port 47900,\n"
    "               IPv6 as [addr]:port) separated by \",\", \";\" or spaces; \"off\" for none\n"
    "  -h, --help   show this text and exit\n"
    "\n"
    "Stops on SIGINT or SIGTERM, closing every session.\n";

// What the host cannot do yet; it says so instead of pretending.
constexpr std::string_view kNotBuilt =
    "Not built yet: ICE reachability, the tunnel service and the tray interface.\n";

bool parsePort(std::string_view text, std::uint16_t& port) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size();
}

// Reads the owner's answers line by line until `stopFd` becomes readable or input ends. A host
// whose standard input is closed keeps serving; its pairing requests then time out as denied.
void readAnswers(ombrel::HeadlessHost& host, int stopFd) {
  std::string pending;
  char buffer[512];
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (auto newline = pending.find('\n'); newline != std::string::npos;
         newline = pending.find('\n')) {
      host.answer(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ombrel::HeadlessHost::Options options;
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    } else if (arg == "--headless") {
      headless = true;
    } else if (arg == "--port" && i + 1 < argc && parsePort(argv[i + 1], options.port)) {
      ++i;
    } else if (arg == "--relay" && i + 1 < argc) {
      options.relayAddress = argv[++i];
    } else {
      std::fprintf(stderr, "ombrel-host: bad option %s\n\n%s", argv[i], kUsage.data());
      return 2;
    }
  }

  ombrel::applyAllocatorSettings();
  // Signals are taken by sigwait below, never by a pool thread: block them before any thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that vanishes mid-write must not kill the host.
  signal(SIGPIPE, SIG_IGN);

  std::cout << std::unitbuf;
  // Loaded once: the ID shown here must be the one the host serves.
  const ombrel::DeviceIdentity identity = ombrel::DeviceIdentity::loadOrCreate("host");
  options.identity = identity;
  std::cout << "Ombrel Remote 主機\n"
            << "主機 ID：" << identity.hostID() << "\n"
            << "指紋：" << identity.fingerprint() << "\n";
  if (!headless) {
    std::cout << "No tray interface in this build: running headless (pairing cards on this "
                 "terminal).\n";
  }
  std::cout << kNotBuilt;

  int stopPipe[2];
  if (::pipe(stopPipe) != 0) {
    std::perror("ombrel-host: pipe");
    return 1;
  }
  ombrel::HeadlessHost host(options, std::cout);
  {
    auto services = std::make_shared<ombrel::SessionServices>(
        host.runtime(), host.powerManager(), host.screenLock(),
        [&host](const std::string& line) { host.fileLine(line); });
    host.addSessionInstaller([services](const std::shared_ptr<ombrel::HostSession>& session) {
      services->install(session);
    });
    host.setFileSending([weak = std::weak_ptr(services)](const auto& paths) {
      if (auto services = weak.lock()) services->files().sendToClients(paths);
    });
  }
  host.start();
  std::thread answers(readAnswers, std::ref(host), stopPipe[0]);

  int signalNumber = 0;
  sigwait(&stopSignals, &signalNumber);
  std::cout << "stopping\n";
  (void)!::write(stopPipe[1], "x", 1);
  answers.join();
  host.stop();
  std::cout << "stopped\n";
  return 0;
}
