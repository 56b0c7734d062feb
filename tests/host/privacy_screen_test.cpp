#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Ombrel_Remote_Host/linux/x11/gamma_watchdog.h"
#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"
#include "Ombrel_Remote_Host/screen/fake/fake_color_transfer_tables.h"
#include "Ombrel_Remote_Host/screen/privacy_screen.h"
#include "base/log.h"
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
  friend void PrintTo(const Ramp& ramp, std::ostream* out) {
    *out << "last entries " << ramp.red.back() << "/" << ramp.green.back() << "/"
         << ramp.blue.back() << " of " << ramp.red.size();
  }
};

Ramp readRamp(Display* display, RRCrtc crtc) {
  XRRCrtcGamma* g = XRRGetCrtcGamma(display, crtc);
  Ramp ramp{
      {g->red, g->red + g->size}, {g->green, g->green + g->size}, {g->blue, g->blue + g->size}};
  XRRFreeGamma(g);
  return ramp;
}

// A distinct ramp per channel, so that a restore that mixes them up shows; `shift` makes
// another one of the same kind.
Ramp setDistinctRamp(Display* display, RRCrtc crtc, int shift = 0) {
  int size = XRRGetCrtcGammaSize(display, crtc);
  XRRCrtcGamma* g = XRRAllocGamma(size);
  for (int i = 0; i < size; ++i) {
    g->red[i] = static_cast<unsigned short>(i * 257 / (shift + 1));
    g->green[i] = static_cast<unsigned short>(i * 200 + shift);
    g->blue[i] = static_cast<unsigned short>(65535 - i * 257);
  }
  XRRSetCrtcGamma(display, crtc, g);
  XRRFreeGamma(g);
  XSync(display, False);
  return readRamp(display, crtc);
}

Ramp zeroRamp(std::size_t size) {
  std::vector<unsigned short> zero(size, 0);
  return {zero, zero, zero};
}

TEST(PrivacyScreenOnXvfb, ZeroesEveryRampAndPutsTheOldOnesBack) {
  test::XvfbServer server;
  ASSERT_TRUE(server.ok());
  test::X11TestClient client(server.display());
  RRCrtc crtc = client.firstCrtc();
  int size = XRRGetCrtcGammaSize(client.display(), crtc);
  ASSERT_GT(size, 0);
  Ramp original = setDistinctRamp(client.display(), crtc);
  ASSERT_NE(original.red[size - 1], 0);

  std::vector<std::string> lines;
  auto sink = log::setSink([&](std::string_view line) { lines.emplace_back(line); });
  PrivacyScreen screen(X11GammaTables::open(server.display()));
  screen.set(true);
  log::setSink(sink);
  // No watchdog beside this test program: the screen still goes black, and says what is lost.
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(GammaWatchdog::kProgram), std::string::npos) << lines[0];
  EXPECT_EQ(readRamp(client.display(), crtc), zeroRamp(static_cast<std::size_t>(size)));
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

TEST(GammaWatchdog, TakesOnlyWholeMessagesAndSeesTheWordToStandDownAfterThem) {
  const std::vector<GammaRamp> ramps{{7, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {9, {0}, {1}, {2}}};
  const std::string message = GammaWatchdog::encode(ramps);
  std::size_t used = 0;
  auto decoded = GammaWatchdog::decode(message + "S", &used);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(used, message.size());
  ASSERT_EQ(decoded->size(), 2u);
  EXPECT_EQ((*decoded)[1].crtc, 9u);
  EXPECT_EQ((*decoded)[0].green, ramps[0].green);
  EXPECT_EQ((*decoded)[0].blue, ramps[0].blue);
  // A host that died while sending had not blanked anything yet: nothing to restore.
  for (std::size_t n = 0; n < message.size(); ++n) {
    EXPECT_FALSE(GammaWatchdog::decode(message.substr(0, n))) << n;
  }
  // A count no display has (the top byte of the little-endian count) is garbage.
  std::string garbled = message + std::string(4096, '\0');
  garbled[7] = '\x7f';
  EXPECT_FALSE(GammaWatchdog::decode(garbled));
}

using namespace std::chrono_literals;

// The children of `parent` running `program` (as /proc shows their names, cut to 15 bytes), or
// all of them.
std::vector<pid_t> childrenNamed(pid_t parent, std::string_view program) {
  std::vector<pid_t> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream file(entry.path() / "stat");
    std::string stat;
    if (!std::getline(file, stat)) continue;
    const auto open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string name = stat.substr(open + 1, close - open - 1);
    char state = 0;
    int ppid = 0;
    std::istringstream(stat.substr(close + 1)) >> state >> ppid;
    if (ppid == parent && (program.empty() || name == program.substr(0, 15))) {
      out.push_back(static_cast<pid_t>(std::stoi(stat)));
    }
  }
  return out;
}

