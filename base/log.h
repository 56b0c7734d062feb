#pragma once

#include <functional>
#include <string_view>

namespace ombrel::log {

// One facade for every log line of the product. Lines go to syslog (the journal) and are
// mirrored to stderr. Never pass keys, pairing codes, clipboard or file contents here.
void line(std::string_view text);

// Diagnostic lines that only appear when an environment switch asks for them
// (OMBREL_TRANSPORT_DIAGNOSTICS, NEROVALDE_DEBUG); they go to stderr only.
void diagnostic(std::string_view text);

// Replaces where lines go (tests capture them, fuzzers silence them). An empty sink restores
// the default. Returns the previous sink.
using Sink = std::function<void(std::string_view)>;
Sink setSink(Sink sink);

}  // namespace ombrel::log
