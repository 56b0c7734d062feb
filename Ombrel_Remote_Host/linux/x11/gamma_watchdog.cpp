#include "Ombrel_Remote_Host/linux/x11/gamma_watchdog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/log.h"

extern char** environ;

namespace ombrel {

namespace {

constexpr std::string_view kMagic = "OGW1";
// Far above any real CRTC count or ramp size; a bigger claim is garbage, not a display.
constexpr std::uint32_t kMaxRamps = 256;
constexpr std::uint32_t kMaxRampSize = 65536;

template <typename T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
bool take(std::string_view bytes, std::size_t& at, T& value) {
  if (bytes.size() - at < sizeof value) return false;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  at += sizeof value;
  return true;
}

bool takeChannel(std::string_view bytes, std::size_t& at, std::uint32_t size,
                 std::vector<unsigned short>& channel) {
  const std::size_t length = std::size_t{size} * sizeof(unsigned short);
  if (bytes.size() - at < length) return false;
  channel.resize(size);
  std::memcpy(channel.data(), bytes.data() + at, length);
  at += length;
  return true;
}

std::filesystem::path programPath() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return self.parent_path() / GammaWatchdog::kProgram;
}

// How long a watchdog told to stand down may take to exit.
constexpr int kStandDownMs = 5000;

// Starts the watchdog with `socket` as its standard input: its pid, or -errno.
pid_t spawn(const std::filesystem::path& program, const std::string& displayName, int socket) {
  // A standard descriptor would be dup2'ed onto itself and keep close-on-exec: move it up.
  int end = ::fcntl(socket, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (end < 0) return -errno;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, end, STDIN_FILENO);
  // Whoever reads the host's output up to its end must not wait for the watchdog as well.
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own: Ctrl-C at the host's terminal or a kill of the host's process group
  // must not take the watchdog down with the host. The host's blocked and ignored signals are
  // not the watchdog's.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string parent = std::to_string(::getpid());
  char* argv[] = {const_cast<char*>(GammaWatchdog::kProgram),
                  const_cast<char*>(displayName.c_str()), const_cast<char*>(parent.c_str()),
                  nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(end);
  return error != 0 ? -error : pid;
}

bool sendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string GammaWatchdog::encode(const std::vector<GammaRamp>& ramps) {
  std::string out(kMagic);
  put(out, static_cast<std::uint32_t>(ramps.size()));
  for (const auto& ramp : ramps) {
    put(out, ramp.crtc);
    put(out, static_cast<std::uint32_t>(ramp.red.size()));
    for (const auto* channel : {&ramp.red, &ramp.green, &ramp.blue}) {
      out.append(reinterpret_cast<const char*>(channel->data()),
                 channel->size() * sizeof(unsigned short));
    }
  }
  return out;
}

std::optional<std::vector<GammaRamp>> GammaWatchdog::decode(std::string_view bytes,
                                                            std::size_t* used) {
  if (!bytes.starts_with(kMagic)) return std::nullopt;
  std::size_t at = kMagic.size();
  std::uint32_t count = 0;
  if (!take(bytes, at, count) || count > kMaxRamps) return std::nullopt;
  std::vector<GammaRamp> ramps(count);
  for (auto& ramp : ramps) {
    std::uint32_t size = 0;
    if (!take(bytes, at, ramp.crtc) || !take(bytes, at, size) || size > kMaxRampSize ||
        !takeChannel(bytes, at, size, ramp.red) || !takeChannel(bytes, at, size, ramp.green) ||
        !takeChannel(bytes, at, size, ramp.blue)) {
      return std::nullopt;
    }
  }
  if (used != nullptr) *used = at;
  return ramps;
}

std::unique_ptr<GammaWatchdog> GammaWatchdog::start(const std::string& displayName,
                                                    const std::vector<GammaRamp>& ramps) {
  const auto program = programPath();
  if (program.empty() || ::access(program.c_str(), X_OK) != 0) {
    log::line("Ombrel Remote: no " + std::string(kProgram) +
              " beside the program: a crash of the host while the privacy screen is on would "
              "leave the displays black");
    return nullptr;
  }
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    log::line(std::string("Ombrel Remote: cannot start the gamma watchdog: ") +
              std::strerror(errno));
    return nullptr;
  }
  const pid_t pid = spawn(program, displayName, ends[1]);
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    log::line(std::string("Ombrel Remote: cannot start the gamma watchdog: ") +
              std::strerror(-pid));
    return nullptr;
  }
  std::unique_ptr<GammaWatchdog> watchdog(new GammaWatchdog(pid, ends[0]));
  // Once sent, the ramps are safe in the socket even if the host dies the next moment.
  if (!sendAll(ends[0], encode(ramps))) {
    log::line("Ombrel Remote: the gamma watchdog did not take the saved ramps");
    return nullptr;
  }
  return watchdog;
}

GammaWatchdog::~GammaWatchdog() { standDown(); }

void GammaWatchdog::standDown() {
  if (socket_ < 0) return;
  sendAll(socket_, "S");
  // The watchdog's end closes as it exits. One that does not exit (stopped, stuck) must not
  // hold up the caller: the ramps are back, it has nothing left to do.
  pollfd end{socket_, POLLIN, 0};
  char byte = 0;
  if (::poll(&end, 1, kStandDownMs) <= 0 || ::recv(socket_, &byte, 1, MSG_DONTWAIT) != 0) {
    ::kill(pid_, SIGKILL);
  }
  ::close(socket_);
  socket_ = -1;
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace ombrel
