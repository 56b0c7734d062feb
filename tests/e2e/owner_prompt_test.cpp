// The host's own terminal on the desktop it shares: `ombrel-host --headless` runs in an xterm on
// a private Xvfb, and a paired client types into that xterm through its session's remote input.
// Its answer to a pairing card must not count; the owner's, typed at the computer, must.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "e2e/host_process.h"
#include "support/temp_home.h"
#include "support/xvfb_server.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ClientRun;
using test::HostProcess;

constexpr const char* kTitle = "ombrel-host-terminal";

// The host in an xterm: its standard input is the terminal, its output goes to the terminal and
// to a log file the test follows.
class HostInTerminal {
 public:
  HostInTerminal(const std::filesystem::path& root, const std::string& display)
      : display_(display), log_(root / "host.log") {
    std::filesystem::create_directories(root);
    std::ofstream{log_};
    auto env = HostProcess::hermetic(root);
    env["DISPLAY"] = display;
    terminal_.emplace(
        std::vector<std::string>{"xterm", "-T", kTitle, "-geometry", "120x40+0+0", "-e", "sh", "-c",
                                 "\"$0\" --headless --port 0 2>&1 | tee -a \"$1\"",
                                 test::hostProgram(), log_.string()},
        ChildProcess::Options{.env = env});
    output_.emplace(std::vector<std::string>{"tail", "-F", "-n", "+1", log_.string()},
                    ChildProcess::Options{.captureStdout = true});
    if (auto line = waitFor("listening port=")) {
      port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->find('=') + 1)));
    }
  }
  ~HostInTerminal() {
    terminal_.reset();  // the host gets SIGHUP from its terminal and stops
    output_.reset();
  }

  std::uint16_t port() const { return port_; }

  std::optional<std::string> waitFor(std::string_view needle,
                                     std::chrono::milliseconds limit = 20s) {
    return HostProcess::waitForLine(*output_, lines_, needle, limit);
  }

  // Runs xdotool on the desktop: the person at the computer (another XTest client, not the
  // host's injector).
  bool xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    ChildProcess run(args, {.env = {{"DISPLAY", display_}}});
    return run.wait(20s) == 0;
  }
  bool focus() {
    return xdotool({"search", "--sync", "--name", kTitle, "windowfocus", "--sync", "%1"});
  }
  bool typeLocally(const std::string& key) { return xdotool({"key", key, "Return"}); }

 private:
  std::string display_;
  std::filesystem::path log_;
  std::optional<ChildProcess> terminal_;
  std::optional<ChildProcess> output_;
  std::vector<std::string> lines_;
  std::uint16_t port_ = 0;
};

class OwnerPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << "Xvfb did not start";
    ASSERT_TRUE(test::programExists("xterm")) << "xterm is not installed";
    host.emplace(home.root() / "host", xvfb.display());
    ASSERT_NE(host->port(), 0) << "the host did not report its port";
    ASSERT_TRUE(host->focus()) << "no xterm window to focus";

    ClientRun pairing(home.root() / "owner", host->port(), {"--pair", "--name", "Owner"});
    ASSERT_TRUE(host->waitFor("[Owner "));
    std::this_thread::sleep_for(3200ms);  // the card's arming runs on the host's real clock
    ASSERT_TRUE(host->typeLocally("o"));
    ASSERT_EQ(pairing.finish(), 0) << "the owner's own answer at the terminal was not taken";
  }

  test::XvfbServer xvfb{"1280x720x24"};
  test::TempHome home;
  std::optional<HostInTerminal> host;
};

TEST_F(OwnerPromptTest, RemoteInputCannotAnswerTheCardTheOwnerStillCan) {
  ClientRun second(home.root() / "second", host->port(), {"--pair", "--name", "Second"});
  ASSERT_TRUE(host->waitFor("[Second "));
  std::this_thread::sleep_for(3200ms);

  const auto script = home.root() / "answer.txt";
  std::ofstream(script) << "key o\nkey enter\n";
  ClientRun driver(home.root() / "owner", host->port(),
                   {"--input", script.string(), "--linger", "0.5"});
  ASSERT_TRUE(driver.waitFor("inputSent"));
  EXPECT_EQ(driver.finish(), 0);

  auto refusal = host->waitFor("不算數");
  ASSERT_TRUE(refusal) << "the remotely typed answer was taken";
  EXPECT_TRUE(host->waitFor("[Second ")) << "the card is asked again";
  EXPECT_FALSE(second.waitFor("pairResult", 1500ms)) << "the pairing was answered";

  // The remote input has stopped for longer than half a second; the owner answers.
  ASSERT_TRUE(host->typeLocally("o"));
  auto result = second.waitFor("pairResult");
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["ok"], true);
  EXPECT_TRUE(host->waitFor("已允許。"));
}

}  // namespace
}  // namespace ombrel
