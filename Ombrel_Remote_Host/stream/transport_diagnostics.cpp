#include "Ombrel_Remote_Host/stream/transport_diagnostics.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ombrel {
namespace {

// Shortest round-trip text, with ".0" on whole numbers so every field reads as a decimal.
std::string decimal(double value) {
  if (!std::isfinite(value)) return "0.0";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return "0.0";
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

bool TransportDiagnostics::enabled() {
  const char* value = std::getenv("OMBREL_TRANSPORT_DIAGNOSTICS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::optional<TransportDiagnostics::Report> TransportDiagnostics::collect(int fd, double now) {
  tcp_info info;
  std::memset(&info, 0, sizeof info);
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  Reading reading{now, info.tcpi_bytes_sent, info.tcpi_bytes_retrans};
  std::optional<Reading> previous = previous_;
  previous_ = reading;
  if (!previous) return std::nullopt;
  Report report;
  report.interval = now - previous->time;
  report.tcpRttMs = info.tcpi_rtt / 1000.0;  // microseconds
  report.sentBytes = reading.sent - previous->sent;
  report.retransmittedBytes = reading.retransmitted - previous->retransmitted;
  return report;
}

std::string TransportDiagnostics::line(double wallSeconds, double clientRttMs, const Report& report,
                                       std::int64_t pendingBytes) {
  return "OMBREL_TRANSPORT wall=" + decimal(wallSeconds) +
         " client_rtt_ms=" + decimal(clientRttMs) + " interval_s=" + decimal(report.interval) +
         " tcp_rtt_ms=" + decimal(report.tcpRttMs) +
         " retransmitted_bytes=" + std::to_string(report.retransmittedBytes) +
         " sent_bytes=" + std::to_string(report.sentBytes) +
         " duplicate_bytes=" + std::to_string(report.duplicateBytes) +
         " app_pending_bytes=" + std::to_string(pendingBytes);
}

void TransportDiagnostics::print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace ombrel
