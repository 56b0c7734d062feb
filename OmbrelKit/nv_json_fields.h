#pragma once

// Helpers for the .cpp files that implement the records' toJSON/fromJSON.
//
// A record lists its fields once, as a generic lambda `fields(record, visit)` that calls
// `visit("key", record.member)` in declaration order; the same list then drives encoding and
// decoding, so a key can never be spelled differently in the two directions.
//
// Enumerations that travel as raw values (strings or integers) get readValue/writeValue in
// their own header, next to the enum, found by argument-dependent lookup from NVJSON.

#include <string>
#include <string_view>

#include "OmbrelKit/nv_json.h"

namespace ombrel::NVJSON {

template <typename R, typename Fields>
void writeRecord(Json& out, const R& record, const Fields& fields) {
  fields(record, [&](const char* key, const auto& member) { write(out, key, member); });
}

template <typename R, typename Fields>
void readRecord(const Json& in, R& record, const Fields& fields) {
  object(in);
  fields(record, [&](const char* key, auto& member) { read(in, key, member); });
}

// A string raw value mapped by `parse` (raw -> optional case); an unknown value is an error.
template <typename E, typename Parse>
void readStringRaw(const Json& j, E& out, Parse parse) {
  if (!j.is_string()) fail("expected a string");
  auto value = parse(std::string_view(j.get_ref<const std::string&>()));
  if (!value) fail("unknown raw value");
  out = *value;
}

// An integer raw value mapped by `parse` (int64 -> optional case); an unknown value is an error.
template <typename E, typename Parse>
void readIntRaw(const Json& j, E& out, Parse parse) {
  std::int64_t raw = 0;
  readValue(j, raw);
  auto value = parse(raw);
  if (!value) fail("unknown raw value");
  out = *value;
}

}  // namespace ombrel::NVJSON

// Defines toJSON/fromJSON for `Type` from its field list; use inside namespace ombrel.
#define NVJSON_RECORD(Type, fields)                      \
  void toJSON(nlohmann::json& out, const Type& value) {  \
    ::ombrel::NVJSON::writeRecord(out, value, fields);   \
  }                                                      \
  void fromJSON(const nlohmann::json& in, Type& value) { \
    ::ombrel::NVJSON::readRecord(in, value, fields);     \
  }
