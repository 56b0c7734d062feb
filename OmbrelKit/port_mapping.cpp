#include "OmbrelKit/port_mapping.h"

#include <algorithm>
#include <limits>

#include "OmbrelKit/byte_codec.h"

namespace ombrel::PortMapping {

namespace {

constexpr std::uint8_t byteAt(std::string_view text, std::size_t i) {
  return static_cast<std::uint8_t>(text[i]);
}

// Length of the Unicode whitespace or newline character (White_Space) starting at `i`, or 0.
std::size_t whitespaceAt(std::string_view s, std::size_t i) {
  const std::uint8_t c = byteAt(s, i);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c == 0xC2 && i + 1 < s.size()) {
    const std::uint8_t d = byteAt(s, i + 1);
    return d == 0x85 || d == 0xA0 ? 2 : 0;  // NEL, NO-BREAK SPACE
  }
  if (i + 2 >= s.size()) return 0;
  const std::uint8_t d = byteAt(s, i + 1), e = byteAt(s, i + 2);
  if (c == 0xE1 && d == 0x9A && e == 0x80) return 3;  // OGHAM SPACE MARK
  if (c == 0xE2 && d == 0x80 && (e <= 0x8A || e == 0xA8 || e == 0xA9 || e == 0xAF)) return 3;
  if (c == 0xE2 && d == 0x81 && e == 0x9F) return 3;  // MEDIUM MATHEMATICAL SPACE
  if (c == 0xE3 && d == 0x80 && e == 0x80) return 3;  // IDEOGRAPHIC SPACE
  return 0;
}

// Length of the newline character (LF, VT, FF, CR, NEL, LS, PS) starting at `i`, or 0.
std::size_t newlineAt(std::string_view s, std::size_t i) {
  const std::uint8_t c = byteAt(s, i);
  if (c >= '\n' && c <= '\r') return 1;
  if (c == 0xC2 && i + 1 < s.size() && byteAt(s, i + 1) == 0x85) return 2;
  if (c == 0xE2 && i + 2 < s.size() && byteAt(s, i + 1) == 0x80 &&
      (byteAt(s, i + 2) == 0xA8 || byteAt(s, i + 2) == 0xA9)) {
    return 3;
  }
  return 0;
}

bool containsWhitespace(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (whitespaceAt(s, i) != 0) return true;
  }
  return false;
}

std::string_view trimWhitespace(std::string_view s) {
  std::size_t start = 0;
  while (start < s.size()) {
    const std::size_t n = whitespaceAt(s, start);
    if (n == 0) break;
    start += n;
  }
  s.remove_prefix(start);
  // A whitespace character is at most three bytes: look at the tail's last one, two, three.
  for (bool trimmed = true; trimmed && !s.empty();) {
    trimmed = false;
    for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
      if (whitespaceAt(s, s.size() - n) == n) {
        s.remove_suffix(n);
        trimmed = true;
        break;
      }
    }
  }
  return s;
}

std::string_view trimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string lowercased(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && lowercased(s.substr(0, prefix.size())) == prefix;
}

int digitValue(char c, int radix) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < radix ? v : -1;
}

// An optionally signed integer of digits in `radix` that fits in 64 bits; nothing otherwise.
std::optional<std::int64_t> parseInteger(std::string_view s, int radix) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulated as a negative number so that the minimum fits.
  std::int64_t value = 0;
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  for (char c : s) {
    const int d = digitValue(c, radix);
    if (d < 0) return std::nullopt;
    if (value < (lowest + d) / radix) return std::nullopt;
    value = value * radix - d;
  }
  if (negative) return value;
  if (value == lowest) return std::nullopt;
  return -value;
}

std::optional<int> parseInt(std::string_view s) {
  const auto value = parseInteger(s, 10);
  if (!value || *value < std::numeric_limits<int>::min() ||
      *value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

std::string_view textOf(ByteView bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
    out.append(s, pos, hit - pos);
    out.append(to);
  }
  out.append(s, pos);
  s = std::move(out);
}

std::optional<Bytes> dechunk(ByteView body) {
  const std::string_view text = textOf(body);
  Bytes out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", pos);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view line = text.substr(pos, end - pos);
    if (std::any_of(line.begin(), line.end(), [](char c) { return c & 0x80; })) {
      return std::nullopt;
    }
    line = trimSpaces(line.substr(0, line.find(';')));
    const auto size = parseInteger(line, 16);
    if (!size || *size < 0) return std::nullopt;
    pos = end + 2;
    if (*size == 0) return out;
    const auto length = static_cast<std::uint64_t>(*size);
    if (text.size() - pos < length || text.size() - pos - length < 2 ||
        text.substr(pos + length, 2) != "\r\n") {
      return std::nullopt;
    }
    out.insert(out.end(), body.begin() + pos, body.begin() + pos + length);
    pos += length + 2;
  }
}

