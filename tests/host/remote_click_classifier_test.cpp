// The classifier on a real X server: the injector's clicks against another XTest client's.
#include <gtest/gtest.h>
// clang-format off
#include "host/x_test_server.h"
// clang-format on

#include <spawn.h>

#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/linux/x11/remote_click_classifier.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#include "base/log.h"

extern char** environ;

namespace ombrel {
namespace {

using Origin = RemoteClickClassifier::Origin;
using Kind = InjectedEvent::Kind;

class RemoteClickClassifierTest : public xtest::InjectorOnXvfbTest {
 protected:
  void SetUp() override {
    InjectorOnXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    classifier = RemoteClickClassifier::open(injector->record(), server->display(), clock);
    ASSERT_TRUE(classifier);
    classifier->onClassified = [this](const RemoteClickClassifier::Classified& c) {
      seen.push_back(c);
    };
  }

  // Runs xdotool against the test's server and waits for it.
  void xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"DISPLAY=" + server->display(), "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "xdotool", nullptr, nullptr, argv.data(), envp.data()), 0)
        << "xdotool is not installed";
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::vector<Origin> originsOf(Kind kind) const {
    std::vector<Origin> out;
    for (const auto& c : seen) {
      if (c.kind == kind) out.push_back(c.origin);
    }
    return out;
  }

  // Where the latest press came from, once the server has handled all the injector sent
  // (the server serves its clients in no fixed order).
  std::optional<Origin> lastPressOrigin() {
    sink->sync();
    return classifier->lastPressOrigin();
  }

  std::unique_ptr<RemoteClickClassifier> classifier;
  std::vector<RemoteClickClassifier::Classified> seen;
};

TEST_F(RemoteClickClassifierTest, TheInjectorsClicksAreRemoteAnotherXTestClientsAreLocal) {
  injector->moveTo(0.5, 0.5);
  injector->button(MouseButton::left, true);
  injector->button(MouseButton::left, false);
  EXPECT_EQ(lastPressOrigin(), Origin::remote);
  // Same virtual device, same button, while the injector's entries are fresh: still local.
  injector->button(MouseButton::right, true);
  xdotool({"click", "1"});
  EXPECT_EQ(lastPressOrigin(), Origin::local);
  injector->button(MouseButton::right, false);
  injector->button(MouseButton::left, true);
  injector->button(MouseButton::left, false);
  EXPECT_EQ(lastPressOrigin(), Origin::remote);
  EXPECT_EQ(originsOf(Kind::buttonPress),
            (std::vector<Origin>{Origin::remote, Origin::remote, Origin::local, Origin::remote}));
  EXPECT_EQ(originsOf(Kind::buttonRelease),
            (std::vector<Origin>{Origin::remote, Origin::local, Origin::remote, Origin::remote}));
}

TEST_F(RemoteClickClassifierTest, TheInjectorsKeysAreRemoteXdotoolsAreLocal) {
  injector->key(0x04, true);
  injector->key(0x04, false);
  EXPECT_EQ(lastPressOrigin(), Origin::remote);
  xdotool({"key", "a"});
  EXPECT_EQ(lastPressOrigin(), Origin::local);
  EXPECT_EQ(originsOf(Kind::keyRelease), (std::vector<Origin>{Origin::remote, Origin::local}));
}

TEST_F(RemoteClickClassifierTest, EverySessionsInjectorVouchesThroughTheSharedRecord) {
  std::shared_ptr<X11InputSink> secondSink = X11InputSink::open(server->display());
  ASSERT_TRUE(secondSink);
  InputInjector second(secondSink, InputRect{0, 0, 1920, 1080}, clock, injector->record());
  second.key(0x05, true);
  second.key(0x05, false);
  secondSink->sync();
  EXPECT_EQ(lastPressOrigin(), Origin::remote);
  injector->key(0x06, true);
  injector->key(0x06, false);
  EXPECT_EQ(lastPressOrigin(), Origin::remote);
  EXPECT_EQ(originsOf(Kind::keyRelease), (std::vector<Origin>{Origin::remote, Origin::remote}));
}

TEST_F(RemoteClickClassifierTest, AnEntryOlderThanHalfASecondNoLongerVouches) {
  injector->button(MouseButton::right, true);
  clock.advance(0.51);
  EXPECT_EQ(lastPressOrigin(), Origin::local);
  injector->button(MouseButton::right, false);
  clock.advance(0.49);
  lastPressOrigin();
  EXPECT_EQ(originsOf(Kind::buttonRelease), std::vector<Origin>{Origin::remote});
}

}  // namespace
}  // namespace ombrel
