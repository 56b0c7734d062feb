#pragma once

// The input scripts of `ombrel-client --input SCRIPT`: one command per line, blank lines and
// lines starting with '#' ignored.
//
//   move X Y                 absolute pointer move, X and Y normalised to the display (0..1)
//   moveby DX DY             relative move in points
//   click [BUTTON] [COUNT]   COUNT presses and releases (left, 1 by default)
//   down BUTTON|KEY          press and hold a button (left, right, middle) or a key
//   up BUTTON|KEY            let it go
//   scroll DX DY             continuous scroll in pixels
//   key NAME [+MOD ...]      press and release a key with modifiers held: key a +shift
//   text "..."               type text; \" \\ \n \t inside the quotes
//   releaseAll               let go of everything held
//   wait MS                  pause
//
// Key names: a single letter, digit or US-layout punctuation character, or enter, escape,
// backspace, tab, space, capslock, insert, delete, home, end, pageup, pagedown, left, right,
// up, down, f1..f24, shift, ctrl, alt, super (also cmd), rshift, rctrl, ralt, rsuper,
// volumeup, volumedown, mute, or a usage in hexadecimal (0x04).

#include <stdexcept>
#include <string_view>
#include <vector>

#include "OmbrelKit/input_event.h"

namespace ombrel {

struct InputScriptStep {
  enum class Kind { event, wait };
  Kind kind = Kind::event;
  InputEvent event;
  double waitSeconds = 0;

  bool operator==(const InputScriptStep&) const = default;
};

namespace InputScript {

// Thrown by parse; the text starts with "line N: ".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<InputScriptStep> parse(std::string_view text);

}  // namespace InputScript
}  // namespace ombrel