std::uint16_t be16(ByteView b, std::size_t i) {
  return static_cast<std::uint16_t>(b[i] << 8 | b[i + 1]);
}

std::uint32_t be32(ByteView b, std::size_t i) { return readU32BE(b.data() + i); }

}  // namespace

std::optional<IPv4> parseIPv4(std::string_view text) {
  text = trimWhitespace(text);
  IPv4 out{};
  std::size_t part = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view piece =
        text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
    if (part == 4 || piece.empty() || piece.size() > 3) return std::nullopt;
    int value = 0;
    for (char c : piece) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    out[part++] = static_cast<std::uint8_t>(value);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (part != 4) return std::nullopt;
  return out;
}

std::string formatIPv4(ByteView bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out += '.';
    out += std::to_string(bytes[i]);
  }
  return out;
}

bool isLocalIPv4(ByteView b) {
  if (b.size() != 4) return false;
  return b[0] == 10 || b[0] == 127 || (b[0] == 169 && b[1] == 254) ||
         (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168);
}

bool isLocalIPv4(std::string_view text) {
  const auto bytes = parseIPv4(text);
  return bytes && isLocalIPv4(ByteView(*bytes));
}

bool isPublicIPv4(ByteView b) {
  if (b.size() != 4) return false;
  const auto is = [&](int a0, int a1, int a2) { return b[0] == a0 && b[1] == a1 && b[2] == a2; };
  if (b[0] == 0 || b[0] == 10 || b[0] == 127 || b[0] > 223) return false;
  if (b[0] == 100 && (b[1] & 0xC0) == 64) return false;
  if ((b[0] == 169 && b[1] == 254) || (b[0] == 172 && (b[1] & 0xF0) == 16)) return false;
  if (is(192, 0, 0) || is(192, 0, 2) || is(192, 88, 99) || (b[0] == 192 && b[1] == 168)) {
    return false;
  }
  if ((b[0] == 198 && (b[1] & 0xFE) == 18) || is(198, 51, 100) || is(203, 0, 113)) return false;
  return true;
}

bool isPublicIPv4(std::string_view text) {
  const auto bytes = parseIPv4(text);
  return bytes && isPublicIPv4(ByteView(*bytes));
}

