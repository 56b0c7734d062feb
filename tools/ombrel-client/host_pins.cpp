#include "host_pins.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OmbrelKit/device_identity.h"
#include "base/atomic_file.h"
#include "base/base64.h"
#include "base/xdg_dirs.h"

namespace ombrel {

HostPins::HostPins(std::filesystem::path file) : file_(std::move(file)) {
  std::ifstream in(file_);
  if (!in) return;
  auto json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object() || !json.contains("hosts") || !json["hosts"].is_array()) return;
  for (const auto& entry : json["hosts"]) {
    if (!entry.is_object() || !entry.value("hostID", nlohmann::json()).is_string() ||
        !entry.value("publicKey", nlohmann::json()).is_string()) {
      continue;
    }
    auto key = base64::decode(entry["publicKey"].get<std::string>());
    if (!key || key->size() != 32) continue;
    // A saved ID that does not belong to its key is not a pin anyone can rely on.
    auto id = DeviceIdentity::migratedSavedHostID(entry["hostID"].get<std::string>(), *key);
    if (!id) continue;
    std::string address = entry.value("address", nlohmann::json("")).is_string()
                              ? entry.value("address", std::string())
                              : std::string();
    pins_.push_back({*id, std::move(*key), std::move(address)});
  }
}

std::filesystem::path HostPins::defaultPath() {
  return XdgDirs::configHome() / "Ombrel Remote Client" / "pins.json";
}

HostPins::Verdict HostPins::check(const std::string& hostID, const std::string& address,
                                  ByteView publicKey) const {
  const Pin* found = nullptr;
  if (!hostID.empty()) {
    std::string wanted = DeviceIdentity::normalizeHostID(hostID);
    for (const auto& pin : pins_) {
      if (pin.hostID == wanted) found = &pin;
    }
    // An expected ID with no pin still has to be the ID of the key presented.
    if (!found) {
      return DeviceIdentity::matchesHostID(hostID, publicKey) ? Verdict::unknown
                                                              : Verdict::mismatch;
    }
  } else {
    for (const auto& pin : pins_) {
      if (!address.empty() && pin.address == address) found = &pin;
    }
  }
  if (!found) return Verdict::unknown;
  return Bytes(publicKey.begin(), publicKey.end()) == found->publicKey ? Verdict::matches
                                                                       : Verdict::mismatch;
}

void HostPins::pin(ByteView publicKey, const std::string& address) {
  std::string id = DeviceIdentity::deviceID(publicKey);
  std::erase_if(pins_, [&](const Pin& p) { return p.hostID == id; });
  pins_.push_back({id, Bytes(publicKey.begin(), publicKey.end()), address});
  save();
}

void HostPins::save() const {
  nlohmann::json hosts = nlohmann::json::array();
  for (const auto& pin : pins_) {
    hosts.push_back({{"hostID", pin.hostID},
                     {"publicKey", base64::encode(pin.publicKey)},
                     {"address", pin.address}});
  }
  const std::string text = nlohmann::json{{"hosts", hosts}}.dump(2) + "\n";
  // Public keys only, so the mode a new file of the user's usually gets.
  if (auto error = AtomicFile::write(file_, text, {.mode = 0644, .parentMode = 0777})) {
    throw std::filesystem::filesystem_error("could not save pins (" + error->step + ")", file_,
                                            std::error_code(error->code, std::generic_category()));
  }
}

}  // namespace ombrel