// privacy_screen_holder: the real privacy screen in a process of its own, beside the watchdog.
class Holder {
 public:
  Holder(const std::string& display, bool leaveAChild) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execl(OMBREL_PRIVACY_HOLDER, OMBREL_PRIVACY_HOLDER, display.c_str(),
            leaveAChild ? "--fork" : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~Holder() {
    // A test that gave up on the holder: nothing it started may outlive the test.
    if (pid_ > 0) {
      leftChildren_ = childrenNamed(pid_, {});
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (pid_t child : leftChildren_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    close(input_);
    close(output_);
  }

  pid_t pid() const { return pid_; }
  bool say(std::string_view line) { return write(input_, line.data(), line.size()) > 0; }
  bool waitForLine(std::string_view want) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c = 0;
      if (read(output_, &c, 1) != 1) return false;
      if (c != '\n') {
        line.push_back(c);
      } else if (line == want) {
        return true;
      } else {
        line.clear();
      }
    }
    return false;
  }
  // The exit status, once the holder has ended of itself.
  int finish() {
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // Its own children outlive it, adopted by this test, which ends them at the end.
  void killHard() {
    leftChildren_ = childrenNamed(pid_, "privacy_screen_holder");
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::vector<pid_t> leftChildren_;
};

// The watchdog outlives the holder; adopting orphans lets this test wait for its exit.
bool waitForExit(pid_t pid, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST(PrivacyScreenOnXvfb, TheDisplaysComeBackWhenTheProcessHoldingThemBlackDies) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  test::XvfbServer server;
  ASSERT_TRUE(server.ok());
  test::X11TestClient client(server.display());
  RRCrtc crtc = client.firstCrtc();
  const auto size = static_cast<std::size_t>(XRRGetCrtcGammaSize(client.display(), crtc));
  ASSERT_GT(size, 0u);

  enum class End {
    killed,
    killedLeavingAChild,
    killedAfterTheOwnerSetARamp,
    turnedOff,
    turnedOffWithTheWatchdogStopped
  };
  for (End end : {End::killed, End::killedLeavingAChild, End::killedAfterTheOwnerSetARamp,
                  End::turnedOff, End::turnedOffWithTheWatchdogStopped}) {
    SCOPED_TRACE(static_cast<int>(end));
    Ramp original = setDistinctRamp(client.display(), crtc, static_cast<int>(end));
    // The child keeps the holder's end of the watchdog's socket open: no end of file then.
    Holder holder(server.display(), end == End::killedLeavingAChild);
    ASSERT_GT(holder.pid(), 0);
    ASSERT_TRUE(holder.waitForLine("on"));
    EXPECT_EQ(readRamp(client.display(), crtc), zeroRamp(size));
    const auto watchdogs = childrenNamed(holder.pid(), GammaWatchdog::kProgram);
    EXPECT_EQ(watchdogs.size(), 1u);

    int status = -1;
    switch (end) {
      case End::killed:
      case End::killedLeavingAChild: {
        holder.killHard();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (readRamp(client.display(), crtc) != original &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(readRamp(client.display(), crtc), original);
        ASSERT_EQ(watchdogs.size(), 1u);
        ASSERT_TRUE(waitForExit(watchdogs[0], status));
        EXPECT_EQ(status, 0);
        break;
      }
      case End::killedAfterTheOwnerSetARamp: {
        // Someone set a ramp of their own meanwhile: theirs, not to be overwritten.
        ASSERT_EQ(watchdogs.size(), 1u);
        Ramp owners = setDistinctRamp(client.display(), crtc, 7);
        holder.killHard();
        ASSERT_TRUE(waitForExit(watchdogs[0], status));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(readRamp(client.display(), crtc), owners);
        break;
      }
      case End::turnedOff:
      case End::turnedOffWithTheWatchdogStopped:
        ASSERT_EQ(watchdogs.size(), 1u);
        // A watchdog that cannot answer must not hold up the end of the privacy screen.
        if (end == End::turnedOffWithTheWatchdogStopped) kill(watchdogs[0], SIGSTOP);
        ASSERT_TRUE(holder.say("off\n"));
        ASSERT_TRUE(holder.waitForLine("off"));
        EXPECT_EQ(readRamp(client.display(), crtc), original);
        EXPECT_EQ(holder.finish(), 0);
        // Stood down and reaped by the holder: no watchdog left behind.
        EXPECT_EQ(kill(watchdogs[0], 0), -1);
        EXPECT_EQ(errno, ESRCH);
        break;
    }
  }
}

}  // namespace
}  // namespace ombrel
