#include "input_script.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "OmbrelKit/hid.h"

namespace ombrel {
namespace {

using Step = InputScriptStep;

const std::map<std::string, std::uint16_t, std::less<>>& keyNames() {
  static const std::map<std::string, std::uint16_t, std::less<>> names = {
      {"enter", HID::returnKey},
      {"return", HID::returnKey},
      {"escape", HID::escape},
      {"esc", HID::escape},
      {"backspace", HID::backspace},
      {"tab", HID::tab},
      {"space", HID::space},
      {"capslock", HID::capsLock},
      {"insert", HID::insert},
      {"delete", HID::deleteForward},
      {"home", HID::home},
      {"end", HID::end},
      {"pageup", HID::pageUp},
      {"pagedown", HID::pageDown},
      {"left", HID::left},
      {"right", HID::right},
      {"up", HID::up},
      {"down", HID::down},
      {"shift", HID::leftShift},
      {"ctrl", HID::leftControl},
      {"control", HID::leftControl},
      {"alt", HID::leftAlt},
      {"super", HID::leftGUI},
      {"cmd", HID::leftGUI},
      {"rshift", HID::rightShift},
      {"rctrl", HID::rightControl},
      {"ralt", HID::rightAlt},
      {"rsuper", HID::rightGUI},
      {"volumeup", HID::volumeUp},
      {"volumedown", HID::volumeDown},
      {"mute", HID::mute},
  };
  return names;
}

std::optional<MouseButton> buttonNamed(std::string_view name) {
  if (name == "left") return MouseButton::left;
  if (name == "right") return MouseButton::right;
  if (name == "middle") return MouseButton::middle;
  return std::nullopt;
}

class LineParser {
 public:
  LineParser(std::size_t number, std::string_view line) : number_(number), line_(line) {}

  void parse(std::vector<Step>& out) {
    const std::vector<std::string_view> words = split(line_);
    if (words.empty() || words[0].front() == '#') return;
    const std::string_view command = words[0];
    const std::vector<std::string_view> args(words.begin() + 1, words.end());
    auto event = [&](InputEvent::Case value) {
      out.push_back(Step{.event = InputEvent{std::move(value)}});
    };
    if (command == "move") {
      arity(args, 2, 2);
      const double x = number(args[0]), y = number(args[1]);
      if (x < 0 || x > 1 || y < 0 || y > 1) fail("move takes coordinates from 0 to 1");
      event(InputEvent::MoveTo{x, y});
    } else if (command == "moveby") {
      arity(args, 2, 2);
      event(InputEvent::MoveBy{number(args[0]), number(args[1])});
    } else if (command == "click") {
      arity(args, 0, 2);
      MouseButton b = MouseButton::left;
      std::size_t next = 0;
      if (next < args.size() && !std::isdigit(static_cast<unsigned char>(args[next][0]))) {
        b = button(args[next++]);
      }
      const double count = next < args.size() ? number(args[next++]) : 1;
      if (next != args.size()) fail("click takes a button and a count");
      if (count < 1 || count > 10 || count != std::floor(count)) {
        fail("a click count is a whole number from 1 to 10");
      }
      for (int i = 0; i < static_cast<int>(count); ++i) {
        event(InputEvent::Button{b, true});
        event(InputEvent::Button{b, false});
      }
    } else if (command == "down" || command == "up") {
      arity(args, 1, 1);
      const bool down = command == "down";
      if (auto b = buttonNamed(args[0])) {
        event(InputEvent::Button{*b, down});
      } else {
        event(InputEvent::Key{key(args[0]), down});
      }
    } else if (command == "scroll") {
      arity(args, 2, 2);
      event(InputEvent::Scroll{number(args[0]), number(args[1]), ScrollPhase::none});
    } else if (command == "key") {
      if (args.empty()) fail("key needs a key name");
      const std::uint16_t main = key(args[0]);
      std::vector<std::uint16_t> modifiers;
      for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i].front() != '+') fail("modifiers are written +shift, +ctrl, +alt, +super");
        std::string_view rest = args[i];
        while (!rest.empty()) {
          rest.remove_prefix(1);  // '+'
          const auto end = rest.find('+');
          const std::string_view name = rest.substr(0, end);
          rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
          const std::uint16_t m = key(name);
          if (!HID::isModifier(m)) fail("\"" + std::string(name) + "\" is not a modifier");
          modifiers.push_back(m);
        }
      }
      for (std::uint16_t m : modifiers) event(InputEvent::Key{m, true});
      event(InputEvent::Key{main, true});
      event(InputEvent::Key{main, false});
      for (auto m = modifiers.rbegin(); m != modifiers.rend(); ++m) {
        event(InputEvent::Key{*m, false});
      }
    } else if (command == "text") {
      event(InputEvent::Text{quoted()});
    } else if (command == "releaseAll") {
      arity(args, 0, 0);
      event(InputEvent::ReleaseAll{});
    } else if (command == "wait") {
      arity(args, 1, 1);
      const double ms = number(args[0]);
      if (ms < 0 || ms > 600000) fail("wait takes 0 to 600000 milliseconds");
      out.push_back(Step{.kind = Step::Kind::wait, .waitSeconds = ms / 1000});
    } else {
      fail("unknown command \"" + std::string(command) + "\"");
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw InputScript::Error("line " + std::to_string(number_) + ": " + what);
  }

