#include "input_mode.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OmbrelKit/messages.h"
#include "base/serial_queue.h"
#include "base/timer.h"
#include "client_session.h"

namespace ombrel {

InputMode::~InputMode() {
  if (wait_) wait_->cancel();
}

std::shared_ptr<InputMode> InputMode::load(const std::string& script) {
  std::string text;
  if (script == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream file(script, std::ios::binary);
    if (!file) {
      std::cerr << "ombrel-client: cannot read the input script " << script << "\n";
      return nullptr;
    }
    std::ostringstream all;
    all << file.rdbuf();
    text = all.str();
  }
  try {
    return std::make_shared<InputMode>(InputScript::parse(text));
  } catch (const InputScript::Error& error) {
    std::cerr << "ombrel-client: " << script << ": " << error.what() << "\n";
    return nullptr;
  }
}

void InputMode::start(ClientSession& session) { next(session); }

void InputMode::next(ClientSession& session) {
  while (position_ < steps_.size()) {
    const InputScriptStep& step = steps_[position_++];
    if (step.kind == InputScriptStep::Kind::wait) {
      // The session owns this mode: while it lives, so does `this`.
      auto self = session.weak_from_this();
      wait_ = session.connection().queue()->after(step.waitSeconds, [this, self] {
        if (auto s = self.lock()) next(*s);
      });
      return;
    }
    session.connection().sendJSON(MessageType::input, step.event);
    ++sent_;
  }
  session.emit({{"event", "inputSent"}, {"events", sent_}});
  session.modeFinished();
}

bool InputMode::handle(ClientSession& session, MessageType type, const Bytes& body) {
  if (type != MessageType::caretPosition) return false;
  auto caret = NVJSON::tryDecode<CursorPosition>(body);
  if (!caret) return false;
  session.emit({{"event", "caret"}, {"x", caret->x}, {"y", caret->y}, {"visible", caret->visible}});
  return true;
}

}  // namespace ombrel