bool isUTF8(ByteView b) {
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t c = b[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t n;
    std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (b.size() - i <= n) return false;
    if (b[i + 1] < low || b[i + 1] > high) return false;
    for (std::size_t k = 2; k <= n; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

std::string httpRequest(std::string_view method, std::string_view host, std::uint16_t port,
                        std::string_view path, const std::vector<std::string>& headers,
                        std::string_view body) {
  std::string out;
  out.append(method).append(" ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  out.append(":").append(std::to_string(port)).append("\r\nConnection: close\r\nContent-Length: ");
  out.append(std::to_string(body.size())).append("\r\n");
  for (const std::string& header : headers) out.append(header).append("\r\n");
  out.append("\r\n").append(body);
  return out;
}

std::optional<HTTPResponse> parseHTTPResponse(ByteView bytes) {
  if (bytes.size() > maxHTTPResponseSize) return std::nullopt;
  const std::string_view text = textOf(bytes);
  const std::size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string_view::npos || !isUTF8(bytes.first(headEnd))) return std::nullopt;
  const std::string_view head = text.substr(0, headEnd);

  HTTPResponse response;
  std::optional<std::string_view> transferEncoding, contentLength;
  std::size_t lineStart = 0;
  for (bool first = true;; first = false) {
    const std::size_t lineEnd = std::min(head.find("\r\n", lineStart), head.size());
    const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
    if (first) {
      std::string_view parts[2];
      std::size_t count = 0;
      for (std::size_t i = 0; i < line.size() && count < 2;) {
        if (line[i] == ' ') {
          ++i;
          continue;
        }
        const std::size_t space = std::min(line.find(' ', i), line.size());
        parts[count++] = line.substr(i, space - i);
        i = space;
      }
      if (count < 2 || !parts[0].starts_with("HTTP/1.")) return std::nullopt;
      const auto status = parseInt(parts[1]);
      if (!status) return std::nullopt;
      response.status = *status;
    } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      const std::string name = lowercased(trimSpaces(line.substr(0, colon)));
      const std::string_view value = trimSpaces(line.substr(colon + 1));
      if (name == "transfer-encoding") transferEncoding = value;
      if (name == "content-length") contentLength = value;
    }
    if (lineEnd == head.size()) break;
    lineStart = lineEnd + 2;
  }

  const ByteView body = bytes.subspan(headEnd + 4);
  if (transferEncoding && lowercased(*transferEncoding).find("chunked") != std::string::npos) {
    auto plain = dechunk(body);
    if (!plain) return std::nullopt;
    response.body = std::move(*plain);
    return response;
  }
  if (const auto length = contentLength ? parseInteger(*contentLength, 10) : std::nullopt) {
    if (*length < 0 || static_cast<std::uint64_t>(*length) > body.size()) return std::nullopt;
    response.body.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(*length));
    return response;
  }
  response.body.assign(body.begin(), body.end());
  return response;
}

namespace NATPMP {

std::uint16_t Response::resultCode() const {
  return std::visit([](const auto& answer) { return answer.result; }, value);
}

Bytes externalAddressRequest() { return Bytes{0, opExternalAddress}; }

Bytes mapTCPRequest(std::uint16_t internalPort, std::uint16_t externalPort,
                    std::uint32_t lifetime) {
  ByteWriter w;
  w.u8(0);
  w.u8(opMapTCP);
  w.u16(0);
  w.u16(internalPort);
  w.u16(externalPort);
  w.u32(lifetime);
  return std::move(w).data();
}

std::optional<Response> parse(ByteView datagram) {
  const ByteView b = datagram.first(std::min(datagram.size(), maxResponseSize));
  if (b.size() < 8 || b[0] != 0 || (b[1] & 0x80) == 0) return std::nullopt;
  const std::uint8_t opcode = b[1] & 0x7F;
  const std::uint16_t result = be16(b, 2);
  const std::uint32_t epoch = be32(b, 4);
  if (opcode == opMapUDP || opcode == opMapTCP) {
    if (result != 0) return Response{Mapping{result, epoch, opcode, 0, 0, 0}};
    if (b.size() < 16) return std::nullopt;
    return Response{Mapping{result, epoch, opcode, be16(b, 8), be16(b, 10), be32(b, 12)}};
  }
  if (opcode == opExternalAddress) {
    if (result != 0) return Response{ExternalAddress{result, epoch, {}}};
    if (b.size() < 12) return std::nullopt;
    return Response{ExternalAddress{result, epoch, Bytes(b.begin() + 8, b.begin() + 12)}};
  }
  return std::nullopt;
}

bool answers(const Response& response, std::uint8_t requestOpcode) {
  if (response.externalAddress() != nullptr) return requestOpcode == opExternalAddress;
  return response.mapping()->opcode == requestOpcode;
}

}  // namespace NATPMP

namespace UPnP {

std::string searchRequest(std::string_view target, std::string_view searchTarget) {
  std::string out = "M-SEARCH * HTTP/1.1\r\nHOST: ";
  out.append(target).append("\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: ");
  out.append(searchTarget).append("\r\n\r\n");
  return out;
}

std::optional<std::string> location(std::string_view answer, std::string_view responder) {
  if (answer.size() > maxDatagramSize) return std::nullopt;
  std::size_t i = 0;
  while (i < answer.size()) {
    std::size_t end = i;
    std::size_t newline = 0;
    while (end < answer.size() && (newline = newlineAt(answer, end)) == 0) ++end;
    const std::string_view line = answer.substr(i, end - i);
    i = end + newline;
    const std::size_t colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos) continue;
    if (lowercased(trimSpaces(line.substr(0, colon))) != "location") continue;
    const std::string_view value = trimSpaces(line.substr(colon + 1));
    const auto url = splitURL(value);
    if (!url || url->host != responder || !isLocalIPv4(url->host)) return std::nullopt;
    return std::string(value);
  }
  return std::nullopt;
}

std::optional<URLParts> splitURL(std::string_view url) {
  constexpr std::string_view scheme = "http://";
  if (!startsWithIgnoringCase(url, scheme)) return std::nullopt;
  const std::string_view rest = url.substr(scheme.size());
  const std::size_t slash = std::min(rest.find('/'), rest.size());
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash < rest.size() ? rest.substr(slash) : "/";
  if (authority.find('@') != std::string_view::npos || containsWhitespace(path)) {
    return std::nullopt;
  }
  URLParts parts;
  const std::size_t colon = authority.find(':');
  const std::string_view host = authority.substr(0, colon);
  if (colon != std::string_view::npos) {
    const std::string_view port = authority.substr(colon + 1);
    if (port.empty() || port.find(':') != std::string_view::npos) return std::nullopt;
    int value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
      if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    parts.port = static_cast<std::uint16_t>(value);
  }
  if (!parseIPv4(host)) return std::nullopt;
  parts.host = std::string(host);
  parts.path = std::string(path);
  return parts;
}

std::optional<std::string> tag(std::string_view document, std::string_view name) {
  if (name.empty() || document.size() > maxDocumentSize) return std::nullopt;
  std::size_t lastOpen = std::string_view::npos;  // the last "<" before `scanned`
  std::size_t scanned = 0;
  for (std::size_t hit = document.find(name); hit != std::string_view::npos;
       hit = document.find(name, hit + 1)) {
    const std::size_t after = hit + name.size();
    if (after >= document.size() || document[after] != '>') continue;
    for (; scanned < hit; ++scanned) {
      if (document[scanned] == '<') lastOpen = scanned;
    }
    if (lastOpen == std::string_view::npos) continue;
    const std::string_view prefix = document.substr(lastOpen + 1, hit - lastOpen - 1);
    if (!prefix.empty()) {
      if (prefix.back() != ':' || prefix.size() > maxPrefixLength) continue;
      if (prefix.find_last_of("/ >") != std::string_view::npos) continue;
    }
    std::string closing = "</";
    closing.append(prefix).append(name).append(">");
    const std::size_t close = document.find(closing, after + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string content(document.substr(after + 1, close - after - 1));
    replaceAll(content, "&lt;", "<");
    replaceAll(content, "&gt;", ">");
    replaceAll(content, "&quot;", "\"");
    replaceAll(content, "&apos;", "'");
    replaceAll(content, "&amp;", "&");
    return std::string(trimWhitespace(content));
  }
  return std::nullopt;
}

std::optional<std::string> controlURL(std::string_view description, std::string_view service) {
  if (description.size() > maxDocumentSize) return std::nullopt;
  const std::string wanted = std::string(servicePrefix) + std::string(service);
  constexpr std::string_view open = "<service>", close = "</service>";
  for (std::size_t start = description.find(open); start != std::string_view::npos;) {
    const std::size_t blockStart = start + open.size();
    const std::size_t end = std::min(description.find(close, blockStart), description.size());
    const std::string_view block = description.substr(blockStart, end - blockStart);
    if (tag(block, "serviceType") == wanted) return tag(block, "controlURL");
    if (end == description.size()) break;
    start = description.find(open, end + close.size());
  }
  return std::nullopt;
}

std::optional<Router> router(std::string_view description, const URLParts& descriptionLocation) {
  for (std::string_view name : wanServices) {
    const auto url = controlURL(description, name);
    if (!url) continue;
    Router found{descriptionLocation.host, descriptionLocation.port, *url,
                 std::string(servicePrefix) + std::string(name)};
    if (startsWithIgnoringCase(*url, "http://")) {
      const auto parts = splitURL(*url);
      if (!parts || parts->host != descriptionLocation.host) continue;
      found.port = parts->port;
      found.controlPath = parts->path;
    } else {
      if (!found.controlPath.starts_with('/')) found.controlPath.insert(0, "/");
      if (containsWhitespace(found.controlPath)) continue;
    }
    return found;
  }
  return std::nullopt;
}

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string soapBody(std::string_view action, std::string_view serviceType,
                     const Arguments& arguments) {
  std::string out =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:";
  out.append(action).append(" xmlns:u=\"").append(serviceType).append("\">");
  for (const auto& [name, value] : arguments) {
    out.append("<").append(name).append(">").append(escape(value));
    out.append("</").append(name).append(">");
  }
  out.append("</u:").append(action).append("></s:Body></s:Envelope>");
  return out;
}

std::vector<std::string> soapHeaders(std::string_view action, std::string_view serviceType) {
  std::string soapAction = "SOAPAction: \"";
  soapAction.append(serviceType).append("#").append(action).append("\"");
  return {"Content-Type: text/xml; charset=\"utf-8\"", std::move(soapAction)};
}

std::string SOAPFault::description() const {
  std::string out = action + " failed";
  if (code) out += " (UPnP error " + std::to_string(*code) + ")";
  return out;
}

std::variant<std::string, SOAPFault> soapReply(std::string_view action,
                                               const HTTPResponse& response) {
  std::string text = isUTF8(response.body) ? toString(response.body) : std::string();
  if (response.status == 200) return text;
  const auto code = tag(text, "errorCode");
  return SOAPFault{std::string(action), code ? parseInt(*code) : std::nullopt};
}

}  // namespace UPnP

}  // namespace ombrel::PortMapping
