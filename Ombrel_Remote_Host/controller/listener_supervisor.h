#pragma once

// The host's listener and its Bonjour advertisement, kept alive by the retry rule:
//   starting -> ready         "等待連線（埠 N）", the port advertised over Bonjour
//   starting -> failed        "監聽失敗：" + reason; the same port again after 2 s, up to 15
//                             times, then any free port (a failure on port 0 is final)
//   any -> off                `stopWith(status)`: port 0 and the given status
// The advertisement never decides the listener's fate: without an mDNS daemon the listener keeps
// serving and `bonjourStatus` says why nobody finds it.
//
// The owner hears of every change through the callbacks, on the main queue, after the value
// changed. Threading: main queue; the listener and the advertiser report on their own threads
// and hop here. Their callbacks hold the supervisor weakly and the main queue too, so a
// collaborator that outlives the runtime never keeps a queue past its io_context.

#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "Ombrel_Remote_Host/controller/host_listener.h"
#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"
#include "base/runtime.h"
#include "base/timer.h"

namespace ombrel {

class ListenerSupervisor : public std::enable_shared_from_this<ListenerSupervisor> {
 public:
  static constexpr double retryDelay = 2.0;
  static constexpr int retries = 15;

  // `port` is the one asked for first (0: any free port); `hostID` goes into the advertisement.
  static std::shared_ptr<ListenerSupervisor> create(Runtime& runtime,
                                                    std::shared_ptr<BonjourAdvertiser> advertiser,
                                                    std::string hostID, std::uint16_t port);
  ListenerSupervisor(const ListenerSupervisor&) = delete;
  ListenerSupervisor& operator=(const ListenerSupervisor&) = delete;

  // `status()` changed, or it stayed and a retry was armed behind it.
  std::function<void()> onStatus;
  std::function<void()> onPort;
  // The port others reach moved (after the advertisement followed it): the router mapping and
  // the advertised addresses follow too.
  std::function<void()> onReach;
  std::function<void()> onBonjourStatus;
  std::function<void(asio::ip::tcp::socket socket, std::string remoteIP)> onConnection;

  // Starts a listener on the configured port unless one runs or waits for its retry.
  void start();
  // Stops the listener, any retry and the advertisement; the published values stay.
  void stop();
  // Stops, and shows port 0 with `status`.
  void stopWith(std::string status);
  // Stops for good: nothing is reported afterwards.
  void shutdown();

  const std::string& status() const { return status_; }
  std::uint16_t port() const { return port_; }
  const BonjourStatus& bonjourStatus() const { return bonjourStatus_; }
  // The attempt on the requested port (0 for the first), and whether a retry waits.
  int attempt() const { return attempt_; }
  bool retryPending() const { return retry_ != nullptr; }

 private:
  ListenerSupervisor(Runtime& runtime, std::shared_ptr<BonjourAdvertiser> advertiser,
                     std::string hostID, std::uint16_t port);
  void listen(std::uint16_t port, int attempt);
  void ready(std::uint16_t port);
  void failed(const std::shared_ptr<HostListener>& listener, std::uint16_t port, int attempt,
              std::error_code error);
  static void tell(const std::function<void()>& callback) {
    if (callback) callback();
  }

  Runtime& runtime_;
  const std::shared_ptr<SerialQueue> mainQueue_;
  const std::shared_ptr<BonjourAdvertiser> advertiser_;
  const std::string hostID_;
  const std::uint16_t requestedPort_;

  // Main queue.
  std::string status_ = "啟動中…";
  std::uint16_t port_ = 0;
  BonjourStatus bonjourStatus_;
  std::shared_ptr<HostListener> listener_;
  std::shared_ptr<Timer> retry_;
  int attempt_ = 0;
  bool shutDown_ = false;
};

}  // namespace ombrel
