#pragma once

// A home network in three network namespaces for the port mapper's tests: a LAN with the host
// (192.168.77.2), a router between the LAN (192.168.77.1) and a WAN side (203.0.114.1; miniupnpd
// refuses documentation and reserved ranges, so an ordinary-looking address that exists only
// here), and a WAN peer (203.0.114.2). The router forwards, carries the nftables table
// miniupnpd's chains hang from and, on request, runs miniupnpd. Nothing leaves the namespaces.
// Needs root, ip, nft and miniupnpd.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/wake_namespaces.h"

namespace ombrel::test {

inline constexpr const char* routerLAN = "192.168.77.1";
inline constexpr const char* wanAddress = "203.0.114.1";

// What a shell command prints.
inline std::string capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The namespaces, the router's nftables table and, on request, miniupnpd.
class RouterLab {
 public:
  RouterLab() {
    static int counter = 0;
    const std::string id = std::to_string(getpid()) + "-" + std::to_string(++counter);
    lan = "ombrel-pm-lan-" + id;
    router = "ombrel-pm-rtr-" + id;
    wan = "ombrel-pm-wan-" + id;
    const std::string tag = std::to_string(getpid() % 100000) + std::to_string(counter);
    const std::string l0 = "pl" + tag, rl = "prl" + tag, w0 = "pw" + tag, rw = "prw" + tag;
    routerWAN_ = rw;
    dir_ = std::filesystem::temp_directory_path() / ("ombrel-pm-" + id);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "table.nft") << R"(table inet filter {
  chain forward {
    type filter hook forward priority 0; policy accept;
    jump miniupnpd
  }
  chain miniupnpd {
  }
  chain prerouting {
    type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting {
    type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
  }
  chain prerouting_miniupnpd {
  }
  chain postrouting_miniupnpd {
  }
}
)";
    ok_ = run({"ip", "netns", "add", lan}) && run({"ip", "netns", "add", router}) &&
          run({"ip", "netns", "add", wan}) &&
          run({"ip", "-n", lan, "link", "add", l0, "type", "veth", "peer", "name", rl, "netns",
               router}) &&
          run({"ip", "-n", wan, "link", "add", w0, "type", "veth", "peer", "name", rw, "netns",
               router}) &&
          run({"ip", "-n", lan, "addr", "add", "192.168.77.2/24", "dev", l0}) &&
          run({"ip", "-n", router, "addr", "add", "192.168.77.1/24", "dev", rl}) &&
          run({"ip", "-n", router, "addr", "add", "203.0.114.1/24", "dev", rw}) &&
          run({"ip", "-n", wan, "addr", "add", "203.0.114.2/24", "dev", w0}) &&
          run({"ip", "-n", lan, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", router, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", wan, "link", "set", "lo", "up"}) &&
          run({"ip", "-n", lan, "link", "set", l0, "up"}) &&
          run({"ip", "-n", router, "link", "set", rl, "up"}) &&
          run({"ip", "-n", router, "link", "set", rw, "up"}) &&
          run({"ip", "-n", wan, "link", "set", w0, "up"}) &&
          run({"ip", "-n", lan, "route", "add", "default", "via", routerLAN}) &&
          run({"ip", "netns", "exec", router, "sysctl", "-w", "net.ipv4.ip_forward=1"}) &&
          run({"ip", "netns", "exec", router, "nft", "-f", (dir_ / "table.nft").string()});
  }

  ~RouterLab() {
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      waitpid(daemon_, nullptr, 0);
    }
    run({"ip", "netns", "del", lan});
    run({"ip", "netns", "del", router});
    run({"ip", "netns", "del", wan});
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  bool ok() const { return ok_; }

  // The first program the lab needs that is not installed.
  static std::optional<std::string> missingTool() {
    for (const char* program : {"ip", "nft", "miniupnpd"})
      if (!run({"sh", "-c", std::string("command -v ") + program})) return program;
    return std::nullopt;
  }

  // Its HTTP (description and control) port.
  static constexpr std::uint16_t httpPort = 5000;

  // Starts miniupnpd on the router and waits until it listens. Without secure mode any LAN
  // client may map ports to (and delete those of) any other.
  bool startMiniupnpd(bool natpmp, bool secure = true) {
    std::ofstream(dir_ / "miniupnpd.conf")
        << "ext_ifname=" << routerWAN_ << "\nlistening_ip=192.168.77.1\nhttp_port=" << httpPort
        << "\n"
        << "enable_natpmp=" << (natpmp ? "yes" : "no") << "\nenable_upnp=yes\n"
        << "secure_mode=" << (secure ? "yes" : "no") << "\nsystem_uptime=yes\n"
        << "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07d\n"
        << "allow 1024-65535 192.168.77.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n";
    const std::string conf = (dir_ / "miniupnpd.conf").string(), log = logPath();
    const std::string pid = (dir_ / "miniupnpd.pid").string();
    std::vector<std::string> args = {"ip", "netns", "exec", router, "miniupnpd",
                                     "-d", "-f",    conf,   "-P",   pid};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawnp(&daemon_, "ip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    const char* ready = natpmp ? "Listening for NAT-PMP" : "HTTP listening on port";
    for (int i = 0; i < 200; ++i) {
      if (daemonLog().find(ready) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string daemonLog() const {
    std::ifstream file(logPath());
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
  }

  // The DNAT rules miniupnpd keeps on the router.
  std::string natRules() const {
    return capture("ip netns exec " + router +
                   " nft list chain inet filter prerouting_miniupnpd 2>&1");
  }

  std::string lan, router, wan;

 private:
  std::string logPath() const { return (dir_ / "miniupnpd.log").string(); }

  std::filesystem::path dir_;
  std::string routerWAN_;
  pid_t daemon_ = -1;
  bool ok_ = false;
};

// A TCP connection opened from namespace `ns` (the WAN peer) to the router's WAN address and
// `port`, or -1. The descriptor works from any thread; receives time out after 10 seconds.
inline int connectFrom(const std::string& ns, std::uint16_t port) {
  int fd = -1;
  std::thread peer([&] {
    if (!enterNamespace(ns)) return;
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{.tv_sec = 10, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, wanAddress, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(fd);
      fd = -1;
    }
  });
  peer.join();
  return fd;
}

// Moves the calling thread into a namespace and back out when it goes.
class InNamespace {
 public:
  explicit InNamespace(const std::string& ns)
      : home_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    entered_ = home_ >= 0 && enterNamespace(ns);
  }
  ~InNamespace() {
    if (entered_) setns(home_, CLONE_NEWNET);
    if (home_ >= 0) close(home_);
  }
  bool entered() const { return entered_; }

 private:
  int home_;
  bool entered_ = false;
};

}  // namespace ombrel::test
