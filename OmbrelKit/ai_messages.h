#pragma once

// The records of the AI channel: an agent on the client asks for screenshots, the display list
// or the frontmost application's accessibility tree; the host answers with the same id.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "OmbrelKit/display_info.h"
#include "base/bytes.h"

namespace ombrel {

struct AIRequest {
  enum class Kind { screenshot, uiTree, displays, hello, goodbye };

  std::int64_t id = 0;  // chosen by the client, echoed in the response
  Kind kind = Kind::hello;
  std::optional<std::uint32_t> displayID;
  std::optional<std::int64_t> maxSize;
  std::optional<std::string> agentName;

  bool operator==(const AIRequest&) const = default;
};

std::string_view rawValue(AIRequest::Kind kind);
std::optional<AIRequest::Kind> aiRequestKind(std::string_view raw);

// One element of an application's accessibility tree.
struct UINode {
  // Deeper trees fail to decode. The host sends at most 13 levels, and a peer must not be able
  // to drive the decoder's recursion arbitrarily deep.
  static constexpr int maxDecodeDepth = 32;

  std::string role;
  std::optional<std::string> title;
  std::optional<std::string> value;
  std::optional<std::vector<double>> frame;  // x, y, width, height
  std::optional<std::vector<UINode>> children;

  bool operator==(const UINode&) const = default;
};

struct AIResponse {
  std::int64_t id = 0;
  bool ok = false;
  std::optional<std::string> error;
  std::optional<Bytes> png;
  std::optional<double> pointWidth;
  std::optional<double> pointHeight;
  std::optional<std::string> app;
  std::optional<UINode> tree;
  std::optional<std::vector<DisplayInfo>> displays;

  bool operator==(const AIResponse&) const = default;
};

void readValue(const nlohmann::json& in, AIRequest::Kind& out);
nlohmann::json writeValue(AIRequest::Kind kind);

void toJSON(nlohmann::json& out, const AIRequest& value);
void fromJSON(const nlohmann::json& in, AIRequest& value);
void toJSON(nlohmann::json& out, const UINode& value);
void fromJSON(const nlohmann::json& in, UINode& value);
void toJSON(nlohmann::json& out, const AIResponse& value);
void fromJSON(const nlohmann::json& in, AIResponse& value);

}  // namespace ombrel
