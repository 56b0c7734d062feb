#pragma once

// A test on a private Xvfb desktop: an X client to draw and reconfigure it, and the display
// configuration the screen layer reads from it.

#include <gtest/gtest.h>

#include <memory>

#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "host/x11_test_client.h"

namespace ombrel::test {

class XvfbDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    client_ = std::make_unique<X11TestClient>(server_.display());
    configuration_ = X11DisplayConfiguration::open(server_.display());
    ASSERT_TRUE(configuration_);
  }

  XvfbServer server_;
  std::unique_ptr<X11TestClient> client_;
  std::shared_ptr<X11DisplayConfiguration> configuration_;
};

}  // namespace ombrel::test
