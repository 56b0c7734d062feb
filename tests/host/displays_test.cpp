#include <gtest/gtest.h>

#include <algorithm>

#include "Ombrel_Remote_Host/linux/x11/edid.h"
#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"
#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/screen/fake/fake_display_configuration.h"
#include "host/x11_test_client.h"
#include "host/xvfb_desktop_fixture.h"

namespace ombrel {
namespace {

Bytes edidWithDescriptor(int slot, std::vector<std::uint8_t> descriptor) {
  Bytes edid(128, 0);
  const std::uint8_t header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(std::begin(header), std::end(header), edid.begin());
  std::copy(descriptor.begin(), descriptor.end(), edid.begin() + 54 + 18 * slot);
  return edid;
}

std::vector<std::uint8_t> nameDescriptor(std::string name) {
  std::vector<std::uint8_t> d(5 + name.size(), 0);
  d[3] = 0xFC;
  std::copy(name.begin(), name.end(), d.begin() + 5);
  return d;
}

TEST(EdidMonitorName, ReadsTheNameDescriptorAndRejectsMalformedBlocks) {
  // Serial-number descriptor (0xFF) first, name in the third slot, ended by a line feed.
  Bytes named = edidWithDescriptor(2, nameDescriptor("DELL U2720Q\n   "));
  std::copy_n(std::vector<std::uint8_t>{0, 0, 0, 0xFF, 0, '1', '2'}.begin(), 7, named.begin() + 54);
  EXPECT_EQ(edidMonitorName(named), "DELL U2720Q");
  // Thirteen characters fill the descriptor without a terminator.
  EXPECT_EQ(edidMonitorName(edidWithDescriptor(0, nameDescriptor("ABCDEFGHIJKLM"))),
            "ABCDEFGHIJKLM");

  Bytes shortBlock = edidWithDescriptor(0, nameDescriptor("X\n"));
  shortBlock.resize(127);
  Bytes badHeader = edidWithDescriptor(0, nameDescriptor("X\n"));
  badHeader[0] = 1;
  struct Case {
    const char* what;
    Bytes edid;
  } refused[] = {
      {"short", shortBlock},
      {"bad header", badHeader},
      {"no name descriptor", edidWithDescriptor(0, {0, 0, 0, 0xFE, 0, 'x', '\n'})},
      {"blank name", edidWithDescriptor(1, nameDescriptor("   \n"))},
      {"control byte", edidWithDescriptor(1, nameDescriptor("A\x01"
                                                            "B\n"))},
  };
  for (auto& c : refused) EXPECT_EQ(edidMonitorName(c.edid), std::nullopt) << c.what;
}

class DisplaysOnXvfb : public test::XvfbDesktopTest {};

TEST_F(DisplaysOnXvfb, ListsTheScreenMonitorWithFallbacks) {
  auto displays = configuration_->displays();
  ASSERT_EQ(displays.size(), 1u);
  const auto& d = displays[0];
  // The monitor is named after Xvfb's one output; its id is that name's atom.
  EXPECT_EQ(d.id, static_cast<std::uint32_t>(client_->atom("screen")));
  EXPECT_EQ(d.name, "screen");
  EXPECT_EQ(d.pixelWidth, 5120);
  EXPECT_EQ(d.pixelHeight, 2880);
  EXPECT_EQ(d.pointWidth, 5120.0);
  EXPECT_EQ(d.pointHeight, 2880.0);
  // Xvfb's mode has no timings: the rate falls back to 60.
  EXPECT_EQ(d.refreshRate, 60.0);
  // No primary output is set: the monitor at the origin is the main one.
  EXPECT_TRUE(d.isMain);
}

TEST_F(DisplaysOnXvfb, SecondMonitorModeRateAndPrimary) {
  client_->setOutputMode(1920, 1080);
  client_->setMonitor("SIDE", 1920, 0, 1280, 1024);
  auto displays = configuration_->displays();
  ASSERT_EQ(displays.size(), 2u);
  auto screen =
      std::find_if(displays.begin(), displays.end(), [](auto& d) { return d.name == "screen"; });
  auto side =
      std::find_if(displays.begin(), displays.end(), [](auto& d) { return d.name == "SIDE"; });
  ASSERT_NE(screen, displays.end());
  ASSERT_NE(side, displays.end());
  EXPECT_EQ(screen->pixelWidth, 1920);
  EXPECT_EQ(screen->pixelHeight, 1080);
  EXPECT_NEAR(screen->refreshRate, 60.0, 1e-9);
  EXPECT_TRUE(screen->isMain);
  EXPECT_EQ(side->id, static_cast<std::uint32_t>(client_->atom("SIDE")));
  EXPECT_EQ(side->pixelWidth, 1280);
  EXPECT_EQ(side->refreshRate, 60.0);
  EXPECT_FALSE(side->isMain);

  auto layout = configuration_->layout();
  ASSERT_EQ(layout.size(), 2u);
  EXPECT_TRUE(std::count(layout.begin(), layout.end(), DisplayRect{side->id, 1920, 0, 1280, 1024}));

  // Ids stay the same while the layout changes; the primary output becomes the main display.
  XRRSetOutputPrimary(client_->display(), client_->root(), 0);
  client_->setMonitor("SIDE", 0, 1080, 1280, 1024);
  XRRScreenResources* r = XRRGetScreenResourcesCurrent(client_->display(), client_->root());
  XRRSetOutputPrimary(client_->display(), client_->root(), r->outputs[0]);
  XRRFreeScreenResources(r);
  XSync(client_->display(), False);
  auto again = configuration_->displays();
  ASSERT_EQ(again.size(), 2u);
  for (auto& d : again) {
    EXPECT_TRUE(d.id == screen->id || d.id == side->id);
    EXPECT_EQ(d.isMain, d.id == screen->id);
  }
}

TEST(Displays, AllReadsTheChosenPlatform) {
  auto fake = std::make_shared<FakeDisplayConfiguration>();
  fake->addDisplay(7, 0, 0, 2560, 1440);
  Displays::usePlatform(fake);
  auto all = Displays::all();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].id, 7u);
  EXPECT_EQ(all[0].name, "螢幕 7");
  Displays::usePlatform(nullptr);
}

}  // namespace
}  // namespace ombrel
