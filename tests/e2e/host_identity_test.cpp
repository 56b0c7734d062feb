// The host program on a key file it cannot read: the host ID it prints is the one it serves,
// it says that the ID is temporary, and the key file is still there when it stops.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "e2e/host_process.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using test::ClientRun;
using test::HostProcess;

TEST(HostIdentityTest, TemporaryHostIDPrintedIsTheOneServed) {
  test::TempHome home;
  const std::filesystem::path keyFile =
      home.root() / "host" / "data" / "Ombrel Remote" / "host.key";
  std::filesystem::create_directories(keyFile.parent_path());
  ASSERT_EQ(::mkfifo(keyFile.c_str(), 0600), 0);

  std::optional<HostProcess> host;
  host.emplace(home.root() / "host");
  ASSERT_NE(host->port(), 0) << "the host did not report its port";
  const auto& lines = host->lines();
  auto printed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("主機 ID：");
  });
  ASSERT_NE(printed, lines.end());
  const std::string hostID = printed->substr(std::string_view("主機 ID：").size());
  EXPECT_TRUE(std::ranges::any_of(lines, [](const std::string& line) {
    return line.starts_with("identity: ");
  })) << "the host does not say its identity is temporary";

  ClientRun client(home.root() / "client", host->port(), {});
  auto sas = client.waitFor("sas");
  ASSERT_TRUE(sas);
  EXPECT_EQ((*sas)["hostID"], hostID) << "the key the host serves is not the one it printed";
  auto hello = client.waitFor("hello");
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["hostID"], hostID);
  EXPECT_EQ((*hello)["authorized"], false);
  client.finish();

  host.reset();
  EXPECT_TRUE(std::filesystem::is_fifo(keyFile)) << "the key file was replaced";
}

}  // namespace
}  // namespace ombrel
