#include "Ombrel_Remote_Host/linux/atspi/atspi_ui_tree_source.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "Ombrel_Remote_Host/linux/atspi/atspi_access.h"

namespace ombrel {
namespace {

using namespace atspi;
using Clock = std::chrono::steady_clock;

// At most this many characters of an element's value are reported.
constexpr long kValueCharacters = 200;
// The whole walk's bound: an application that answers every call, only slowly, is cut here.
constexpr auto kWalkTime = std::chrono::seconds(20);

// AT-SPI roles as the AX vocabulary names them (without "AX"); roles left out of the table are
// reported by AT-SPI's own name in UpperCamelCase ("description term" -> "DescriptionTerm").
//
//   AT-SPI                                                 reported as
//   invalid (the element has no role)                      ?
//   application                                            Application
//   window, frame, dialog, alert, file chooser             Window
//   push button                                            Button
//   push button menu                                       MenuButton
//   toggle button, check box                               CheckBox
//   radio button, page tab                                 RadioButton (AX tabs are radios)
//   combo box                                              PopUpButton (ComboBox when editable)
//   label, static, caption, accelerator label              StaticText
//   entry                                                  TextField
//   password text                                          SecureTextField
//   text, terminal, document text                          TextArea
//   spin button                                            Incrementor
//   list, list box, description list                       List
//   list item, table row, tree item                        Row
//   table                                                  Table
//   tree, tree table                                       Outline
//   table cell                                             Cell
//   image, icon, desktop icon, animation                   Image
//   link                                                   Link
//   menu, popup menu                                       Menu
//   menu bar                                               MenuBar
//   menu item, check/radio/tear-off menu item              MenuItem
//   slider, dial                                           Slider
//   scroll pane                                            ScrollArea
//   scroll bar                                             ScrollBar
//   split pane                                             SplitGroup
//   page tab list                                          TabGroup
//   tool bar                                               Toolbar
//   tool tip                                               HelpTag
//   progress bar                                           ProgressIndicator
//   level bar                                              LevelIndicator
//   date editor, calendar                                  DateField
//   color chooser                                          ColorWell
//   document web, document frame                           WebArea
//   panel, filler, section, grouping, form, paragraph,
//   viewport, root/layered/glass/option pane, header,
//   footer, block quote, article, landmark,
//   redundant object, internal frame                       Group
constexpr std::pair<AtspiRole, const char*> kRoles[] = {
    {ATSPI_ROLE_INVALID, "?"},
    {ATSPI_ROLE_APPLICATION, "Application"},
    {ATSPI_ROLE_WINDOW, "Window"},
    {ATSPI_ROLE_FRAME, "Window"},
    {ATSPI_ROLE_DIALOG, "Window"},
    {ATSPI_ROLE_ALERT, "Window"},
    {ATSPI_ROLE_FILE_CHOOSER, "Window"},
    {ATSPI_ROLE_PUSH_BUTTON, "Button"},
    {ATSPI_ROLE_PUSH_BUTTON_MENU, "MenuButton"},
    {ATSPI_ROLE_TOGGLE_BUTTON, "CheckBox"},
    {ATSPI_ROLE_CHECK_BOX, "CheckBox"},
    {ATSPI_ROLE_RADIO_BUTTON, "RadioButton"},
    {ATSPI_ROLE_PAGE_TAB, "RadioButton"},
    {ATSPI_ROLE_COMBO_BOX, "PopUpButton"},
    {ATSPI_ROLE_LABEL, "StaticText"},
    {ATSPI_ROLE_STATIC, "StaticText"},
    {ATSPI_ROLE_CAPTION, "StaticText"},
    {ATSPI_ROLE_ACCELERATOR_LABEL, "StaticText"},
    {ATSPI_ROLE_ENTRY, "TextField"},
    {ATSPI_ROLE_PASSWORD_TEXT, "SecureTextField"},
    {ATSPI_ROLE_TEXT, "TextArea"},
    {ATSPI_ROLE_TERMINAL, "TextArea"},
    {ATSPI_ROLE_DOCUMENT_TEXT, "TextArea"},
    {ATSPI_ROLE_SPIN_BUTTON, "Incrementor"},
    {ATSPI_ROLE_LIST, "List"},
    {ATSPI_ROLE_LIST_BOX, "List"},
    {ATSPI_ROLE_DESCRIPTION_LIST, "List"},
    {ATSPI_ROLE_LIST_ITEM, "Row"},
    {ATSPI_ROLE_TABLE_ROW, "Row"},
    {ATSPI_ROLE_TREE_ITEM, "Row"},
    {ATSPI_ROLE_TABLE, "Table"},
    {ATSPI_ROLE_TREE, "Outline"},
    {ATSPI_ROLE_TREE_TABLE, "Outline"},
    {ATSPI_ROLE_TABLE_CELL, "Cell"},
    {ATSPI_ROLE_IMAGE, "Image"},
    {ATSPI_ROLE_ICON, "Image"},
    {ATSPI_ROLE_DESKTOP_ICON, "Image"},
    {ATSPI_ROLE_ANIMATION, "Image"},
    {ATSPI_ROLE_LINK, "Link"},
    {ATSPI_ROLE_MENU, "Menu"},
    {ATSPI_ROLE_POPUP_MENU, "Menu"},
    {ATSPI_ROLE_MENU_BAR, "MenuBar"},
    {ATSPI_ROLE_MENU_ITEM, "MenuItem"},
    {ATSPI_ROLE_CHECK_MENU_ITEM, "MenuItem"},
    {ATSPI_ROLE_RADIO_MENU_ITEM, "MenuItem"},
    {ATSPI_ROLE_TEAROFF_MENU_ITEM, "MenuItem"},
    {ATSPI_ROLE_SLIDER, "Slider"},
    {ATSPI_ROLE_DIAL, "Slider"},
    {ATSPI_ROLE_SCROLL_PANE, "ScrollArea"},
    {ATSPI_ROLE_SCROLL_BAR, "ScrollBar"},
    {ATSPI_ROLE_SPLIT_PANE, "SplitGroup"},
    {ATSPI_ROLE_PAGE_TAB_LIST, "TabGroup"},
    {ATSPI_ROLE_TOOL_BAR, "Toolbar"},
    {ATSPI_ROLE_TOOL_TIP, "HelpTag"},
    {ATSPI_ROLE_PROGRESS_BAR, "ProgressIndicator"},
    {ATSPI_ROLE_LEVEL_BAR, "LevelIndicator"},
    {ATSPI_ROLE_DATE_EDITOR, "DateField"},
    {ATSPI_ROLE_CALENDAR, "DateField"},
    {ATSPI_ROLE_COLOR_CHOOSER, "ColorWell"},
    {ATSPI_ROLE_DOCUMENT_WEB, "WebArea"},
    {ATSPI_ROLE_DOCUMENT_FRAME, "WebArea"},
    {ATSPI_ROLE_PANEL, "Group"},
    {ATSPI_ROLE_FILLER, "Group"},
    {ATSPI_ROLE_SECTION, "Group"},
    {ATSPI_ROLE_GROUPING, "Group"},
    {ATSPI_ROLE_FORM, "Group"},
    {ATSPI_ROLE_PARAGRAPH, "Group"},
    {ATSPI_ROLE_VIEWPORT, "Group"},
    {ATSPI_ROLE_ROOT_PANE, "Group"},
    {ATSPI_ROLE_LAYERED_PANE, "Group"},
    {ATSPI_ROLE_GLASS_PANE, "Group"},
    {ATSPI_ROLE_OPTION_PANE, "Group"},
    {ATSPI_ROLE_HEADER, "Group"},
    {ATSPI_ROLE_FOOTER, "Group"},
    {ATSPI_ROLE_BLOCK_QUOTE, "Group"},
    {ATSPI_ROLE_ARTICLE, "Group"},
    {ATSPI_ROLE_LANDMARK, "Group"},
    {ATSPI_ROLE_REDUNDANT_OBJECT, "Group"},
    {ATSPI_ROLE_INTERNAL_FRAME, "Group"},
};

std::string upperCamelCase(const char* words) {
  std::string out;
  bool wordStart = true;
  for (const char* c = words; *c; ++c) {
    if (*c == ' ' || *c == '-' || *c == '_') {
      wordStart = true;
    } else {
      out += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
      wordStart = false;
    }
  }
  return out;
}

// Valid UTF-8 (applications may send anything; the answer is JSON), at most `maxChars`
// characters.
std::string cleanText(const char* raw, long maxChars = -1) {
  if (!raw) return {};
  OwnedText valid(g_utf8_make_valid(raw, -1));
  const char* begin = valid.get();
  const char* end = begin + std::strlen(begin);
  if (maxChars >= 0 && g_utf8_strlen(begin, -1) > maxChars) {
    end = g_utf8_offset_to_pointer(begin, maxChars);
  }
  return std::string(begin, end);
}

std::string takeText(gchar* raw, long maxChars = -1) {
  OwnedText owned(raw);
  return cleanText(owned.get(), maxChars);
}

double tenth(double value) { return std::round(value * 10) / 10; }

std::optional<std::string> valueOf(AtspiAccessible* element) {
  if (Ref<AtspiText> text{atspi_accessible_get_text_iface(element)}) {
    const int count =
        ask([&](GError** e) { return atspi_text_get_character_count(text.get(), e); });
    if (count > 0) {
      const int end = std::min<long>(count, kValueCharacters);
      std::string contents =
          takeText(ask([&](GError** e) { return atspi_text_get_text(text.get(), 0, end, e); }),
                   kValueCharacters);
      if (!contents.empty()) return contents;
    }
  }
  if (Ref<AtspiValue> value{atspi_accessible_get_value_iface(element)}) {
    std::string shown = takeText(
        ask([&](GError** e) { return atspi_value_get_text(value.get(), e); }), kValueCharacters);
    if (!shown.empty()) return shown;
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value.get(), &error);
    if (error) {
      g_error_free(error);
      return std::nullopt;
    }
    // Whatever locale a library switched the process to, the number reads the same.
    char number[G_ASCII_DTOSTR_BUF_SIZE];
    return std::string(g_ascii_formatd(number, sizeof number, "%g", current));
  }
  return std::nullopt;
}

std::optional<std::vector<double>> frameOf(AtspiAccessible* element) {
  Ref<AtspiComponent> component{atspi_accessible_get_component_iface(element)};
  if (!component) return std::nullopt;
  GError* error = nullptr;
  AtspiRect* r = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
  std::optional<std::vector<double>> frame;
  // AT-SPI says "unknown" with negative sizes.
  if (!error && r && r->width >= 0 && r->height >= 0) {
    frame = std::vector<double>{tenth(r->x), tenth(r->y), tenth(r->width), tenth(r->height)};
  }
  if (error) g_error_free(error);
  g_free(r);
  return frame;
}

class Walk {
 public:
  Walk(int maxDepth, int maxNodes)
      : maxDepth_(maxDepth), maxNodes_(maxNodes), deadline_(Clock::now() + kWalkTime) {}

