#pragma once

// How the host process allocates memory while it streams. A 1080p stream moves pictures of
// several MiB through a handful of threads (capture, conversion, the encoder's own), and glibc's
// defaults keep what those threads freed resident long after a session ended.

namespace ombrel {

// Process-wide: call once at start, before any thread.
void applyAllocatorSettings();

// Blocks of at least this size get a mapping of their own, returned to the system when freed.
inline constexpr int ownMappingThreshold = 256 << 10;

}  // namespace ombrel
