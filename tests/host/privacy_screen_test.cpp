#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/screen/fake/fake_color_transfer_tables.h"
#include "Ombrel_Remote_Host/screen/linux/x11_gamma_tables.h"
#include "Ombrel_Remote_Host/screen/privacy_screen.h"
#include "host/x11_test_client.h"

namespace ombrel {
namespace {

TEST(PrivacyScreen, LoadsTheTablesOncePerChangeAndRestoresAtTheEnd) {
  auto counts = std::make_shared<FakeColorTransferTables::Counts>();
  {
    PrivacyScreen screen(std::make_unique<FakeColorTransferTables>(counts));
    EXPECT_FALSE(screen.isOn());
    screen.set(false);
    EXPECT_EQ(counts->restores, 0);
    screen.set(true);
    screen.set(true);
    EXPECT_TRUE(screen.isOn());
    EXPECT_EQ(counts->blanks, 1);
    screen.set(false);
    screen.set(false);
    EXPECT_EQ(counts->restores, 1);
    screen.set(true);
    EXPECT_EQ(counts->blanks, 2);
  }
  // Left on when the process ends: the displays get their picture back.
  EXPECT_EQ(counts->restores, 2);
}

struct Ramp {
  std::vector<unsigned short> red, green, blue;
  bool operator==(const Ramp&) const = default;
};

Ramp readRamp(Display* display, RRCrtc crtc) {
  XRRCrtcGamma* g = XRRGetCrtcGamma(display, crtc);
  Ramp ramp{
      {g->red, g->red + g->size}, {g->green, g->green + g->size}, {g->blue, g->blue + g->size}};
  XRRFreeGamma(g);
  return ramp;
}

TEST(PrivacyScreenOnXvfb, ZeroesEveryRampAndPutsTheOldOnesBack) {
  test::XvfbServer server;
  ASSERT_TRUE(server.ok());
  test::X11TestClient client(server.display());
  RRCrtc crtc = client.firstCrtc();
  int size = XRRGetCrtcGammaSize(client.display(), crtc);
  ASSERT_GT(size, 0);
  // A distinct ramp per channel, so that a restore that mixes them up shows.
  XRRCrtcGamma* g = XRRAllocGamma(size);
  for (int i = 0; i < size; ++i) {
    g->red[i] = static_cast<unsigned short>(i * 257);
    g->green[i] = static_cast<unsigned short>(i * 200);
    g->blue[i] = static_cast<unsigned short>(65535 - i * 257);
  }
  XRRSetCrtcGamma(client.display(), crtc, g);
  XRRFreeGamma(g);
  XSync(client.display(), False);
  Ramp original = readRamp(client.display(), crtc);
  ASSERT_NE(original.red[size - 1], 0);

  PrivacyScreen screen(X11GammaTables::open(server.display()));
  screen.set(true);
  Ramp zero{std::vector<unsigned short>(static_cast<std::size_t>(size), 0),
            std::vector<unsigned short>(static_cast<std::size_t>(size), 0),
            std::vector<unsigned short>(static_cast<std::size_t>(size), 0)};
  EXPECT_EQ(readRamp(client.display(), crtc), zero);
  screen.set(true);
  screen.set(false);
  EXPECT_EQ(readRamp(client.display(), crtc), original);

  // Blanking twice in a row without a restore between must not keep the zero ramps.
  X11GammaTables tables(x11::Connection::open(server.display()));
  tables.blank();
  tables.blank();
  tables.restore();
  EXPECT_EQ(readRamp(client.display(), crtc), original);
}

}  // namespace
}  // namespace ombrel
