#include "base/atomic_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace ombrel {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ombrel-atomic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    target_ = dir_ / "target";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Every name in the directory, so a temporary left behind shows up.
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }

  fs::path dir_;
  fs::path target_;
};

// A disk that fills up midway: the child may write only a few bytes per file.
TEST_F(AtomicFileTest, WriteFailingMidwayKeepsTheOldFileAndNoTemporary) {
  writeText(target_, "old contents");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    const auto error = AtomicFile::write(target_, std::string(1 << 20, 'n'));
    if (!error) ::_exit(11);
    ::_exit(error->step == "write" && error->code == EFBIG ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readText(target_), "old contents");
  EXPECT_EQ(names(), std::set<std::string>{"target"});
}

TEST_F(AtomicFileTest, FailuresNameTheStepAndLeaveEverythingAsItWas) {
  struct Case {
    const char* name;
    std::function<fs::path(const fs::path&)> prepare;  // makes the fault; the target to write
    AtomicFile::Options options;
    std::string step;
    int code;
  };
  const Case cases[] = {
      {"missing parent, not asked to create it",
       [](const fs::path& dir) { return dir / "absent" / "target"; },
       {},
       "create",
       ENOENT},
      {"a file where a parent should be",
       [](const fs::path& dir) {
         writeText(dir / "blocker", "x");
         return dir / "blocker" / "sub" / "target";
       },
       {.parentMode = 0700},
       "directory",
       ENOTDIR},
      {"a directory at the target",
       [](const fs::path& dir) {
         fs::create_directories(dir / "target" / "inside");
         return dir / "target";
       },
       {},
       "rename",
       EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const fs::path target = c.prepare(dir_);
    const std::set<std::string> before = names();
    const auto error = AtomicFile::write(target, "new", c.options);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->step, c.step);
    EXPECT_EQ(error->code, c.code) << error->text();
    EXPECT_EQ(error->text(), std::strerror(c.code));
    EXPECT_EQ(names(), before);
  }
  // The directory at the target is still whole.
  EXPECT_TRUE(fs::is_directory(dir_ / "target" / "inside"));
}

TEST_F(AtomicFileTest, ModesAreExactlyAsAskedWhateverTheUmask) {
  struct Case {
    mode_t mode;
    mode_t parentMode;
    mode_t umask;
  };
  const Case cases[] = {
      {0600, 0700, 022},
      {0644, 0755, 022},
      {0644, 0777, 077},  // the file's mode is exact, a new directory's follows the umask
      {0640, 0750, 0},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const fs::path target = dir_ / std::to_string(index++) / "new" / "file";
    const mode_t saved = ::umask(c.umask);
    const auto error =
        AtomicFile::write(target, "contents", {.mode = c.mode, .parentMode = c.parentMode});
    ::umask(saved);
    ASSERT_FALSE(error) << error->step << ": " << error->text();
    EXPECT_EQ(modeOf(target) & 07777, c.mode);
    EXPECT_EQ(modeOf(target.parent_path()) & 07777, c.parentMode & ~c.umask);
    EXPECT_EQ(modeOf(target.parent_path().parent_path()) & 07777, c.parentMode & ~c.umask);
    // Replacing keeps asking for the mode, rather than inheriting the old file's.
    ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
    ASSERT_FALSE(AtomicFile::write(target, "again", {.mode = c.mode}));
    EXPECT_EQ(modeOf(target) & 07777, c.mode);
    EXPECT_EQ(readText(target), "again");
  }
}

TEST_F(AtomicFileTest, CreateOnlyNeverReplacesWhateverStandsThere) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> plant;
    mode_t type;
  };
  const Case cases[] = {
      {"regular file", [](const fs::path& p) { writeText(p, "kept"); }, S_IFREG},
      {"empty file", [](const fs::path& p) { writeText(p, ""); }, S_IFREG},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, S_IFIFO},
      {"dangling symbolic link",
       [](const fs::path& p) { fs::create_symlink(p.parent_path() / "nowhere", p); }, S_IFLNK},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, S_IFDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.plant(target_);
    const std::set<std::string> before = names();
    const auto error = AtomicFile::write(target_, "new", {.createOnly = true});
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->step, "rename");
    EXPECT_EQ(error->code, EEXIST) << error->text();
    EXPECT_EQ(modeOf(target_) & S_IFMT, c.type);
    if (c.type == S_IFREG) {
      EXPECT_NE(readText(target_), "new");
    }
    // A dangling link must not have been followed to create its target either.
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
    EXPECT_EQ(names(), before);
  }
  TearDown();
  SetUp();
  ASSERT_FALSE(AtomicFile::write(target_, "new", {.createOnly = true}));
  EXPECT_EQ(readText(target_), "new");
}

// Writers never share a temporary, so the target always holds one writer's whole contents.
TEST_F(AtomicFileTest, ParallelWritersNeverMixTheirContents) {
  constexpr int kWriters = 4;
  std::vector<std::string> contents;
  for (int w = 0; w < kWriters; ++w) {
    contents.push_back(std::string(50000 + w * 7001, static_cast<char>('a' + w)));
  }
  writeText(target_, contents[0]);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 25; ++i) {
        if (AtomicFile::write(target_, contents[w])) ++failures;
      }
    });
  }
  int reads = 0;
  std::thread reader([&] {
    while (!done) {
      const std::string seen = readText(target_);
      ++reads;
      if (std::find(contents.begin(), contents.end(), seen) == contents.end()) ++failures;
    }
  });
  for (auto& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(reads, 0);
  EXPECT_NE(std::find(contents.begin(), contents.end(), readText(target_)), contents.end());
  EXPECT_EQ(names(), std::set<std::string>{"target"});
}

TEST_F(AtomicFileTest, StaleTemporariesOfDeadWritersAreRemoved) {
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  writeText(target_, "kept");
  const std::string deadTemporary = ".target." + std::to_string(dead) + ".Ab12Cd.tmp";
  const std::set<std::string> kept = {
      "target",
      ".target." + std::to_string(::getpid()) + ".Ab12Cd.tmp",  // this process's own
      ".target.1.Ab12Cd.tmp",                                   // a live process's
      ".other." + std::to_string(dead) + ".Ab12Cd.tmp",         // another file's
      ".target." + std::to_string(dead) + ".Ab12Cd",            // not a temporary
  };
  for (const std::string& name : kept) {
    if (name != "target") writeText(dir_ / name, "x");
  }
  writeText(dir_ / deadTemporary, "x");
  AtomicFile::removeStaleTemporaries(target_);
  EXPECT_EQ(names(), kept);
}

}  // namespace
}  // namespace ombrel
