#include "Ombrel_Remote_Host/settings/settings_store.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/log.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using Json = SettingsStore::Value;

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSink_ = log::setSink([this](std::string_view text) { logged_.emplace_back(text); });
  }
  void TearDown() override { log::setSink(previousSink_); }

  test::TempHome home_;
  std::filesystem::path file_ = SettingsStore::fileFor("com.example.test");
  std::vector<std::string> logged_;
  log::Sink previousSink_;
};

TEST_F(SettingsStoreTest, FileFollowsConfigHome) {
  struct Case {
    std::optional<std::string> xdg;
    std::filesystem::path expected;
  };
  const std::filesystem::path home = home_.root() / "home";
  const Case cases[] = {
      {home_.root().string() + "/elsewhere", home_.root() / "elsewhere"},
      {std::nullopt, home / ".config"},
      {"", home / ".config"},
      {"relative/config", home / ".config"},
  };
  for (const Case& c : cases) {
    home_.set("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(SettingsStore::fileFor("d"), c.expected / "Ombrel Remote" / "d.json")
        << c.xdg.value_or("(unset)");
  }
}

TEST_F(SettingsStoreTest, TypedValuesPersistAcrossInstances) {
  const Bytes blob = {0x00, 0xff, 0x10, 0x80};
  {
    SettingsStore store(file_);
    EXPECT_FALSE(store.contains("flag"));
    EXPECT_TRUE(store.setBool("flag", false));
    EXPECT_TRUE(store.setString("text", "中文 text"));
    EXPECT_TRUE(store.setBytes("blob", blob));
    EXPECT_TRUE(store.setBytes("empty", Bytes{}));
    EXPECT_TRUE(store.setString("gone", "x"));
    EXPECT_TRUE(store.remove("gone"));
  }
  SettingsStore store(file_);
  EXPECT_EQ(store.boolValue("flag"), false);
  EXPECT_EQ(store.stringValue("text"), "中文 text");
  EXPECT_EQ(store.bytesValue("blob"), blob);
  EXPECT_EQ(store.bytesValue("empty"), Bytes{});
  EXPECT_FALSE(store.contains("gone"));
  // Bytes carry their type tag in the file, so they never read back as a plain string.
  Json root = Json::parse(readText(file_));
  EXPECT_EQ(root["blob"], (Json{{"type", "bytes"}, {"value", "AP8QgA=="}}));
  EXPECT_EQ(store.stringValue("blob"), std::nullopt);
  EXPECT_EQ(std::filesystem::status(file_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(SettingsStoreTest, WrongTypesReadAsNothingAndSurviveSaves) {
  writeText(file_, R"({"number": 1, "text": "true", "flag": true,
    "badBase64": {"type": "bytes", "value": "!!!"},
    "wrongTag": {"type": "data", "value": "AA=="},
    "list": [1, 2]})");
  SettingsStore store(file_);
  EXPECT_EQ(store.boolValue("number"), std::nullopt);
  EXPECT_EQ(store.boolValue("text"), std::nullopt);
  EXPECT_EQ(store.stringValue("flag"), std::nullopt);
  EXPECT_EQ(store.bytesValue("flag"), std::nullopt);
  EXPECT_EQ(store.bytesValue("badBase64"), std::nullopt);
  EXPECT_EQ(store.bytesValue("wrongTag"), std::nullopt);
  EXPECT_EQ(store.bytesValue("list"), std::nullopt);
  EXPECT_TRUE(store.contains("number"));

  // A save of another key keeps what this version does not understand.
  ASSERT_TRUE(store.setBool("other", true));
  Json root = Json::parse(readText(file_));
  EXPECT_EQ(root["number"], 1);
  EXPECT_EQ(root["list"], Json::array({1, 2}));
  EXPECT_EQ(root["badBase64"]["value"], "!!!");
}

TEST_F(SettingsStoreTest, CorruptFileReadsEmptyIsKeptBesideAndRewritten) {
  const std::string corrupt[] = {
      "", "{", "[1, 2]", "null", "\"text\"", std::string("\0\xff{}", 4), R"({"a": true} trailing)"};
  const std::filesystem::path damaged = file_.string() + ".damaged";
  for (const std::string& text : corrupt) {
    SCOPED_TRACE(text);
    logged_.clear();
    writeText(file_, text);
    SettingsStore store(file_);
    EXPECT_TRUE(store.values().empty());
    // A second reader of the same domain before any save neither sees nor reports it again.
    EXPECT_TRUE(SettingsStore(file_).values().empty());
    ASSERT_TRUE(store.setBool("saved", true));
    Json root = Json::parse(readText(file_));
    EXPECT_EQ(root, (Json{{"saved", true}}));
    // The owner's damaged file survives the save, byte for byte, for whoever wants to mend it.
    ASSERT_TRUE(std::filesystem::is_regular_file(damaged));
    EXPECT_EQ(readText(damaged), text);
    ASSERT_EQ(logged_.size(), 1u);
    EXPECT_NE(logged_[0].find(damaged.filename().string()), std::string::npos) << logged_[0];
  }
  // Only the rewritten file and the last damaged one are left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file_.parent_path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST_F(SettingsStoreTest, OpenExistingRefusesAFileThatCannotBeRead) {
  EXPECT_NE(SettingsStore::openExisting(file_), nullptr);  // absent: an empty domain
  std::filesystem::create_directories(file_);              // a directory cannot be read as a file
  EXPECT_EQ(SettingsStore::openExisting(file_), nullptr);

  // Writes that cannot reach the disk report failure and keep the value in memory.
  SettingsStore store(file_);
  EXPECT_FALSE(store.setBool("kept", true));
  EXPECT_EQ(store.boolValue("kept"), true);
  EXPECT_FALSE(logged_.empty());
  std::filesystem::remove(file_);
  EXPECT_TRUE(store.setBool("second", true));
  EXPECT_EQ(SettingsStore(file_).boolValue("kept"), true);
}

TEST_F(SettingsStoreTest, ConcurrentWritersLoseNothing) {
  SettingsStore store(file_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 10; ++i) store.setString("k" + std::to_string(t * 10 + i), "v");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(SettingsStore(file_).values().size(), 40u);
}

// ---- crash safety --------------------------------------------------------------------------

// Every save writes one complete generation: all three keys derive from the same number.
void writeGeneration(SettingsStore& store, long generation) {
  store.edit([generation](SettingsStore::Values& values) {
    const size_t size = 1000 + static_cast<size_t>(generation * 7919 % 60000);
    values["generation"] = std::to_string(generation);
    values["odd"] = generation % 2 == 1;
    values["payload"] =
        SettingsStore::bytesEntry(Bytes(size, static_cast<std::uint8_t>(generation & 0xff)));
  });
}

// The generation the file holds; fails the test unless the file is complete and consistent.
long checkedGeneration(const std::filesystem::path& file) {
  Json root = Json::parse(readText(file), nullptr, false);
  EXPECT_TRUE(root.is_object()) << "damaged file";
  if (!root.is_object()) return -1;
  SettingsStore store(file);
  long generation = std::stol(store.stringValue("generation").value_or("-1"));
  EXPECT_EQ(store.boolValue("odd"), generation % 2 == 1);
  const size_t size = 1000 + static_cast<size_t>(generation * 7919 % 60000);
  EXPECT_EQ(store.bytesValue("payload"), Bytes(size, static_cast<std::uint8_t>(generation & 0xff)));
  return generation;
}

TEST_F(SettingsStoreTest, KilledWriterLeavesOldOrNewFile) {
  {
    SettingsStore store(file_);
    writeGeneration(store, 0);
  }
  std::mt19937 random(std::random_device{}());
  long previous = 0;
  for (int round = 0; round < 60; ++round) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Saves in a loop and reports every generation that reached the disk.
      close(pipeFds[0]);
      log::setSink([](std::string_view) {});
      SettingsStore store(file_);
      long generation = std::stol(store.stringValue("generation").value_or("0"));
      for (;;) {
        writeGeneration(store, ++generation);
        if (write(pipeFds[1], &generation, sizeof generation) != sizeof generation) _exit(1);
      }
    }
    close(pipeFds[1]);
    long reported = previous;
    // Wait for the first completed save so the kill lands inside the loop, then let it run on
    // for a random moment.
    ASSERT_EQ(read(pipeFds[0], &reported, sizeof reported), static_cast<ssize_t>(sizeof reported));
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    long next = 0;
    while (read(pipeFds[0], &next, sizeof next) == static_cast<ssize_t>(sizeof next)) {
      reported = next;
    }
    close(pipeFds[0]);

    long onDisk = checkedGeneration(file_);
    if (::testing::Test::HasFailure()) FAIL() << "round " << round;
    // A save that was reported is on disk; at most the one in flight went further.
    EXPECT_GE(onDisk, reported) << "round " << round;
    EXPECT_LE(onDisk, reported + 1) << "round " << round;
    previous = onDisk;
  }

  // Temporaries of the killed writers are swept by the next store that opens the domain.
  SettingsStore sweeper(file_);
  for (const auto& entry : std::filesystem::directory_iterator(file_.parent_path())) {
    EXPECT_EQ(entry.path(), file_);
  }
}

}  // namespace
}  // namespace ombrel
