#pragma once

// The socket settings every TCP connection of the product uses, client or host side
// (NVConnection::tcpParameters() returns the standard set).

#include <cstdint>

namespace ombrel {

struct TCPParameters {
  // Frames are small and latency-bound: never wait to coalesce them.
  bool noDelay = true;
  // Dead peers are found within about 35 s (15 s idle, then 4 probes 5 s apart).
  bool keepAlive = true;
  int keepAliveIdle = 15;     // seconds
  int keepAliveInterval = 5;  // seconds
  int keepAliveCount = 4;
  // Seconds from start until an outbound connection must be established.
  double connectionTimeout = 10;
  // The stream is encrypted by the connection itself.
  bool tls = false;
  // Differentiated-services code point for interactive video: AF41 (34). The stream is
  // rate-adaptive interactive video, which RFC 4594 files under multimedia conferencing
  // (AF4x) rather than the inelastic real-time interactive class (CS4); AF41 also lands in
  // the WMM video access category on Wi-Fi. Written as IP_TOS (IPv4) or IPV6_TCLASS (IPv6),
  // DSCP in the upper six bits.
  std::uint8_t dscp = 34;

  std::uint8_t trafficClass() const { return static_cast<std::uint8_t>(dscp << 2); }
};

}  // namespace ombrel
