#pragma once

// `ombrel-client --input SCRIPT`: once the host has answered, the script's input events are sent
// in order (input_script.h), its waits kept, then {"event":"inputSent","events":N} is printed.
// Caret reports of the host are printed as {"event":"caret","x":X,"y":Y,"visible":B}.

#include <memory>
#include <string>
#include <vector>

#include "client_mode.h"
#include "input_script.h"

namespace ombrel {

class Timer;

class InputMode : public ClientMode {
 public:
  explicit InputMode(std::vector<InputScriptStep> steps) : steps_(std::move(steps)) {}
  ~InputMode() override;

  // Reads SCRIPT (a file, or "-" for standard input) and parses it. Null after printing
  // "ombrel-client: SCRIPT: line N: ..." (or why it could not be read) on standard error.
  static std::shared_ptr<InputMode> load(const std::string& script);

  void start(ClientSession& session) override;
  bool handle(ClientSession& session, MessageType type, const Bytes& body) override;

 private:
  void next(ClientSession& session);

  const std::vector<InputScriptStep> steps_;
  std::size_t position_ = 0;
  int sent_ = 0;
  std::shared_ptr<Timer> wait_;
};

}  // namespace ombrel
