#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"

#include "Ombrel_Remote_Host/linux/atspi/atspi_access.h"

namespace ombrel {
namespace {

using namespace atspi;

// Elements visited when an application cannot answer a collection query.
constexpr int kWalkBudget = 2000;

Ref<AtspiAccessible> focusedByCollection(AtspiAccessible* window) {
  Ref<AtspiCollection> collection(atspi_accessible_get_collection_iface(window));
  if (!collection) return nullptr;
  Ref<AtspiStateSet> focused(atspi_state_set_new(nullptr));
  atspi_state_set_add(focused.get(), ATSPI_STATE_FOCUSED);
  Ref<AtspiMatchRule> rule(atspi_match_rule_new(
      focused.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
      ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
  GArray* matches = ask([&](GError** e) {
    return atspi_collection_get_matches(collection.get(), rule.get(),
                                        ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, e);
  });
  if (!matches) return nullptr;
  Ref<AtspiAccessible> first;
  for (guint i = 0; i < matches->len; ++i) {
    auto* match = g_array_index(matches, AtspiAccessible*, i);
    if (i == 0) {
      first.reset(match);
    } else if (match) {
      g_object_unref(match);
    }
  }
  g_array_free(matches, TRUE);
  return first;
}

Ref<AtspiAccessible> focusedByWalk(AtspiAccessible* node, int& budget) {
  if (--budget < 0) return nullptr;
  const int count = childCount(node);
  for (int i = 0; i < count && budget >= 0; ++i) {
    Ref<AtspiAccessible> c = child(node, i);
    if (!c) continue;
    if (hasState(c.get(), ATSPI_STATE_FOCUSED)) return c;
    if (auto found = focusedByWalk(c.get(), budget)) return found;
  }
  return nullptr;
}

Ref<AtspiAccessible> focusedAccessible() {
  Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return nullptr;
  const int apps = childCount(desktop.get());
  for (int a = 0; a < apps; ++a) {
    Ref<AtspiAccessible> app = child(desktop.get(), a);
    if (!app) continue;
    Ref<AtspiAccessible> window = activeWindow(app.get());
    if (!window) continue;
    if (auto focused = focusedByCollection(window.get())) return focused;
    int budget = kWalkBudget;
    if (auto focused = focusedByWalk(window.get(), budget)) return focused;
  }
  return nullptr;
}

std::optional<InputRect> extents(AtspiText* text, int offset) {
  AtspiRect* r = ask([&](GError** e) {
    return atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_SCREEN, e);
  });
  if (!r) return std::nullopt;
  InputRect rect{double(r->x), double(r->y), double(r->width), double(r->height)};
  g_free(r);
  return rect;
}

bool visible(const InputRect& r) { return r.width > 0 || r.height > 0; }

}  // namespace

std::unique_ptr<AtspiCaretLocator> AtspiCaretLocator::create() {
  if (!AtspiAccess().connected()) return nullptr;
  return std::unique_ptr<AtspiCaretLocator>(new AtspiCaretLocator());
}

std::optional<InputRect> AtspiCaretLocator::caretRect() {
  AtspiAccess access;
  Ref<AtspiAccessible> focused = focusedAccessible();
  if (!focused) return std::nullopt;
  Ref<AtspiText> text(atspi_accessible_get_text_iface(focused.get()));
  if (!text) return std::nullopt;
  const int offset = ask([&](GError** e) { return atspi_text_get_caret_offset(text.get(), e); });
  if (offset < 0) return std::nullopt;
  if (auto rect = extents(text.get(), offset); rect && visible(*rect)) return rect;
  // At the end of the text there is no character under the caret: it stands after the last.
  if (offset > 0) {
    if (auto before = extents(text.get(), offset - 1); before && visible(*before)) {
      return InputRect{before->x + before->width, before->y, 0, before->height};
    }
  }
  return std::nullopt;
}

}  // namespace ombrel
