#pragma once

// The frontmost application's accessibility tree, reduced to UINodes for the AI channel.
// On Linux: AT-SPI2 (linux/atspi/atspi_ui_tree_source.h); fake/ serves tests.
// openUITreeSource() (ai_backends.h) picks the backend.
//
// Threading: one caller at a time. Every call may block on the accessibility bus (each bus call
// is bounded), so callers run it on the blocking worker, never on the main or a connection
// queue.

#include <optional>
#include <string>

#include "OmbrelKit/ai_messages.h"

namespace ombrel {

class UITreeSource {
 public:
  struct FrontmostTree {
    std::string app;  // the application's name, "" when unknown
    std::optional<UINode> tree;
  };

  virtual ~UITreeSource() = default;

  // Whether the tree can be read at all (an accessibility bus answers).
  virtual bool available() = 0;
  // The tree of the application that owns the focused window, cut at `maxDepth` levels and
  // `maxNodes` nodes; password fields never have their value read.
  virtual FrontmostTree frontmostTree(int maxDepth, int maxNodes) = 0;
};

}  // namespace ombrel
