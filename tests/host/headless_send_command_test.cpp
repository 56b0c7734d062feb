// The headless host's "send PATH..." line: which lines are send commands (the rest answer
// pairing cards) and how paths with spaces are written.

#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/app/headless_host.h"

namespace ombrel {
namespace {

using Paths = std::vector<std::string>;

TEST(HeadlessSendCommandTest, SplitsQuotedAndEscapedPaths) {
  struct Case {
    const char* line;
    std::optional<Paths> paths;
  };
  const Case cases[] = {
      {"y", std::nullopt},
      {"o", std::nullopt},
      {"", std::nullopt},
      {"sender", std::nullopt},
      {"n send /a", std::nullopt},
      {"send", Paths{}},
      {"  send   ", Paths{}},
      {"send /a/b.txt", Paths{"/a/b.txt"}},
      {"send /a  /b\t/c\r", Paths{"/a", "/b", "/c"}},
      {"send \"/tmp/my notes.txt\" b.pdf", Paths{"/tmp/my notes.txt", "b.pdf"}},
      {"send '/tmp/it\\'s'", Paths{}},  // single quotes take backslashes literally: left open
      {"send '/tmp/a \"b\"'", Paths{"/tmp/a \"b\""}},
      {"send /tmp/my\\ notes.txt", Paths{"/tmp/my notes.txt"}},
      {"send \"a \\\"q\\\" \\\\ \\n\"", Paths{"a \"q\" \\ \\n"}},
      {"send \"\"", Paths{""}},
      {"send \"/tmp/open", Paths{}},  // an open quote sends nothing
      {"send a\"b c\"d", Paths{"ab cd"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(HeadlessHost::sendCommand(c.line), c.paths);
  }
}

}  // namespace
}  // namespace ombrel
