#include "base/log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace ombrel::log {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

Sink& currentSink() {
  static Sink sink;
  return sink;
}

void defaultLine(std::string_view text) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("ombrel-remote", LOG_PID, LOG_USER); });
  std::string copy(text);
  syslog(LOG_INFO, "%s", copy.c_str());
  std::fprintf(stderr, "%s\n", copy.c_str());
}

}  // namespace

void line(std::string_view text) {
  Sink sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = currentSink();
  }
  if (sink) {
    sink(text);
  } else {
    defaultLine(text);
  }
}

void diagnostic(std::string_view text) {
  Sink sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = currentSink();
  }
  if (sink) {
    sink(text);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  }
}

Sink setSink(Sink sink) {
  std::lock_guard lock(sinkMutex());
  Sink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

}  // namespace ombrel::log
