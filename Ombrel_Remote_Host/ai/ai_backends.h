#pragma once

#include <memory>

#include "Ombrel_Remote_Host/ai/ui_tree_source.h"

namespace ombrel {

// The desktop's accessibility tree reader; null when the build has no AT-SPI backend.
// Defined in backends/.
std::unique_ptr<UITreeSource> openUITreeSource();

}  // namespace ombrel
