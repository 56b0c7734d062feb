// The clipboard sync through the real ombrel-host on a desktop of its own (Xvfb): xclip plays
// the desktop's applications that copy and read, a GTK entry takes a remote paste, and a paired
// ombrel-client sends and prints clipboard messages.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "e2e/paired_desktop.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// A focused GTK entry that prints "focused" once it has the keyboard and then every text it
// holds, one line each.
constexpr const char* kEntryScript = R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
win = Gtk.Window(title='clipboard target')
win.set_default_size(400, 80)
entry = Gtk.Entry()
win.add(entry)
win.connect('focus-in-event', lambda *a: print('focused', flush=True))
entry.connect('changed', lambda e: print('text ' + e.get_text(), flush=True))
win.connect('map-event', lambda *a: win.get_window().focus(Gdk.CURRENT_TIME))
win.show_all()
Gtk.main()
)";

class ClipboardE2ETest : public test::PairedDesktopTest {
 protected:
  // What `xclip -o` reads from the desktop's clipboard once it reads `expected`, or the last
  // reading when it never does within the limit.
  std::string clipboardOnceItReads(const std::string& expected) {
    std::string read;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      test::ChildProcess xclip({"xclip", "-o", "-selection", "clipboard"},
                               {.env = desktopEnv(), .captureStdout = true});
      read = xclip.readAll(10s);
      if (read == expected) break;
      std::this_thread::sleep_for(100ms);
    }
    return read;
  }

  // An application that owns the clipboard with `data` of `mimeType` until another takes it.
  std::unique_ptr<test::ChildProcess> copy(std::string_view data,
                                           const std::string& mimeType = "UTF8_STRING") {
    const auto file = home.root() / "copied";
    std::ofstream(file, std::ios::binary) << data;
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t", mimeType, "-i",
                                 file.string()},
        test::ChildProcess::Options{.env = desktopEnv()});
  }
};

TEST_F(ClipboardE2ETest, ClientTextReachesTheDesktopOnceAndDesktopTextAndImagesReachTheClient) {
  const std::string fromClient = "從手機來的 text";
  // The stream keeps the host polling the desktop's clipboard.
  auto client =
      owner({"--clipboard-text", fromClient, "--stream", "--codec", "h264", "--seconds", "60"});
  ASSERT_TRUE(client.waitFor("streamStarted", 30s));
  EXPECT_EQ(clipboardOnceItReads(fromClient), fromClient);

  // Polls have run since the write: the client's own text did not come back. The next copy
  // on the desktop is what arrives first.
  std::this_thread::sleep_for(1500ms);
  const std::string fromDesktop = "桌面複製 copy";
  auto copier = copy(fromDesktop);
  auto received = client.waitFor("clipboard", 30s);
  ASSERT_TRUE(received) << "no clipboard message";
  EXPECT_EQ((*received)["text"], fromDesktop);

  std::vector<std::uint8_t> rgba(16 * 8 * 4, 0x80);
  const Bytes png = encodeRGBAPNG(rgba.data(), 16, 8, 16 * 4);
  ASSERT_FALSE(png.empty());
  auto imageCopier =
      copy(std::string_view(reinterpret_cast<const char*>(png.data()), png.size()), "image/png");
  auto image = client.waitFor("clipboardImage", 30s);
  ASSERT_TRUE(image) << "no clipboard image";
  EXPECT_EQ((*image)["bytes"], png.size());
}

TEST_F(ClipboardE2ETest, APastedTextArrivesInTheFocusedEntry) {
  test::ChildProcess entry({"/usr/bin/python3", "-c", kEntryScript},
                           {.env = desktopEnv(), .captureStdout = true, .quiet = false});
  std::vector<std::string> lines;
  ASSERT_TRUE(test::HostProcess::waitForLine(entry, lines, "focused", 30s))
      << "the GTK entry did not start (python3-gi, gir1.2-gtk-3.0)";

  const std::string pasted = "貼上 pasted";
  auto client = owner({"--clipboard-text", pasted, "--paste", "--linger", "1"});
  EXPECT_TRUE(test::HostProcess::waitForLine(entry, lines, "text " + pasted, 30s))
      << "the entry holds: " << (lines.empty() ? "" : lines.back());
  EXPECT_EQ(client.finish(), 0);
  EXPECT_EQ(clipboardOnceItReads(pasted), pasted);
}

}  // namespace
}  // namespace ombrel
