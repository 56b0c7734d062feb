#pragma once

// The JSON coder of every message body that is not a binary layout.
//
// A record T opts in with two functions found by argument-dependent lookup:
//   void toJSON(NVJSON::Json& out, const T& value);     // builds an object
//   void fromJSON(const NVJSON::Json& in, T& value);    // strict; throws NVError
// written with the field helpers below, which enforce the wire rules: keys exactly as declared,
// optional fields omitted when absent and accepted as absent (or null), a missing or mistyped
// required field is an error, Int is a JSON integer in range, Double any JSON number, byte
// blobs standard Base64, unknown keys ignored.

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "OmbrelKit/nv_error.h"
#include "base/base64.h"
#include "base/bytes.h"

namespace ombrel::NVJSON {

using Json = nlohmann::json;

[[noreturn]] void fail(const std::string& what);
// True when no number anywhere in the document is NaN or infinite (JSON cannot carry them).
bool allFinite(const Json& value);
Bytes dump(const Json& value);  // compact; empty when the value cannot be encoded
Json parse(ByteView bytes);     // throws NVError::invalid on malformed JSON

// ---- value readers -------------------------------------------------------------------------

inline void readValue(const Json& j, bool& out) {
  if (!j.is_boolean()) fail("expected a boolean");
  out = j.get<bool>();
}

inline void readValue(const Json& j, std::string& out) {
  if (!j.is_string()) fail("expected a string");
  out = j.get<std::string>();
}

inline void readValue(const Json& j, double& out) {
  if (!j.is_number()) fail("expected a number");
  out = j.get<double>();
}

inline void readValue(const Json& j, Bytes& out) {
  if (!j.is_string()) fail("expected a Base64 string");
  auto decoded = base64::decode(j.get_ref<const std::string&>());
  if (!decoded) fail("invalid Base64");
  out = std::move(*decoded);
}

template <typename I>
requires(std::integral<I> && !std::same_as<I, bool>) void readValue(const Json& j, I& out) {
  if (j.is_number_unsigned()) {
    auto v = j.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<I>::max())) fail("integer out of range");
    out = static_cast<I>(v);
  } else if (j.is_number_integer()) {
    auto v = j.get<std::int64_t>();
    if constexpr (std::is_unsigned_v<I>) {
      if (v < 0) fail("integer out of range");
      if (static_cast<std::uint64_t>(v) > std::numeric_limits<I>::max())
        fail("integer out of range");
    } else {
      if (v < std::numeric_limits<I>::min() || v > std::numeric_limits<I>::max()) {
        fail("integer out of range");
      }
    }
    out = static_cast<I>(v);
  } else {
    fail("expected an integer");
  }
}

// Records: anything with a fromJSON found by ADL.
template <typename T>
requires requires(const Json& j, T& t) { fromJSON(j, t); }
void readValue(const Json& j, T& out) { fromJSON(j, out); }

template <typename T>
void readValue(const Json& j, std::vector<T>& out) {
  if (!j.is_array()) fail("expected an array");
  out.clear();
  out.reserve(j.size());
  for (const auto& element : j) {
    T value{};
    readValue(element, value);
    out.push_back(std::move(value));
  }
}

// ---- value writers -------------------------------------------------------------------------

inline Json writeValue(bool v) { return v; }
inline Json writeValue(const std::string& v) { return v; }
inline Json writeValue(double v) { return v; }
inline Json writeValue(const Bytes& v) { return base64::encode(v); }

template <typename I>
requires(std::integral<I> && !std::same_as<I, bool>) Json writeValue(I v) { return v; }

template <typename T>
requires requires(Json& j, const T& t) { toJSON(j, t); }
Json writeValue(const T& v) {
  Json j = Json::object();
  toJSON(j, v);
  return j;
}

template <typename T>
Json writeValue(const std::vector<T>& v) {
  Json j = Json::array();
  for (const auto& element : v) j.push_back(writeValue(element));
  return j;
}

// ---- object fields -------------------------------------------------------------------------

inline const Json& object(const Json& j) {
  if (!j.is_object()) fail("expected an object");
  return j;
}

template <typename T>
void read(const Json& obj, const char* key, T& out) {
  auto it = object(obj).find(key);
  if (it == obj.end()) fail(std::string("missing key ") + key);
  readValue(*it, out);
}

template <typename T>
void read(const Json& obj, const char* key, std::optional<T>& out) {
  auto it = object(obj).find(key);
  if (it == obj.end() || it->is_null()) {
    out.reset();
    return;
  }
  T value{};
  readValue(*it, value);
  out = std::move(value);
}

template <typename T>
void write(Json& obj, const char* key, const T& value) {
  obj[key] = writeValue(value);
}

template <typename T>
void write(Json& obj, const char* key, const std::optional<T>& value) {
  if (value) obj[key] = writeValue(*value);
}

// ---- whole bodies --------------------------------------------------------------------------

// The body for `value`, or an empty buffer when it cannot be encoded (a NaN or infinite
// number); callers send the empty body as it is.
template <typename T>
Bytes encode(const T& value) {
  try {
    Json j = writeValue(value);
    if (!allFinite(j)) return {};
    return dump(j);
  } catch (const std::exception&) {
    return {};
  }
}

// The record in `bytes`; throws NVError::invalid with the decoder's reason.
template <typename T>
T decode(ByteView bytes) {
  Json j = parse(bytes);
  T value{};
  readValue(j, value);
  return value;
}

// Non-throwing form for receivers that drop undecodable messages.
template <typename T>
std::optional<T> tryDecode(ByteView bytes) {
  try {
    return decode<T>(bytes);
  } catch (const NVError&) {
    return std::nullopt;
  }
}

}  // namespace ombrel::NVJSON
