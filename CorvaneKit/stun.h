#pragma once

// A minimal STUN codec (RFC 5389 Binding): the client's request and the parser of the server's
// success response, and the server's side of the same exchange (recognising a Binding request,
// building the success response), so a relay can answer probes with this codec.
//
// Errors are values: a `Result` holds either the value or a `std::error_code`. Parsing and
// probe failures are `STUN::Failure` codes (compare with `error == STUN::Failure::timeout`);
// network errors of a probe are system error codes.
//
// Threading: pure functions, safe from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include "base/bytes.h"

namespace ombrel::STUN {

// The server-reflexive address: `host` as inet_ntop writes it (dotted IPv4 or textual IPv6).
struct Address {
  std::string host;
  std::uint16_t port = 0;

  bool operator==(const Address&) const = default;
};

enum class Failure {
  invalidTransaction = 1,
  malformed,
  unsupported,
  timeout,
  cancelled,
};

const std::error_category& category();
std::error_code make_error_code(Failure failure);

// A value or the error that stands in its place.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}     // NOLINT(google-explicit-constructor)
  Result(std::error_code error) : state_(error) {}  // NOLINT(google-explicit-constructor)
  Result(Failure failure) : state_(make_error_code(failure)) {}  // NOLINT

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }
  // Only when ok().
  const T& value() const { return std::get<T>(state_); }
  T& value() { return std::get<T>(state_); }
  const T& operator*() const { return value(); }
  const T* operator->() const { return &value(); }
  // Empty when ok().
  std::error_code error() const {
    const auto* error = std::get_if<std::error_code>(&state_);
    return error ? *error : std::error_code{};
  }

 private:
  std::variant<T, std::error_code> state_;
};

inline constexpr std::uint16_t bindingRequest = 0x0001;
inline constexpr std::uint16_t bindingSuccessResponse = 0x0101;
inline constexpr std::uint32_t magicCookie = 0x2112A442;
inline constexpr std::uint16_t mappedAddressAttribute = 0x0001;
inline constexpr std::uint16_t xorMappedAddressAttribute = 0x0020;
inline constexpr std::uint16_t fingerprintAttribute = 0x8028;
inline constexpr std::uint32_t fingerprintXor = 0x5354554E;
inline constexpr std::size_t headerSize = 20;
inline constexpr std::size_t transactionSize = 12;
// Longest datagram the response parser looks at.
inline constexpr std::size_t maxMessageSize = 2048;

// 12 bytes from the system's random generator.
Bytes transaction();

// The 20-byte Binding request without attributes; `invalidTransaction` unless the transaction
// is 12 bytes.
Result<Bytes> request(ByteView transaction);

// The mapped address of a Binding success response to `transaction`: XOR-MAPPED-ADDRESS (IPv4
// or IPv6), checked against a FINGERPRINT when one is present. MAPPED-ADDRESS alone is not
// accepted. Fails with `invalidTransaction`, `malformed` or `unsupported`.
Result<Address> address(ByteView data, ByteView transaction);

// CRC-32 of `data` XOR 0x5354554E: the FINGERPRINT value over the bytes before the attribute.
std::uint32_t fingerprint(ByteView data);

// Server side.

// The transaction ID of `data` when it is a Binding request a server should answer: type
// 0x0001, the magic cookie, a length that matches the datagram, attributes that fit, a valid
// FINGERPRINT if there is one (and last), and no comprehension-required attribute (type below
// 0x8000). Anything else (other STUN messages, RFC 3489 requests without the cookie, stray
// bytes) yields nothing: a server stays silent rather than answer what it cannot read.
std::optional<Bytes> bindingRequestTransaction(ByteView data);
inline bool isBindingRequest(ByteView data) { return bindingRequestTransaction(data).has_value(); }

// The Binding success response to `transaction` carrying `seen` as XOR-MAPPED-ADDRESS, then a
// FINGERPRINT. `invalidTransaction` unless the transaction is 12 bytes; `malformed` when the
// host is not an IPv4 or IPv6 literal or the port is 0 (no client would accept either).
Result<Bytes> successResponse(ByteView transaction, const Address& seen);

}  // namespace ombrel::STUN

namespace std {
template <>
struct is_error_code_enum<ombrel::STUN::Failure> : true_type {};
}  // namespace std