  std::optional<UINode> visit(AtspiAccessible* element, int depth) {
    if (exhausted()) return std::nullopt;
    ++count_;
    const auto asked = Clock::now();
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(element, &error);
    if (error) {
      g_error_free(error);
      // An element that went away answers at once; one that ran into the timeout belongs to an
      // application that stopped answering.
      if (Clock::now() - asked >= atspi::callTimeout) hung_ = true;
      return std::nullopt;
    }
    std::string title =
        takeText(ask([&](GError** e) { return atspi_accessible_get_name(element, e); }));
    if (title.empty()) {
      title =
          takeText(ask([&](GError** e) { return atspi_accessible_get_description(element, e); }));
    }
    UINode node;
    node.role = uiRoleName(role);
    if (role == ATSPI_ROLE_COMBO_BOX && hasState(element, ATSPI_STATE_EDITABLE)) {
      node.role = "ComboBox";
    }
    // A password field's text is never asked for, not even its length.
    if (role != ATSPI_ROLE_PASSWORD_TEXT) node.value = valueOf(element);

    std::vector<UINode> kept;
    if (depth < maxDepth_) {
      const int count = childCount(element);
      for (int i = 0; i < count && !exhausted(); ++i) {
        Ref<AtspiAccessible> c = child(element, i);
        if (!c) continue;
        if (auto n = visit(c.get(), depth + 1)) kept.push_back(std::move(*n));
      }
    }
    if (title.empty() && !node.value && kept.size() == 1 && node.role == "Group") {
      return std::move(kept.front());
    }
    if (!title.empty()) node.title = std::move(title);
    node.frame = frameOf(element);
    if (!kept.empty()) node.children = std::move(kept);
    return node;
  }

