#pragma once

// The records of the session's opening: hello in both directions, pairing, and the error
// message the host sends when it refuses or stops something.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "OmbrelKit/display_info.h"
#include "OmbrelKit/host_error_code.h"

namespace ombrel {

struct ClientHello {
  std::string deviceName;
  std::string model;
  std::int64_t protocolVersion = 0;  // the client's NVProtocol::version

  bool operator==(const ClientHello&) const = default;
};

// For a client that is not authorized the sender leaves displays and capabilities empty and
// addresses absent; this record encodes whatever it is given.
struct HostHello {
  std::string name;
  std::string hostID;  // "1234 5678 9012"
  std::string os;      // "Linux 6.1"
  bool authorized = false;
  std::vector<DisplayInfo> displays;
  std::int64_t protocolVersion = 0;
  std::vector<std::string> capabilities;
  std::optional<std::vector<std::string>> addresses;
  std::optional<std::vector<std::string>> macAddresses;  // never sent by this host

  bool operator==(const HostHello&) const = default;
};

struct PairRequest {
  std::string deviceName;
  std::string model;
  std::optional<std::int64_t> grantMinutes;  // requested length of a support-mode grant

  bool operator==(const PairRequest&) const = default;
};

struct PairResult {
  bool ok = false;
  std::optional<std::string> message;  // localized, for the user
  std::optional<HostErrorCode> code;

  bool operator==(const PairResult&) const = default;
};

struct ErrorMessage {
  std::string message;  // localized, for the user
  std::optional<HostErrorCode> code;
  std::optional<std::string> detail;

  bool operator==(const ErrorMessage&) const = default;
};

void toJSON(nlohmann::json& out, const ClientHello& value);
void fromJSON(const nlohmann::json& in, ClientHello& value);
void toJSON(nlohmann::json& out, const HostHello& value);
void fromJSON(const nlohmann::json& in, HostHello& value);
void toJSON(nlohmann::json& out, const PairRequest& value);
void fromJSON(const nlohmann::json& in, PairRequest& value);
void toJSON(nlohmann::json& out, const PairResult& value);
void fromJSON(const nlohmann::json& in, PairResult& value);
void toJSON(nlohmann::json& out, const ErrorMessage& value);
void fromJSON(const nlohmann::json& in, ErrorMessage& value);

}  // namespace ombrel
