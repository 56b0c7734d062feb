#include "Ombrel_Remote_Host/session/session_rules.h"

#include <arpa/inet.h>
#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace ombrel {
namespace {

constexpr std::size_t kMaxNameCharacters = 40;
constexpr double kBackoffWindow = 120.0;
constexpr std::size_t kBackoffPrompts = 3;

// Decodes UTF-8 into scalars; a malformed sequence becomes U+FFFD so nothing is lost silently
// and nothing invalid reaches the owner's screen.
std::vector<char32_t> decodeUTF8(std::string_view text) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    auto b0 = static_cast<unsigned char>(text[i]);
    int length = b0 < 0x80           ? 1
                 : (b0 >> 5) == 0x6  ? 2
                 : (b0 >> 4) == 0xE  ? 3
                 : (b0 >> 3) == 0x1E ? 4
                                     : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t c = length == 1 ? b0 : b0 & (0xFF >> (length + 1));
    bool ok = true;
    for (int k = 1; k < length; ++k) {
      auto b = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((b & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = c << 6 | (b & 0x3F);
    }
    static constexpr std::array<char32_t, 5> kMinimum = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || c < kMinimum[static_cast<std::size_t>(length)] || c > 0x10FFFF ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(c);
    i += static_cast<std::size_t>(length);
  }
  return out;
}

void appendUTF8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isInvisible(char32_t c) {
  return c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
         (c >= 0x2066 && c <= 0x206F) || c == 0x3164 || c == 0xFEFF || c == 0xFFA0;
}

bool isControlOrNewline(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Marks that belong to the character before them: the 40-character cut must not strip an
// accent or a skin tone from its base.
bool extendsPrevious(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
         (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) ||
         (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0100 && c <= 0xE01EF);
}

bool isPrivateIPv4(const std::uint8_t* a) {
  if (a[0] == 0 || a[0] == 10 || a[0] == 127) return true;
  if (a[0] == 100 && (a[1] & 0xC0) == 64) return true;  // 100.64.0.0/10
  if (a[0] == 169 && a[1] == 254) return true;
  if (a[0] == 172 && (a[1] & 0xF0) == 16) return true;
  if (a[0] == 192 && a[1] == 168) return true;
  return false;
}

}  // namespace

std::string SessionRules::cleanDeviceName(std::string_view name) {
  std::vector<char32_t> kept;
  for (char32_t c : decodeUTF8(name)) {
    if (isInvisible(c)) continue;
    kept.push_back(isControlOrNewline(c) ? U' ' : c);
  }
  // Fold runs of spaces and trim both ends.
  std::vector<char32_t> folded;
  for (char32_t c : kept) {
    if (c == U' ' && (folded.empty() || folded.back() == U' ')) continue;
    folded.push_back(c);
  }
  while (!folded.empty() && folded.back() == U' ') folded.pop_back();

  std::string out;
  std::size_t characters = 0;
  for (char32_t c : folded) {
    if (!extendsPrevious(c) || characters == 0) {
      if (characters == kMaxNameCharacters) break;
      ++characters;
    }
    appendUTF8(out, c);
  }
  // The cut can leave a trailing space that the fold would have removed.
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out.empty() ? "未知裝置" : out;
}

bool SessionRules::isInternetAddress(std::string_view address) {
  std::string text(address.substr(0, address.find('%')));
  std::uint8_t v4[4];
  if (inet_pton(AF_INET, text.c_str(), v4) == 1) return !isPrivateIPv4(v4);
  std::uint8_t v6[16];
  if (inet_pton(AF_INET6, text.c_str(), v6) != 1) return false;
  static constexpr std::uint8_t kZero[16] = {};
  static constexpr std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::equal(v6, v6 + 16, kZero) || std::equal(v6, v6 + 16, kLoopback)) return false;
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(v6, v6 + 12, kMapped)) return !isPrivateIPv4(v6 + 12);
  if ((v6[0] & 0xFE) == 0xFC) return false;                   // fc00::/7
  if (v6[0] == 0xFE && (v6[1] & 0xC0) == 0x80) return false;  // fe80::/10
  return true;
}

std::vector<std::string> SessionRules::hostCapabilities(bool limited, bool relayed,
                                                        bool icePreviewEnabled) {
  std::vector<std::string> out = {
      "hevc",   "h264",   "audio", "clipboard",      "multiDisplay",        "cursor",
      "120fps", "refine", "wake",  "clipboardImage", "clipboardImagePaste", "clipboardTextPaste",
      "ai"};
  if (!limited) {
    out.push_back("virtualDisplay");
    out.push_back("privacy");
  }
  if (relayed && !limited && icePreviewEnabled) out.push_back("corvane-ice-v1");
  return out;
}

double SessionRules::grantSeconds(std::int64_t requestedMinutes) {
  return 60.0 * static_cast<double>(std::clamp<std::int64_t>(requestedMinutes, 5, 1440));
}

std::string SessionRules::osName(std::string_view kernelRelease) {
  auto number = [&](std::size_t& i) {
    std::size_t start = i;
    while (i < kernelRelease.size() && kernelRelease[i] >= '0' && kernelRelease[i] <= '9') ++i;
    return std::string(kernelRelease.substr(start, i - start));
  };
  std::size_t i = 0;
  std::string major = number(i);
  if (major.empty() || i >= kernelRelease.size() || kernelRelease[i] != '.') return "Linux";
  ++i;
  std::string minor = number(i);
  if (minor.empty()) return "Linux";
  return "Linux " + major + "." + minor;
}

std::string SessionRules::osName() {
  utsname names{};
  if (uname(&names) != 0) return "Linux";
  return osName(names.release);
}

bool PairingBackoff::shouldRefuse(double now) {
  // Wall-clock dates can step backwards, so prune by value rather than by position.
  std::erase_if(prompts_, [now](double t) { return now - t > kBackoffWindow; });
  if (prompts_.size() >= kBackoffPrompts) return true;
  prompts_.push_back(now);
  return false;
}

}  // namespace ombrel
