#pragma once

#include <memory>
#include <vector>

#include "OmbrelKit/display_info.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"

namespace ombrel {

// The process's view of its displays. The platform configuration is opened on first use (X11
// on $DISPLAY); without a desktop there is none and the display list is empty.
//
// Threading: any thread.
class Displays {
 public:
  // The active displays, in the platform's order.
  static std::vector<DisplayInfo> all();

  // The configuration all() reads; nullptr without a desktop.
  static std::shared_ptr<DisplayConfiguration> platform();
  // Replaces the platform configuration (another backend, or a fake in tests); nullptr goes
  // back to opening the default one on next use.
  static void usePlatform(std::shared_ptr<DisplayConfiguration> configuration);
};

}  // namespace ombrel
