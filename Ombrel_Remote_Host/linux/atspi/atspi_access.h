#pragma once

// What the AT-SPI readers of this folder share. libatspi keeps process-wide state (one
// accessibility bus connection, its proxies of every application, the signals it queued for
// GLib's default main context) and none of it is thread-safe, while the caret locator and the UI
// tree source are asked from different blocking-worker lanes. So every use of libatspi in the
// process happens inside an AtspiAccess, which holds one process-wide lock.

#include <atspi/atspi.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace ombrel::atspi {

// How long one bus call may take; an application seen for the first time gets longer, as it may
// still be building its tree.
inline constexpr std::chrono::milliseconds callTimeout{250};
inline constexpr std::chrono::milliseconds startupCallTimeout{1000};

class AtspiAccess {
 public:
  // Waits for the lock, then dispatches the bus signals that queued up since the last use, so
  // that neither libatspi's view of the applications goes stale nor its queue grows while the
  // host is idle.
  AtspiAccess();
  ~AtspiAccess();

  AtspiAccess(const AtspiAccess&) = delete;
  AtspiAccess& operator=(const AtspiAccess&) = delete;

  // Whether this process is connected to an accessibility bus. The first call in the process
  // connects; its answer stands for the life of the process (libatspi cannot be connected
  // twice, and after a failed attempt it would pretend to be connected and abort on first use).
  bool connected();

 private:
  std::unique_lock<std::mutex> lock_;
};

struct Unref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using OwnedText = std::unique_ptr<gchar, GFree>;

// Runs a call that reports failure through a GError; the error only means "no answer".
template <typename F>
auto ask(F&& call) {
  GError* error = nullptr;
  auto result = call(&error);
  if (error) g_error_free(error);
  return result;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state);
Ref<AtspiAccessible> child(AtspiAccessible* parent, int index);
// -1 when the element does not answer.
int childCount(AtspiAccessible* parent);
// The application's top-level window that has the keyboard focus, if any.
Ref<AtspiAccessible> activeWindow(AtspiAccessible* application);

}  // namespace ombrel::atspi