  static std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
      const std::size_t start = i;
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
      if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
  }

  void arity(const std::vector<std::string_view>& args, std::size_t least, std::size_t most) const {
    if (args.size() < least || args.size() > most) fail("wrong number of arguments");
  }

  double number(std::string_view word) const {
    const std::string text(word);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
      fail("\"" + text + "\" is not a number");
    }
    return value;
  }

  MouseButton button(std::string_view name) const {
    if (auto b = buttonNamed(name)) return *b;
    fail("unknown button \"" + std::string(name) + "\" (left, right, middle)");
  }

  std::uint16_t key(std::string_view name) const {
    if (name.size() == 1) {
      // The key that carries the character on a US layout; capitals name their letter.
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
      if (auto stroke = HID::fromCharacter(static_cast<unsigned char>(c))) return stroke->usage;
    }
    const auto& names = keyNames();
    if (auto it = names.find(name); it != names.end()) return it->second;
    if (name.size() >= 2 && (name[0] == 'f' || name[0] == 'F')) {
      const std::string digits(name.substr(1));
      if (digits.find_first_not_of("0123456789") == std::string::npos && digits.size() <= 2) {
        if (auto usage = HID::fKey(std::stoi(digits))) return *usage;
      }
    }
    if (name.size() > 2 && name.substr(0, 2) == "0x") {
      const std::string hex(name.substr(2));
      char* end = nullptr;
      const unsigned long usage = std::strtoul(hex.c_str(), &end, 16);
      if (end == hex.c_str() + hex.size() && hex.size() <= 4 && usage <= 0xFFFF) {
        return static_cast<std::uint16_t>(usage);
      }
    }
    fail("unknown key \"" + std::string(name) + "\"");
  }

  // The text of `text "..."`: everything between the first and the last quote, unescaped.
  std::string quoted() const {
    const std::size_t open = line_.find('"');
    const std::size_t close = line_.rfind('"');
    if (open == std::string_view::npos || close == open ||
        line_.find_first_not_of(" \t\r", close + 1) != std::string_view::npos) {
      fail("text takes one quoted string: text \"...\"");
    }
    std::string out;
    for (std::size_t i = open + 1; i < close; ++i) {
      char c = line_[i];
      if (c == '\\') {
        if (++i == close) fail("a backslash ends the text");
        switch (line_[i]) {
          case 'n':
            c = '\n';
            break;
          case 't':
            c = '\t';
            break;
          case '"':
          case '\\':
            c = line_[i];
            break;
          default:
            fail("unknown escape \\" + std::string(1, line_[i]) + " (\\\" \\\\ \\n \\t)");
        }
      } else if (c == '"') {
        fail("a quote inside the text must be written \\\"");
      }
      out += c;
    }
    return out;
  }

  const std::size_t number_;
  const std::string_view line_;
};

}  // namespace

std::vector<InputScriptStep> InputScript::parse(std::string_view text) {
  std::vector<InputScriptStep> steps;
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    LineParser(++number, text.substr(start, end - start)).parse(steps);
    start = end + 1;
  }
  return steps;
}

}  // namespace ombrel
