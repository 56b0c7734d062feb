#pragma once

// Two network namespaces joined by a veth pair, for tests that send Wake-on-LAN broadcasts:
// nothing they send can reach a real interface. Needs root and `ip netns`.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

extern char** environ;

namespace ombrel::test {

// Runs a program and tells whether it exited with 0.
inline bool run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Two namespaces joined by a veth pair: the sender's side 10.250.0.1/24 (broadcast
// 10.250.0.255) with its default route on the link, the receiver's 10.250.0.2/24.
class WakeNamespaces {
 public:
  WakeNamespaces() {
    const std::string id = std::to_string(getpid());
    sender = "ombrel-wol-s-" + id;
    receiver = "ombrel-wol-r-" + id;
    const std::string a = "owa" + id, b = "owb" + id;
    ok_ = run({"ip", "netns", "add", sender}) && run({"ip", "netns", "add", receiver}) &&
          run({"ip", "-n", sender, "link", "add", a, "type", "veth", "peer", "name", b, "netns",
               receiver}) &&
          run({"ip", "-n", sender, "addr", "add", "10.250.0.1/24", "brd", "+", "dev", a}) &&
          run({"ip", "-n", receiver, "addr", "add", "10.250.0.2/24", "brd", "+", "dev", b}) &&
          run({"ip", "-n", sender, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", receiver, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", sender, "link", "set", a, "up"}) &&
          run({"ip", "-n", receiver, "link", "set", b, "up"}) &&
          run({"ip", "-n", sender, "route", "add", "default", "dev", a});
  }
  ~WakeNamespaces() {
    run({"ip", "netns", "del", sender});
    run({"ip", "netns", "del", receiver});
  }
  bool ok() const { return ok_; }

  std::string sender, receiver;

 private:
  bool ok_ = false;
};

// Moves the calling thread (and every thread and process it starts afterwards) into the
// network namespace `ns`. False, and nothing changed, when that fails.
inline bool enterNamespace(const std::string& ns) {
  const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool entered = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return entered;
}

// A forked child inside a namespace. Its body gets a descriptor to signal readiness on
// and returns a trivially copyable result, which comes back through a pipe.
struct NamespaceChild {
  pid_t pid = -1;
  int resultFd = -1;
  int readyFd = -1;
};

template <typename Body>
NamespaceChild startIn(const std::string& ns, Body body) {
  int out[2], ready[2];
  if (pipe(out) != 0) return {};
  if (pipe(ready) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    close(ready[0]);
    // Never run the body in the test's own namespace: it may broadcast.
    if (!enterNamespace(ns)) _exit(1);
    const auto result = body(ready[1]);
    if (write(out[1], &result, sizeof result) != sizeof result) _exit(1);
    _exit(0);
  }
  close(out[1]);
  close(ready[1]);
  return {pid, out[0], ready[0]};
}

// Waits until the child signalled readiness (or ended).
inline bool waitReady(const NamespaceChild& child) {
  pollfd p{.fd = child.readyFd, .events = POLLIN};
  char byte;
  return poll(&p, 1, 5000) > 0 && read(child.readyFd, &byte, 1) == 1;
}

template <typename Result>
std::optional<Result> finish(const NamespaceChild& child) {
  if (child.pid < 0) return std::nullopt;
  Result result{};
  const bool got = read(child.resultFd, &result, sizeof result) == sizeof result;
  close(child.resultFd);
  close(child.readyFd);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

template <typename Result, typename Body>
std::optional<Result> runIn(const std::string& ns, Body body) {
  return finish<Result>(startIn(ns, body));
}

struct Received {
  int port9 = 0;
  int port7 = 0;
  int toLimitedBroadcast = 0;  // sent to 255.255.255.255
};

// Counts the magic packets equal to `expected` on UDP ports 9 and 7 until half a second
// passes without one.
inline Received countMagicPackets(int readyFd, const Bytes& expected) {
  Received r;
  int sockets[2];
  const uint16_t ports[2] = {9, 7};
  for (int i = 0; i < 2; ++i) {
    sockets[i] = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(sockets[i], IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(ports[i]);
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sockets[i], reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return {-1, -1, -1};
  }
  if (write(readyFd, "r", 1) != 1) return {-1, -1, -1};
  pollfd p[2] = {{.fd = sockets[0], .events = POLLIN}, {.fd = sockets[1], .events = POLLIN}};
  while (poll(p, 2, 500) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      uint8_t buffer[512];
      alignas(cmsghdr) char control[256];
      iovec io{.iov_base = buffer, .iov_len = sizeof buffer};
      msghdr m{};
      m.msg_iov = &io;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(sockets[i], &m, 0);
      if (n != static_cast<ssize_t>(expected.size()) ||
          !std::equal(expected.begin(), expected.end(), buffer)) {
        continue;
      }
      (i == 0 ? r.port9 : r.port7)++;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          const auto* info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
          if (info->ipi_addr.s_addr == htonl(INADDR_BROADCAST)) r.toLimitedBroadcast++;
        }
      }
    }
  }
  return r;
}

}  // namespace ombrel::test
