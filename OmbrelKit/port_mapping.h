#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"

namespace ombrel {

// The wire pieces of router port mapping: NAT-PMP (RFC 6886) messages and UPnP IGD control
// (SSDP search and answers, the device description, SOAP envelopes and replies, a minimal
// HTTP/1.1 response reader). Pure functions over values; the sockets, deadlines and the
// mapper's state machine live in the host (reachability/).
//
// Everything parsed here comes from the LAN, and anything on the LAN may answer an SSDP search,
// so every reader bounds its input (the limits below), runs in time linear in it, never
// recurses and never allocates more than a small multiple of what it was given.
namespace PortMapping {

// The most a UDP receive takes (NAT-PMP answers, SSDP answers).
inline constexpr std::size_t maxDatagramSize = 2048;
// The most an HTTP response (description or SOAP reply) may hold, head included.
inline constexpr std::size_t maxHTTPResponseSize = 131'072;
// TCP reads go in slices of this size.
inline constexpr std::size_t readSliceSize = 8192;

using IPv4 = std::array<std::uint8_t, 4>;

// Trims whitespace and newlines, then needs exactly four dot-separated parts of one to three
// ASCII digits, each 0 to 255.
std::optional<IPv4> parseIPv4(std::string_view text);
// The decimal bytes joined with ".".
std::string formatIPv4(ByteView bytes);
// 10/8, 127/8, 169.254/16, 172.16/12, 192.168/16. The byte form needs exactly four bytes; the
// text form answers false when the text does not parse.
bool isLocalIPv4(ByteView bytes);
bool isLocalIPv4(std::string_view text);
// Anything routable on the internet: not 0/8, 10/8, 127/8, 224/3 and up, 100.64/10,
// 169.254/16, 172.16/12, 192.0.0/24, 192.0.2/24, 192.88.99/24, 192.168/16, 198.18/15,
// 198.51.100/24, 203.0.113/24. Same byte and text forms as isLocalIPv4.
bool isPublicIPv4(ByteView bytes);
bool isPublicIPv4(std::string_view text);

// Strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF). Discovery skips
// SSDP answers and description bodies that fail it.
bool isUTF8(ByteView bytes);

struct HTTPResponse {
  int status = 0;
  Bytes body;
  bool operator==(const HTTPResponse&) const = default;
};

// One HTTP/1.1 request: method, path, Host host:port, Connection: close, Content-Length, each
// of `headers` as its own line, the blank line and the body.
std::string httpRequest(std::string_view method, std::string_view host, std::uint16_t port,
                        std::string_view path, const std::vector<std::string>& headers,
                        std::string_view body);

// A whole response read until the peer closed: status line "HTTP/1.x <code> ...", headers, body
// de-chunked ("transfer-encoding" containing "chunked" in any case) or cut to
// "content-length". Nothing for a missing head end, a head that is not UTF-8, a bad status
// line, a malformed chunked body, a negative or unmet content length, or more than
// maxHTTPResponseSize bytes.
std::optional<HTTPResponse> parseHTTPResponse(ByteView bytes);

namespace NATPMP {

inline constexpr std::uint16_t port = 5351;
inline constexpr std::uint8_t opExternalAddress = 0;
inline constexpr std::uint8_t opMapUDP = 1;
inline constexpr std::uint8_t opMapTCP = 2;
// parse looks at no more than this many bytes of a datagram.
inline constexpr std::size_t maxResponseSize = 16;

struct ExternalAddress {
  std::uint16_t result = 0;
  std::uint32_t epoch = 0;
  // Four bytes when result is 0, empty otherwise.
  Bytes address;
  bool operator==(const ExternalAddress&) const = default;
};

struct Mapping {
  std::uint16_t result = 0;
  std::uint32_t epoch = 0;
  std::uint8_t opcode = 0;
  // Ports and lifetime are zero when result is not 0.
  std::uint16_t internalPort = 0;
  std::uint16_t externalPort = 0;
  std::uint32_t lifetime = 0;
  bool operator==(const Mapping&) const = default;
};

// An answer from the router: `externalAddress` or `mapping`.
struct Response {
  std::variant<ExternalAddress, Mapping> value;

  // The result code of either case.
  std::uint16_t resultCode() const;
  const ExternalAddress* externalAddress() const { return std::get_if<ExternalAddress>(&value); }
  const Mapping* mapping() const { return std::get_if<Mapping>(&value); }