 private:
  bool exhausted() const { return count_ >= maxNodes_ || hung_ || Clock::now() >= deadline_; }

  const int maxDepth_;
  const int maxNodes_;
  const Clock::time_point deadline_;
  int count_ = 0;
  bool hung_ = false;
};

// The application whose process is `pid`; else the one with an active window.
Ref<AtspiAccessible> frontmostApplication(std::optional<std::int64_t> pid) {
  Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return nullptr;
  const int apps = childCount(desktop.get());
  if (pid) {
    for (int a = 0; a < apps; ++a) {
      Ref<AtspiAccessible> app = child(desktop.get(), a);
      if (!app) continue;
      GError* error = nullptr;
      const guint owner = atspi_accessible_get_process_id(app.get(), &error);
      if (error) {
        g_error_free(error);
        continue;
      }
      if (static_cast<std::int64_t>(owner) == *pid) return app;
    }
  }
  for (int a = 0; a < apps; ++a) {
    Ref<AtspiAccessible> app = child(desktop.get(), a);
    if (app && activeWindow(app.get())) return app;
  }
  return nullptr;
}

}  // namespace

std::string uiRoleName(int atspiRole) {
  const auto role = static_cast<AtspiRole>(atspiRole);
  for (const auto& [from, to] : kRoles) {
    if (from == role) return to;
  }
  OwnedText name(atspi_role_get_name(role));
  std::string camel = name ? upperCamelCase(name.get()) : std::string();
  return camel.empty() ? "?" : camel;
}

AtspiUITreeSource::AtspiUITreeSource(FrontmostProcess frontmostProcess)
    : frontmostProcess_(std::move(frontmostProcess)) {}

bool AtspiUITreeSource::available() { return AtspiAccess().connected(); }

UITreeSource::FrontmostTree AtspiUITreeSource::frontmostTree(int maxDepth, int maxNodes) {
  // Asked before the lock: the X server is not AT-SPI's to serialise.
  const std::optional<std::int64_t> pid = frontmostProcess_ ? frontmostProcess_() : std::nullopt;
  AtspiAccess access;
  if (!access.connected()) return {};
  Ref<AtspiAccessible> app = frontmostApplication(pid);
  if (!app) return {};
  FrontmostTree out;
  out.app = takeText(ask([&](GError** e) { return atspi_accessible_get_name(app.get(), e); }));
  out.tree = Walk(maxDepth, maxNodes).visit(app.get(), 0);
  return out;
}

}  // namespace ombrel
