#pragma once

// How the host process allocates memory while it streams. A 1080p stream moves pictures of
// several MiB through a handful of threads (capture, conversion, the encoder's own), and some of
// the system's defaults make those cost far more resident memory than they use.

namespace ombrel {

// Process-wide: call once at start, before any thread.
void applyAllocatorSettings();

}  // namespace ombrel
