#pragma once

#include <atomic>

#include "Ombrel_Remote_Host/ai/ui_tree_source.h"

namespace ombrel {

// A UITreeSource that answers what the test sets and counts the questions.
//
// Threading: set the answers before the questions start.
class FakeUITreeSource : public UITreeSource {
 public:
  bool isAvailable = true;
  FrontmostTree tree;
  std::atomic<int> queries{0};
  std::atomic<int> lastMaxDepth{0};
  std::atomic<int> lastMaxNodes{0};

  bool available() override { return isAvailable; }
  FrontmostTree frontmostTree(int maxDepth, int maxNodes) override {
    ++queries;
    lastMaxDepth = maxDepth;
    lastMaxNodes = maxNodes;
    return tree;
  }
};

}  // namespace ombrel
