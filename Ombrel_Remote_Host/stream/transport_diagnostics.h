#pragma once

// Transport diagnostics for tuning the stream: when OMBREL_TRANSPORT_DIAGNOSTICS=1, each
// clientStats of a TCP session prints one line to standard output with the kernel's view of the
// socket (TCP_INFO) over the interval since the previous one. The first report only takes the
// starting reading.
//
// Threading: one instance per session, used on its connection queue.

#include <cstdint>
#include <optional>
#include <string>

namespace ombrel {

class TransportDiagnostics {
 public:
  struct Report {
    double interval = 0;  // seconds since the previous reading
    double tcpRttMs = 0;  // smoothed RTT
    std::uint64_t retransmittedBytes = 0;
    std::uint64_t sentBytes = 0;
    // Linux keeps no count of duplicate bytes on the sending side; reported as 0.
    std::uint64_t duplicateBytes = 0;
  };

  // True when the environment variable equals "1".
  static bool enabled();

  // Reads TCP_INFO of `fd` at `now` (seconds, monotonic) and returns the interval since the
  // previous reading; nothing on the first reading or when the socket cannot be read.
  std::optional<Report> collect(int fd, double now);

  // "OMBREL_TRANSPORT wall=... client_rtt_ms=... interval_s=... tcp_rtt_ms=...
  //  retransmitted_bytes=... sent_bytes=... duplicate_bytes=... app_pending_bytes=..."
  static std::string line(double wallSeconds, double clientRttMs, const Report& report,
                          std::int64_t pendingBytes);

  // Writes the line and a newline to standard output and flushes.
  static void print(const std::string& line);

 private:
  struct Reading {
    double time = 0;
    std::uint64_t sent = 0;
    std::uint64_t retransmitted = 0;
  };
  std::optional<Reading> previous_;
};

}  // namespace ombrel
