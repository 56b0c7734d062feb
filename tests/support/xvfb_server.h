#pragma once

#include <sys/types.h>

#include <string>

namespace ombrel::test {

// A private Xvfb for one test: the server picks a free display number itself (-displayfd), so
// tests running side by side never collide. Stopped on destruction.
class XvfbServer {
 public:
  // `screen` is Xvfb's WIDTHxHEIGHTxDEPTH. Check ok() before use.
  explicit XvfbServer(const std::string& screen = "5120x2880x24");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return !display_.empty(); }
  // ":N"
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace ombrel::test
