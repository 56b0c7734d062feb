#include "CorvaneKit/stun.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <random>

namespace ombrel::STUN {
namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "STUN"; }
  std::string message(int value) const override {
    switch (static_cast<Failure>(value)) {
      case Failure::invalidTransaction:
        return "the transaction ID is not 12 bytes";
      case Failure::malformed:
        return "malformed STUN message";
      case Failure::unsupported:
        return "unsupported comprehension-required STUN attribute";
      case Failure::timeout:
        return "no STUN response before the deadline";
      case Failure::cancelled:
        return "STUN probe cancelled";
    }
    return "unknown STUN failure";
  }
};

constexpr std::array<std::uint32_t, 256> crcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

std::uint16_t read16(ByteView data, std::size_t at) {
  return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}

std::uint32_t read32(ByteView data, std::size_t at) {
  return std::uint32_t{data[at]} << 24 | std::uint32_t{data[at + 1]} << 16 |
         std::uint32_t{data[at + 2]} << 8 | data[at + 3];
}

void put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void put32(Bytes& out, std::uint32_t value) {
  put16(out, static_cast<std::uint16_t>(value >> 16));
  put16(out, static_cast<std::uint16_t>(value));
}

void putHeader(Bytes& out, std::uint16_t type, std::uint16_t length, ByteView transaction) {
  put16(out, type);
  put16(out, length);
  put32(out, magicCookie);
  out.insert(out.end(), transaction.begin(), transaction.end());
}

// The cookie followed by the transaction: what XOR-MAPPED-ADDRESS masks the address with.
std::array<std::uint8_t, 16> mask(ByteView transaction) {
  std::array<std::uint8_t, 16> key{};
  for (int i = 0; i < 4; ++i) key[i] = static_cast<std::uint8_t>(magicCookie >> (24 - 8 * i));
  std::copy(transaction.begin(), transaction.end(), key.begin() + 4);
  return key;
}

// Size, type, cookie and length, in that order; the first failing check decides. `transaction`
// is compared when it is not empty.
bool headerFits(ByteView data, std::uint16_t type, ByteView transaction) {
  if (data.size() < headerSize || data.size() > maxMessageSize || read16(data, 0) != type) {
    return false;
  }
  if (read32(data, 4) != magicCookie) return false;
  if (!transaction.empty() && !std::equal(transaction.begin(), transaction.end(), &data[8])) {
    return false;
  }
  const std::size_t length = read16(data, 2);
  return length % 4 == 0 && length == data.size() - headerSize;
}

// Walks the attributes of a message whose header fits, checking bounds and the FINGERPRINT
// itself, and hands every other attribute to `visit`, which may stop the walk with an error.
std::error_code walk(ByteView data,
                     const std::function<std::error_code(std::uint16_t, ByteView)>& visit) {
  std::size_t at = headerSize;
  while (at < data.size()) {
    if (data.size() - at < 4) return Failure::malformed;
    const std::uint16_t type = read16(data, at);
    const std::size_t length = read16(data, at + 2);
    if (length > data.size() - at - 4) return Failure::malformed;
    const ByteView value = data.subspan(at + 4, length);
    if (type == fingerprintAttribute) {
      if (length != 4 || at + 8 != data.size() || read32(value, 0) != fingerprint(data.first(at))) {
        return Failure::malformed;
      }
    } else if (auto error = visit(type, value)) {
      return error;
    }
    at += 4 + ((length + 3) & ~std::size_t{3});
  }
  return {};
}

Result<Address> xorMapped(ByteView value, ByteView transaction) {
  if (value.size() < 4 || value[0] != 0) return Failure::malformed;
  const std::uint8_t family = value[1];
  const std::size_t size = family == 1 ? 4 : family == 2 ? 16 : 0;
  if (size == 0 || value.size() != 4 + size) return Failure::malformed;
  const std::uint16_t stored = read16(value, 2);
  if (stored == (magicCookie >> 16)) return Failure::malformed;
  const auto key = mask(transaction);
  std::array<std::uint8_t, 16> raw{};
  for (std::size_t i = 0; i < size; ++i) raw[i] = value[4 + i] ^ key[i];
  char text[INET6_ADDRSTRLEN] = {};
  if (!inet_ntop(family == 1 ? AF_INET : AF_INET6, raw.data(), text, sizeof text)) {
    return Failure::malformed;
  }
  return Address{text, static_cast<std::uint16_t>(stored ^ (magicCookie >> 16))};
}

}  // namespace

