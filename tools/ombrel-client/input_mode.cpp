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

void InputMode::begin(std::shared_ptr<NVConnection> conn, Emit emit) {
  conn_ = std::move(conn);
  emit_ = std::move(emit);
  next();
}

void InputMode::next() {
  std::weak_ptr<InputMode> weak = weak_from_this();
  while (position_ < steps_.size()) {
    const InputScriptStep& step = steps_[position_++];
    if (step.kind == InputScriptStep::Kind::wait) {
      wait_ = conn_->queue()->after(step.waitSeconds, [weak] {
        if (auto self = weak.lock()) self->next();
      });
      return;
    }
    conn_->sendJSON(MessageType::input, step.event);
    ++sent_;
  }
  emit_({{"event", "inputSent"}, {"events", sent_}});
  wait_ = conn_->queue()->after(linger_, [weak] {
    if (auto self = weak.lock()) self->conn_->close();
  });
}

void InputMode::end() {
  if (wait_) wait_->cancel();
  wait_.reset();
}

bool InputMode::handle(MessageType type, const Bytes& body) {
  if (type != MessageType::caretPosition) return false;
  auto caret = NVJSON::tryDecode<CursorPosition>(body);
  if (!caret) return false;
  emit_({{"event", "caret"}, {"x", caret->x}, {"y", caret->y}, {"visible", caret->visible}});
  return true;
}

}  // namespace ombrel
