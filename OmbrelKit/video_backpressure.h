#pragma once

// Budgets that decide when a media producer holds back: the bytes a connection may have
// queued (NVConnection::pendingBytes) before a video frame is skipped or an audio frame dropped,
// and how far a bit rate is cut when the link struggles. Pure functions, any thread; they
// neither allocate nor block, as they run once per captured frame.

namespace ombrel::VideoBackpressure {

// About 40 ms of video at the rate (5 bytes per kbit/s), between 4,096 and 64,000 bytes:
// above 819 kbit/s min(min(max(rate, 1), 100,000) * 5, 64,000), otherwise 4,096.
int queueBudgetBytes(int bitrateKbps);

// A lowered bit rate: base = max(min(current, target), 1); the result is factor * base
// (truncated), never above base and never below min(base, max(minimumKbps, 1)). A factor that
// is not a number counts as the deepest cut (the floor).
int reducedBitrate(int current, int target, double factor, int minimumKbps);

}  // namespace ombrel::VideoBackpressure