const std::error_category& category() {
  static const Category instance;
  return instance;
}

std::error_code make_error_code(Failure failure) { return {static_cast<int>(failure), category()}; }

std::uint32_t fingerprint(ByteView data) {
  static constexpr auto table = crcTable();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return ~crc ^ fingerprintXor;
}

Bytes transaction() {
  Bytes id(transactionSize);
  std::size_t filled = 0;
  while (filled < id.size()) {
    const ssize_t got = getrandom(id.data() + filled, id.size() - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      // Kernels before getrandom: the library's device reads the same pool.
      std::random_device device;
      for (auto& byte : id) byte = static_cast<std::uint8_t>(device());
      break;
    }
  }
  return id;
}

Result<Bytes> request(ByteView transaction) {
  if (transaction.size() != transactionSize) return Failure::invalidTransaction;
  Bytes out;
  out.reserve(headerSize);
  putHeader(out, bindingRequest, 0, transaction);
  return out;
}

Result<Address> address(ByteView data, ByteView transaction) {
  if (transaction.size() != transactionSize) return Failure::invalidTransaction;
  if (!headerFits(data, bindingSuccessResponse, transaction)) return Failure::malformed;
  std::optional<Address> found;
  auto error = walk(data, [&](std::uint16_t type, ByteView value) -> std::error_code {
    if (type == xorMappedAddressAttribute) {
      if (found) return Failure::malformed;
      auto mapped = xorMapped(value, transaction);
      if (!mapped) return mapped.error();
      found = std::move(mapped.value());
      return {};
    }
    if (type == mappedAddressAttribute || type >= 0x8000) return {};
    return Failure::unsupported;
  });
  if (error) return error;
  if (!found) return Failure::malformed;
  return std::move(*found);
}

std::optional<Bytes> bindingRequestTransaction(ByteView data) {
  if (!headerFits(data, bindingRequest, {})) return std::nullopt;
  auto error = walk(data, [](std::uint16_t type, ByteView) -> std::error_code {
    return type >= 0x8000 ? std::error_code{} : make_error_code(Failure::unsupported);
  });
  if (error) return std::nullopt;
  return Bytes(data.begin() + 8, data.begin() + headerSize);
}

Result<Bytes> successResponse(ByteView transaction, const Address& seen) {
  if (transaction.size() != transactionSize) return Failure::invalidTransaction;
  std::array<std::uint8_t, 16> raw{};
  std::uint8_t family = 0;
  if (inet_pton(AF_INET, seen.host.c_str(), raw.data()) == 1) {
    family = 1;
  } else if (inet_pton(AF_INET6, seen.host.c_str(), raw.data()) == 1) {
    family = 2;
  }
  if (family == 0 || seen.port == 0) return Failure::malformed;
  const std::size_t size = family == 1 ? 4 : 16;
  const auto attributeLength = static_cast<std::uint16_t>(4 + size);
  Bytes out;
  out.reserve(headerSize + 4 + attributeLength + 8);
  putHeader(out, bindingSuccessResponse, static_cast<std::uint16_t>(4 + attributeLength + 8),
            transaction);
  put16(out, xorMappedAddressAttribute);
  put16(out, attributeLength);
  out.push_back(0);
  out.push_back(family);
  put16(out, static_cast<std::uint16_t>(seen.port ^ (magicCookie >> 16)));
  const auto key = mask(transaction);
  for (std::size_t i = 0; i < size; ++i) out.push_back(raw[i] ^ key[i]);
  const std::uint32_t check = fingerprint(out);
  put16(out, fingerprintAttribute);
  put16(out, 4);
  put32(out, check);
  return out;
}

}  // namespace ombrel::STUN