  bool operator==(const Response&) const = default;
};

// The two bytes 0, 0.
Bytes externalAddressRequest();
// Twelve bytes: version 0, opcode 2, two zero bytes, then the ports and lifetime big-endian.
// Internal port with external port 0 and lifetime 0 asks for the mapping's removal.
Bytes mapTCPRequest(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lifetime);
// Nothing unless the datagram is an answer (version 0, high bit of the opcode set) of at least
// 8 bytes, with the bytes its case and result need; opcodes other than 0, 1, 2 yield nothing.
std::optional<Response> parse(ByteView datagram);
// Whether `response` answers a request whose opcode (its byte 1) is `requestOpcode`: an
// external address answers opcode 0, a mapping answers its own opcode. Others are ignored.
bool answers(const Response& response, std::uint8_t requestOpcode);

}  // namespace NATPMP

namespace UPnP {

// The WAN connection services tried, in order of preference, after servicePrefix.
inline constexpr std::array<std::string_view, 3> wanServices = {
    "WANIPConnection:2", "WANIPConnection:1", "WANPPPConnection:1"};
inline constexpr std::string_view servicePrefix = "urn:schemas-upnp-org:service:";
// The two search targets sent, in this order.
inline constexpr std::array<std::string_view, 2> searchTargets = {
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
    "urn:schemas-upnp-org:device:InternetGatewayDevice:2"};
inline constexpr std::string_view ssdpHost = "239.255.255.250";
inline constexpr std::uint16_t ssdpPort = 1900;
// Documents larger than this (a description or a SOAP body) are not searched: tag and
// controlURL answer nothing for them.
inline constexpr std::size_t maxDocumentSize = maxHTTPResponseSize;
// tag takes a longer namespace prefix for something else. Real prefixes are a few letters; the
// bound keeps the search for the closing tag linear in the document.
inline constexpr std::size_t maxPrefixLength = 64;

// The parts of an http URL whose host is an IPv4 literal.
struct URLParts {
  std::string host;
  std::uint16_t port = 80;
  std::string path;  // begins with "/"
  bool operator==(const URLParts&) const = default;
};

// A control point of a WAN connection service found in a router's description.
struct Router {
  std::string host;  // dotted IPv4, as written in the description's location
  std::uint16_t port = 0;
  std::string controlPath;  // begins with "/"
  std::string service;  // full service type, e.g. "urn:schemas-upnp-org:service:WANIPConnection:1"
  bool operator==(const Router&) const = default;
};

// The M-SEARCH datagram. `target` is the SSDP host and port as "host:port", e.g.
// "239.255.255.250:1900"; `searchTarget` goes in the ST line.
std::string searchRequest(std::string_view target, std::string_view searchTarget);

// The LOCATION of an SSDP answer (the first line whose name, trimmed of spaces and lower-cased,
// is "location"), or nothing when that value is not an http URL on the responder's own address
// or the responder is not a local IPv4 address. Answers longer than maxDatagramSize yield nothing.
std::optional<std::string> location(std::string_view answer, std::string_view responder);

// "http://" in any case, an authority without "@" of an IPv4 literal and an optional port 1 to
// 65535 (80 when absent), and a path without whitespace ("/" when absent).
std::optional<URLParts> splitURL(std::string_view url);

// The text of the first element `name` (with or without a namespace prefix, without
// attributes) that has a matching closing tag; entities unescaped, trimmed. Nothing when there
// is none, when `name` is empty or when `document` is larger than maxDocumentSize.
std::optional<std::string> tag(std::string_view document, std::string_view name);

// The controlURL element of the first <service> block whose serviceType is servicePrefix +
// `service`, exactly as written there (absolute or relative).
std::optional<std::string> controlURL(std::string_view description, std::string_view service);

// The control point for the first of wanServices the description offers, resolved against the
// description's own location: an absolute control URL must name the same host (its port and
// path are used); a relative one is taken on the description's host and port, with a leading
// "/" added when missing, and must contain no whitespace.
std::optional<Router> router(std::string_view description, const URLParts& descriptionLocation);

// Escapes &, <, > and " for element text; apostrophes are left as they are.
std::string escape(std::string_view text);

using Arguments = std::vector<std::pair<std::string, std::string>>;

// The SOAP 1.1 envelope for `action` of `serviceType`, each argument an element holding its
// escaped value, in order, with no whitespace added.
std::string soapBody(std::string_view action, std::string_view serviceType,
                     const Arguments& arguments);

// The headers a SOAP POST carries after Host, Connection and Content-Length: the content type
// and the SOAPAction naming serviceType#action.
std::vector<std::string> soapHeaders(std::string_view action, std::string_view serviceType);

// A refused action. description(): action + " failed", and " (UPnP error <code>)" with a code.
struct SOAPFault {
  std::string action;
  std::optional<int> code;
  std::string description() const;
  bool operator==(const SOAPFault&) const = default;
};

// What a parsed SOAP reply means: on status 200 the body as text (empty when it is not UTF-8);
// on any other status the fault, with the decimal errorCode element of the body when present.
std::variant<std::string, SOAPFault> soapReply(std::string_view action,
                                               const HTTPResponse& response);

}  // namespace UPnP

}  // namespace PortMapping

}  // namespace ombrel
