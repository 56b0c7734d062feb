#include "OmbrelKit/ai_messages.h"

#include "OmbrelKit/nv_json_fields.h"

namespace ombrel {
namespace {

using Kind = AIRequest::Kind;

constexpr auto aiRequestFields = [](auto& r, auto&& f) {
  f("id", r.id);
  f("kind", r.kind);
  f("displayID", r.displayID);
  f("maxSize", r.maxSize);
  f("agentName", r.agentName);
};

constexpr auto aiResponseFields = [](auto& r, auto&& f) {
  f("id", r.id);
  f("ok", r.ok);
  f("error", r.error);
  f("png", r.png);
  f("pointWidth", r.pointWidth);
  f("pointHeight", r.pointHeight);
  f("app", r.app);
  f("tree", r.tree);
  f("displays", r.displays);
};

void readNode(const nlohmann::json& in, UINode& node, int depth) {
  if (depth > UINode::maxDecodeDepth) NVJSON::fail("UI tree too deep");
  NVJSON::read(in, "role", node.role);
  NVJSON::read(in, "title", node.title);
  NVJSON::read(in, "value", node.value);
  NVJSON::read(in, "frame", node.frame);
  node.children.reset();
  auto it = in.find("children");
  if (it == in.end() || it->is_null()) return;
  if (!it->is_array()) NVJSON::fail("expected an array");
  auto& children = node.children.emplace();
  children.resize(it->size());
  for (std::size_t i = 0; i < children.size(); ++i) readNode((*it)[i], children[i], depth + 1);
}

}  // namespace

std::string_view rawValue(Kind kind) {
  switch (kind) {
    case Kind::screenshot:
      return "screenshot";
    case Kind::uiTree:
      return "uiTree";
    case Kind::displays:
      return "displays";
    case Kind::hello:
      return "hello";
    case Kind::goodbye:
      return "goodbye";
  }
  return {};
}

std::optional<Kind> aiRequestKind(std::string_view raw) {
  for (auto kind : {Kind::screenshot, Kind::uiTree, Kind::displays, Kind::hello, Kind::goodbye}) {
    if (rawValue(kind) == raw) return kind;
  }
  return std::nullopt;
}

void readValue(const nlohmann::json& in, Kind& out) {
  NVJSON::readStringRaw(in, out, aiRequestKind);
}
nlohmann::json writeValue(Kind kind) { return std::string(rawValue(kind)); }

NVJSON_RECORD(AIRequest, aiRequestFields)
NVJSON_RECORD(AIResponse, aiResponseFields)

void toJSON(nlohmann::json& out, const UINode& value) {
  NVJSON::write(out, "role", value.role);
  NVJSON::write(out, "title", value.title);
  NVJSON::write(out, "value", value.value);
  NVJSON::write(out, "frame", value.frame);
  NVJSON::write(out, "children", value.children);
}

void fromJSON(const nlohmann::json& in, UINode& value) {
  NVJSON::object(in);
  readNode(in, value, 1);
}

}  // namespace ombrel
