#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace ombrel {

// The protocol library's error. The first four kinds carry the product's user-visible texts;
// `crypto` and `system` wrap an error of the crypto library or the operating system unchanged
// (a bad public key, a reset socket) so it can travel through the same close callbacks.
//
// Inside the library it is thrown; at the edges (connection callbacks, session handlers) it
// travels as a value.
class NVError : public std::exception {
 public:
  enum class Kind { invalid, handshake, truncated, closed, crypto, system };

  static NVError invalid(std::string message) { return {Kind::invalid, std::move(message)}; }
  static NVError handshake(std::string reason) { return {Kind::handshake, std::move(reason)}; }
  static NVError truncated() { return {Kind::truncated, {}}; }
  static NVError closed() { return {Kind::closed, {}}; }
  static NVError crypto(std::string what) { return {Kind::crypto, std::move(what)}; }
  static NVError system(std::error_code code);

  Kind kind() const { return kind_; }
  // The case's payload: the raiser's text for invalid/handshake/crypto, the OS text for system.
  const std::string& payload() const { return payload_; }
  std::error_code code() const { return code_; }

  // The text shown to a user.
  std::string errorDescription() const;
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const NVError& other) const {
    return kind_ == other.kind_ && payload_ == other.payload_;
  }

 private:
  NVError(Kind kind, std::string payload);

  Kind kind_;
  std::string payload_;
  std::error_code code_;
  std::string description_;
};

}  // namespace ombrel
