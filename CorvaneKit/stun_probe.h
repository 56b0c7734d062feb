#pragma once

// One STUN Binding exchange over UDP: sends the request, retransmits it, and reports the
// server-reflexive address the server saw, or why there is none.
//
// States:
//   idle (created) -> started (resolving, connecting the UDP socket)
//   started -> waiting (request sent, retransmissions armed, receiving)
//   started | waiting -> finished (an address, `timeout`, `cancelled` or a network error)
//   idle -> finished (`cancel` before `start`)
// A finished probe stays finished: a later `start` reports `cancelled` at once.
//
// Timing: the deadline is armed at `start`, after the effective timeout (5 s when the given one
// is not finite, else clamped to 0.1 ... 30 s). Once the socket is ready the request goes out,
// and again 0.5, 1.5, 3.5, 7.5 and 15.5 s later, each only when it falls before the timeout.
// Every timer runs through the queue's clock. Datagrams that do not parse as the success
// response to this probe's transaction are ignored; a network error ends the probe.
//
// Threading: `start` and `cancel` only post onto the probe's queue, so they may be called from
// any thread. The completion is called exactly once, on the probe's queue. A started probe keeps
// itself alive until it has finished (the deadline holds it), so a caller need not hold it.

#include <asio/ip/udp.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneKit/stun.h"
#include "base/runtime.h"
#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

class STUNProbe : public std::enable_shared_from_this<STUNProbe> {
 public:
  using Completion = std::function<void(STUN::Result<STUN::Address>)>;

  static constexpr double defaultTimeout = 5;
  static constexpr double minimumTimeout = 0.1;
  static constexpr double maximumTimeout = 30;
  // Seconds after readiness at which the request is sent again.
  static constexpr std::array<double, 5> retransmissions = {0.5, 1.5, 3.5, 7.5, 15.5};

  // Null when `host` is empty or `port` is 0. The probe's queue ("corvane.stun.probe") and
  // its timers come from `runtime`.
  static std::shared_ptr<STUNProbe> create(std::string host, std::uint16_t port,
                                           Runtime& runtime = Runtime::shared());

  // The deadline a given timeout stands for.
  static double effectiveTimeout(double timeout);

  void start(double timeout, Completion completion);
  void cancel();

  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }
  const Bytes& transaction() const { return transaction_; }

  ~STUNProbe();

 private:
  using Socket = asio::ip::udp::socket;
  // Owned by the pending receive as well, so a late completion never writes into freed memory.
  struct Channel {
    explicit Channel(const SerialQueue::Executor& executor) : socket(executor) {}
    Socket socket;
    Bytes buffer;
  };

  STUNProbe(std::string host, std::uint16_t port, std::shared_ptr<SerialQueue> queue);

  void run(double timeout, Completion completion);
  void resolved(const std::error_code& error, const asio::ip::udp::resolver::results_type& found);
  void ready(double timeout);
  void send();
  void receive();
  void finish(STUN::Result<STUN::Address> result);

  const std::string host_;
  const std::uint16_t port_;
  const std::shared_ptr<SerialQueue> queue_;
  const Bytes transaction_;
  // Touched only on the queue.
  bool started_ = false;
  bool finished_ = false;
  Completion completion_;
  double timeout_ = defaultTimeout;
  std::optional<asio::ip::udp::resolver> resolver_;
  std::shared_ptr<Channel> channel_;
  std::shared_ptr<Timer> deadline_;
  std::vector<std::shared_ptr<Timer>> resends_;
};

}  // namespace ombrel
