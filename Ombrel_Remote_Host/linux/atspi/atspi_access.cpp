#include "Ombrel_Remote_Host/linux/atspi/atspi_access.h"

namespace ombrel::atspi {
namespace {

// Dispatches per access at most: a chatty bus must not keep the caller draining forever.
constexpr int kDrainLimit = 10000;

std::mutex& processLock() {
  static std::mutex lock;
  return lock;
}

enum class Connection { untried, connected, absent };
Connection connection = Connection::untried;  // guarded by processLock()

}  // namespace

AtspiAccess::AtspiAccess() : lock_(processLock()) {
  if (connection != Connection::connected) return;
  for (int i = 0; i < kDrainLimit && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
}

AtspiAccess::~AtspiAccess() = default;

bool AtspiAccess::connected() {
  if (connection == Connection::untried) {
    // 0: connected now; anything else here means no bus (1, "connected earlier", cannot happen:
    // nothing else in the process calls atspi_init).
    const bool ok = atspi_init() == 0;
    if (ok)
      atspi_set_timeout(static_cast<int>(callTimeout.count()),
                        static_cast<int>(startupCallTimeout.count()));
    connection = ok ? Connection::connected : Connection::absent;
  }
  return connection == Connection::connected;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  Ref<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
  return states && atspi_state_set_contains(states.get(), state);
}

Ref<AtspiAccessible> child(AtspiAccessible* parent, int index) {
  return Ref<AtspiAccessible>(
      ask([&](GError** e) { return atspi_accessible_get_child_at_index(parent, index, e); }));
}

int childCount(AtspiAccessible* parent) {
  return ask([&](GError** e) { return atspi_accessible_get_child_count(parent, e); });
}

Ref<AtspiAccessible> activeWindow(AtspiAccessible* application) {
  const int windows = childCount(application);
  for (int w = 0; w < windows; ++w) {
    Ref<AtspiAccessible> window = child(application, w);
    if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return window;
  }
  return nullptr;
}

}  // namespace ombrel::atspi
