#include "Ombrel_Remote_Host/linux/dbus/linux_screen_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "base/log.h"

extern char** environ;

namespace ombrel {
namespace {

constexpr const char* logindName = "org.freedesktop.login1";
constexpr SdBus::Method getSession{logindName, "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", "GetSession"};
constexpr SdBus::Method getSessionByPID{logindName, "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager", "GetSessionByPID"};
constexpr SdBus::Method screenSaverGetActive{"org.freedesktop.ScreenSaver",
                                             "/org/freedesktop/ScreenSaver",
                                             "org.freedesktop.ScreenSaver", "GetActive"};
constexpr SdBus::Method screenSaverLock{"org.freedesktop.ScreenSaver",
                                        "/org/freedesktop/ScreenSaver",
                                        "org.freedesktop.ScreenSaver", "Lock"};

std::optional<std::string> readObjectPath(const SdBusMessage& reply) {
  const char* path = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) return std::nullopt;
  return std::string(path);
}

std::optional<bool> readBool(const SdBusMessage& reply, bool variant) {
  if (!reply) return std::nullopt;
  if (variant && sd_bus_message_enter_container(reply.get(), 'v', "b") < 0) return std::nullopt;
  int value = 0;
  if (sd_bus_message_read(reply.get(), "b", &value) < 0) return std::nullopt;
  return value != 0;
}

}  // namespace

LinuxScreenLock::LinuxScreenLock(Config config)
    : config_(std::move(config)),
      systemBus_(BusKind::system, config_.buses.systemBusAddress),
      sessionBus_(BusKind::session, config_.buses.sessionBusAddress) {
  if (!config_.sessionID) {
    const char* id = std::getenv("XDG_SESSION_ID");
    if (id && *id) config_.sessionID = id;
  }
}

std::optional<std::string> LinuxScreenLock::sessionPath() {
  SdBusError error;
  if (config_.sessionID) {
    return readObjectPath(systemBus_.call(
        getSession,
        [this](sd_bus_message* m) {
          return sd_bus_message_append(m, "s", config_.sessionID->c_str());
        },
        config_.callTimeout, error));
  }
  auto path = readObjectPath(systemBus_.call(
      getSessionByPID,
      [](sd_bus_message* m) {
        return sd_bus_message_append(m, "u", static_cast<std::uint32_t>(getpid()));
      },
      config_.callTimeout, error));
  if (path) return path;
  // A process started outside the session (a user service) still belongs to its user's
  // graphical session.
  SdBusError autoError;
  return readObjectPath(systemBus_.call(
      getSession, [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "auto"); },
      config_.callTimeout, autoError));
}

bool LinuxScreenLock::isLocked() {
  std::lock_guard lock(mutex_);
  if (auto path = sessionPath()) {
    SdBusError error;
    auto hint = readBool(systemBus_.call(
                             {logindName, path->c_str(), "org.freedesktop.DBus.Properties", "Get"},
                             [](sd_bus_message* m) {
                               return sd_bus_message_append(
                                   m, "ss", "org.freedesktop.login1.Session", "LockedHint");
                             },
                             config_.callTimeout, error),
                         true);
    if (hint.value_or(false)) return true;
  }
  SdBusError error;
  return readBool(sessionBus_.call(screenSaverGetActive, nullptr, config_.callTimeout, error),
                  false)
      .value_or(false);
}

ScreenLockMethod LinuxScreenLock::lock() {
  std::lock_guard lock(mutex_);
  if (auto path = sessionPath()) {
    SdBusError error;
    if (systemBus_.call({logindName, path->c_str(), "org.freedesktop.login1.Session", "Lock"},
                        nullptr, config_.callTimeout, error)) {
      log::line("Ombrel Remote: screen locked through logind");
      return ScreenLockMethod::logind;
    }
    log::line("Ombrel Remote: logind lock refused: " + error.describe(0));
  }
  SdBusError error;
  if (sessionBus_.call(screenSaverLock, nullptr, config_.callTimeout, error)) {
    log::line("Ombrel Remote: screen locked through the screensaver service");
    return ScreenLockMethod::screenSaver;
  }
  if (runLockCommand()) {
    log::line("Ombrel Remote: screen locked through xdg-screensaver");
    return ScreenLockMethod::xdgScreensaver;
  }
  log::line("Ombrel Remote: no way to lock the screen answered");
  return ScreenLockMethod::none;
}

bool LinuxScreenLock::runLockCommand() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string command = config_.xdgScreensaverCommand;
  std::string verb = "lock";
  char* argv[] = {command.data(), verb.data(), nullptr};
  pid_t pid = -1;
  int r = posix_spawnp(&pid, command.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) return false;

  // The command only talks to the desktop's locker; it has a few seconds.
  auto deadline = std::chrono::steady_clock::now() + config_.commandTimeout;
  int status = 0;
  while (true) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace ombrel
