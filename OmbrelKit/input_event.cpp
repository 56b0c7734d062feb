#include "OmbrelKit/input_event.h"

#include <tuple>

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

using E = InputEvent;

// Each case's name and its field list; the table order is the variant's order.
constexpr auto cases =
    std::make_tuple(std::make_pair("moveTo",
                                   [](auto& r, auto&& f) {
                                     f("x", r.x);
                                     f("y", r.y);
                                   }),
                    std::make_pair("moveBy",
                                   [](auto& r, auto&& f) {
                                     f("dx", r.dx);
                                     f("dy", r.dy);
                                   }),
                    std::make_pair("button",
                                   [](auto& r, auto&& f) {
                                     f("_0", r.button);
                                     f("down", r.down);
                                   }),
                    std::make_pair("scroll",
                                   [](auto& r, auto&& f) {
                                     f("dx", r.dx);
                                     f("dy", r.dy);
                                     f("phase", r.phase);
                                   }),
                    std::make_pair("key",
                                   [](auto& r, auto&& f) {
                                     f("hid", r.hid);
                                     f("down", r.down);
                                   }),
                    std::make_pair("text", [](auto& r, auto&& f) { f("_0", r.text); }),
                    std::make_pair("magnify", [](auto& r, auto&& f) { f("_0", r.amount); }),
                    std::make_pair("pen",
                                   [](auto& r, auto&& f) {
                                     f("x", r.x);
                                     f("y", r.y);
                                     f("pressure", r.pressure);
                                     f("tiltX", r.tiltX);
                                     f("tiltY", r.tiltY);
                                     f("phase", r.phase);
                                   }),
                    std::make_pair("releaseAll", [](auto&, auto&&) {}));

static_assert(std::tuple_size_v<decltype(cases)> == std::variant_size_v<E::Case>);

template <std::size_t... I>
void encodeCase(nlohmann::json& out, const E::Case& value, std::index_sequence<I...>) {
  auto tryCase = [&]<std::size_t N>(std::integral_constant<std::size_t, N>) {
    if (value.index() != N) return;
    const auto& [caseName, fields] = std::get<N>(cases);
    auto inner = nlohmann::json::object();
    NVJSON::writeRecord(inner, std::get<N>(value), fields);
    out[caseName] = std::move(inner);
  };
  (tryCase(std::integral_constant<std::size_t, I>{}), ...);
}

template <std::size_t... I>
void decodeCase(const nlohmann::json& in, const std::string& name, E::Case& out,
                std::index_sequence<I...>) {
  bool found = false;
  auto tryCase = [&]<std::size_t N>(std::integral_constant<std::size_t, N>) {
    const auto& [caseName, fields] = std::get<N>(cases);
    if (found || name != caseName) return;
    std::variant_alternative_t<N, E::Case> value;
    NVJSON::readRecord(in, value, fields);
    out = std::move(value);
    found = true;
  };
  (tryCase(std::integral_constant<std::size_t, I>{}), ...);
  if (!found) NVJSON::fail("Unknown input event " + name);
}

}  // namespace

std::optional<MouseButton> mouseButton(std::int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<MouseButton>(raw);
}

std::optional<ScrollPhase> scrollPhase(std::int64_t raw) {
  if (raw < 0 || raw > 4) return std::nullopt;
  return static_cast<ScrollPhase>(raw);
}

void readValue(const nlohmann::json& in, MouseButton& out) {
  NVJSON::readIntRaw(in, out, mouseButton);
}
nlohmann::json writeValue(MouseButton button) { return static_cast<std::int64_t>(button); }
void readValue(const nlohmann::json& in, ScrollPhase& out) {
  NVJSON::readIntRaw(in, out, scrollPhase);
}
nlohmann::json writeValue(ScrollPhase phase) { return static_cast<std::int64_t>(phase); }

void toJSON(nlohmann::json& out, const InputEvent& value) {
  encodeCase(out, value.value, std::make_index_sequence<std::variant_size_v<E::Case>>{});
}

void fromJSON(const nlohmann::json& in, InputEvent& value) {
  NVJSON::object(in);
  if (in.size() != 1) NVJSON::fail("Invalid number of keys found, expected one.");
  auto it = in.begin();
  decodeCase(it.value(), it.key(), value.value,
             std::make_index_sequence<std::variant_size_v<E::Case>>{});
}

}  // namespace ombrel
