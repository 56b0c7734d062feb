#pragma once

// `ombrel-client --ai screenshot|tree|displays [--ai-max-size N] [--out FILE]`: once the host
// has authorized the client, the agent introduces itself (`hello`, as "ombrel-client"), asks
// its one question, prints the answer and says `goodbye` before it closes.
//
// Events: {"event":"aiResponse","kind":"screenshot","id":2,"ok":B,"error":"..."} with, by
// kind, "pointWidth", "pointHeight", "pngBytes", "width", "height" (the PNG's pixels) and
// "saved" (the file written); "app" and "tree" (the UINode tree as JSON); "displays". The exit
// status is 1 when the answer said no or never came.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OmbrelKit/ai_messages.h"
#include "client_session.h"

namespace ombrel {

class AIMode : public ClientMode {
 public:
  struct Config {
    AIRequest::Kind kind = AIRequest::Kind::screenshot;
    std::optional<std::int64_t> maxSize;
    std::string outFile;  // the screenshot's PNG
  };

  explicit AIMode(Config config) : config_(std::move(config)) {}

  // Parses one AI argument at argv[i] (advancing i past its value). True when it was one;
  // `good` tells whether it parsed. The first one makes `mode` an AIMode.
  static bool parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                            bool& good);

  void begin(std::shared_ptr<NVConnection> conn, Emit emit) override;
  bool handle(MessageType type, const Bytes& body) override;
  int status() const override { return answeredOK_ ? 0 : 1; }

 private:
  static constexpr std::int64_t helloID = 1;
  static constexpr std::int64_t questionID = 2;
  static constexpr std::int64_t goodbyeID = 3;

  void report(const AIResponse& response);

  Config config_;
  std::shared_ptr<NVConnection> conn_;
  Emit emit_;
  bool answeredOK_ = false;
};

}  // namespace ombrel
