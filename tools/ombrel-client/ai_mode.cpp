#include "ai_mode.h"

#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>

#include "OmbrelKit/messages.h"

namespace ombrel {
namespace {

// The picture's size from the PNG's header (IHDR, always the first chunk).
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const Bytes& png) {
  if (png.size() < 24) return std::nullopt;
  auto word = [&](std::size_t at) {
    return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 |
           std::uint32_t{png[at + 2]} << 8 | std::uint32_t{png[at + 3]};
  };
  return std::pair{word(16), word(20)};
}

}  // namespace

bool AIMode::parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                           bool& good) {
  const std::string arg = argv[i];
  if (arg != "--ai" && arg != "--ai-max-size" && arg != "--out") return false;
  auto* ai = dynamic_cast<AIMode*>(mode.get());
  if (!ai) {
    mode = std::make_shared<AIMode>(Config());
    ai = static_cast<AIMode*>(mode.get());
  }
  Config& c = ai->config_;
  good = i + 1 < argc;
  if (!good) return true;
  const std::string value = argv[++i];
  if (arg == "--ai") {
    if (value == "screenshot") {
      c.kind = AIRequest::Kind::screenshot;
    } else if (value == "tree") {
      c.kind = AIRequest::Kind::uiTree;
    } else if (value == "displays") {
      c.kind = AIRequest::Kind::displays;
    } else {
      good = false;
    }
  } else if (arg == "--ai-max-size") {
    std::int64_t size = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
    good = error == std::errc() && end == value.data() + value.size() && size > 0;
    c.maxSize = size;
  } else {
    good = !(c.outFile = value).empty();
  }
  return true;
}

void AIMode::begin(std::shared_ptr<NVConnection> conn, Emit emit) {
  conn_ = std::move(conn);
  emit_ = std::move(emit);
  conn_->sendJSON(
      MessageType::aiRequest,
      AIRequest{.id = helloID, .kind = AIRequest::Kind::hello, .agentName = "ombrel-client"});
  conn_->sendJSON(MessageType::aiRequest,
                  AIRequest{.id = questionID, .kind = config_.kind, .maxSize = config_.maxSize});
}

bool AIMode::handle(MessageType type, const Bytes& body) {
  if (type != MessageType::aiResponse) return false;
  auto response = NVJSON::tryDecode<AIResponse>(body);
  if (!response) return false;
  if (response->id == questionID) {
    report(*response);
    conn_->sendJSON(MessageType::aiRequest,
                    AIRequest{.id = goodbyeID, .kind = AIRequest::Kind::goodbye});
  } else if (response->id == goodbyeID) {
    conn_->close();
  }
  return true;
}

void AIMode::report(const AIResponse& response) {
  answeredOK_ = response.ok;
  nlohmann::json event{{"event", "aiResponse"},
                       {"kind", rawValue(config_.kind)},
                       {"id", response.id},
                       {"ok", response.ok}};
  if (response.error) event["error"] = *response.error;
  if (response.pointWidth) event["pointWidth"] = *response.pointWidth;
  if (response.pointHeight) event["pointHeight"] = *response.pointHeight;
  if (response.png) {
    event["pngBytes"] = response.png->size();
    if (auto size = pngSize(*response.png)) {
      event["width"] = size->first;
      event["height"] = size->second;
    }
    if (!config_.outFile.empty()) {
      std::ofstream out(config_.outFile, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(response.png->data()),
                static_cast<std::streamsize>(response.png->size()));
      if (out) event["saved"] = config_.outFile;
    }
  }
  if (response.app) event["app"] = *response.app;
  if (response.tree) {
    nlohmann::json tree;
    toJSON(tree, *response.tree);
    event["tree"] = std::move(tree);
  }
  if (response.displays) {
    nlohmann::json displays = nlohmann::json::array();
    for (const auto& display : *response.displays) {
      nlohmann::json one;
      toJSON(one, display);
      displays.push_back(std::move(one));
    }
    event["displays"] = std::move(displays);
  }
  emit_(event);
}

}  // namespace ombrel
