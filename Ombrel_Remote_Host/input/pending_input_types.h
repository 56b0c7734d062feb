#pragma once

// Stand-ins for the protocol library's input enumerations until they land there.
namespace ombrel {
enum class MouseButton : int { left = 0, right = 1, middle = 2 };
enum class ScrollPhase : int { none = 0, began = 1, changed = 2, ended = 3, momentum = 4 };
}  // namespace ombrel
