#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/ai/ui_tree_source.h"

namespace ombrel {

// The frontmost application's accessibility tree through AT-SPI2.
//
// Frontmost: the application on the accessibility bus whose process owns the window the user
// works in (`frontmostProcess`, from the X server); when that is unknown or has no accessible
// application, the application with an active (focused) top-level window; else none.
//
// The walk: one counter across the whole tree (`maxNodes`), `maxDepth` levels below the
// application; title = name, else description; value = the text contents, else the value
// interface's text or current value, at most 200 characters; password fields become
// "SecureTextField" and their text interface is never touched; an untitled, valueless "Group"
// with exactly one kept child is replaced by that child; frame = screen extents rounded to one
// decimal. Each bus call is bounded (atspi_access.h); an element that does not answer is left
// out, and once an application has let a call run into its timeout, the rest of its tree is
// left out too, so a hung application costs one timeout, not one per element.
//
// Threading: one caller at a time, never the main queue; each call takes the process-wide
// AT-SPI lock for its whole walk.
class AtspiUITreeSource : public UITreeSource {
 public:
  // The process id owning the focused window, when known.
  using FrontmostProcess = std::function<std::optional<std::int64_t>()>;

  explicit AtspiUITreeSource(FrontmostProcess frontmostProcess);

  // Connects to the accessibility bus on first use; false when there is none.
  bool available() override;
  FrontmostTree frontmostTree(int maxDepth, int maxNodes) override;

 private:
  FrontmostProcess frontmostProcess_;
};

// The role an AT-SPI role is reported as: a name of the AX vocabulary without "AX" where one
// fits, else AT-SPI's own name in UpperCamelCase ("description term" -> "DescriptionTerm").
std::string uiRoleName(int atspiRole);

}  // namespace ombrel
