// ombrel-gamma-watchdog DISPLAY HOST_PID: started by the host with the privacy screen on, its
// standard input a socket to the host (see gamma_watchdog.h). Puts the saved gamma ramps back
// when the host dies; exits untouched when the host stands it down.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "Ombrel_Remote_Host/linux/x11/gamma_watchdog.h"
#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"
#include "base/log.h"

namespace {

// Only interrupts the wait: whether the host is really gone is getppid()'s answer, since the
// death signal also comes when merely the host's thread that started us ends.
void onHostDeath(int) {}

// Reads the host's socket until the host stands down (true) or is gone (false, with the bytes
// it sent).
bool hostStoodDown(pid_t host, std::string& bytes) {
  sigset_t deathSignal;
  sigemptyset(&deathSignal);
  sigaddset(&deathSignal, SIGUSR1);
  sigset_t waiting;
  sigprocmask(SIG_BLOCK, &deathSignal, &waiting);
  sigdelset(&waiting, SIGUSR1);
  struct sigaction action {};
  action.sa_handler = &onHostDeath;
  sigaction(SIGUSR1, &action, nullptr);
  // The socket's end of file is the main sign; the death signal covers an end of the host's
  // socket that leaked into another process still running.
  prctl(PR_SET_PDEATHSIG, SIGUSR1);
  bool orphaned = ::getppid() != host;
  char buffer[16384];
  for (;;) {
    pollfd socket{STDIN_FILENO, POLLIN, 0};
    const timespec drain{0, 0};
    const int ready = ::ppoll(&socket, 1, orphaned ? &drain : nullptr, &waiting);
    if (ready < 0 && errno == EINTR) {
      orphaned = ::getppid() != host;
      continue;
    }
    if (ready <= 0) return false;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.append(buffer, static_cast<std::size_t>(n));
    std::size_t used = 0;
    if (ombrel::GammaWatchdog::decode(bytes, &used) && bytes.size() > used) return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  pid_t host = 0;
  const std::string_view hostArg = argc == 3 ? argv[2] : "";
  if (argc != 3 ||
      std::from_chars(hostArg.data(), hostArg.data() + hostArg.size(), host).ec != std::errc()) {
    std::fprintf(stderr, "Usage: %s DISPLAY HOST_PID (started by ombrel-host)\n",
                 ombrel::GammaWatchdog::kProgram);
    return 2;
  }
  // Ctrl-C at the host's terminal, a hang-up or a stop request reaches the host, which stands
  // the watchdog down itself once the ramps are back; leaving early could leave them black.
  for (int ignored : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) signal(ignored, SIG_IGN);

  std::string bytes;
  if (hostStoodDown(host, bytes)) return 0;
  const auto ramps = ombrel::GammaWatchdog::decode(bytes);
  // A message cut short: the host died before it blanked anything.
  if (!ramps) return 0;
  auto connection = ombrel::x11::Connection::open(argv[1]);
  if (!connection) {
    ombrel::log::line(
        "Ombrel Remote: the host ended with the privacy screen on and the display "
        "cannot be opened to restore it");
    return 1;
  }
  const std::size_t restored = ombrel::X11GammaTables::restoreBlanked(*connection, *ramps);
  ombrel::log::line("Ombrel Remote: the host ended with the privacy screen on; restored " +
                    std::to_string(restored) + " of " + std::to_string(ramps->size()) +
                    " gamma ramps");
  return 0;
}
