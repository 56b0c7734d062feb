#pragma once

// `ombrel-client --input SCRIPT`: once the host has answered, the script's input events are sent
// in order (input_script.h), its waits kept, then {"event":"inputSent","events":N} is printed.
// Caret reports of the host are printed as {"event":"caret","x":X,"y":Y,"visible":B}.

#include <memory>
#include <string>
#include <vector>

#include "client_session.h"
#include "input_script.h"

namespace ombrel {

class Timer;

// Closes the connection `linger` seconds after the last event, so caret reports still arrive.
class InputMode : public ClientMode, public std::enable_shared_from_this<InputMode> {
 public:
  explicit InputMode(std::vector<InputScriptStep> steps) : steps_(std::move(steps)) {}
  ~InputMode() override;

  // Reads SCRIPT (a file, or "-" for standard input) and parses it. Null after printing
  // "ombrel-client: SCRIPT: line N: ..." (or why it could not be read) on standard error.
  static std::shared_ptr<InputMode> load(const std::string& script);

  void setLinger(double seconds) { linger_ = seconds; }

  void begin(std::shared_ptr<NVConnection> conn, Emit emit) override;
  bool handle(MessageType type, const Bytes& body) override;
  void end() override;

 private:
  void next();

  const std::vector<InputScriptStep> steps_;
  double linger_ = 0;
  std::shared_ptr<NVConnection> conn_;
  Emit emit_;
  std::size_t position_ = 0;
  int sent_ = 0;
  std::shared_ptr<Timer> wait_;
};

}  // namespace ombrel
