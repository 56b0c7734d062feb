#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/platform/login_item.h"

namespace ombrel {

// LoginItem as an XDG autostart entry: `$XDG_CONFIG_HOME/autostart/ombrel-remote.desktop`
// (XDG_CONFIG_HOME defaults to ~/.config). Registered means the entry exists and the desktop
// has not switched it off (Hidden=true or X-GNOME-Autostart-enabled=false, which session
// settings dialogs write). The entry is written atomically (temporary file, fsync, rename).
class XdgLoginItem : public LoginItem {
 public:
  struct Config {
    std::optional<std::filesystem::path> configHome;  // from the environment when absent
    std::optional<std::filesystem::path> executable;  // this program when absent
  };

  explicit XdgLoginItem(Config config = {});

  LoginItemStatus status() const override;
  std::optional<std::string> registerItem() override;
  std::optional<std::string> unregisterItem() override;

  const std::filesystem::path& entryPath() const { return entryPath_; }
  // The entry's text for an executable.
  static std::string desktopEntry(const std::filesystem::path& executable);

 private:
  std::filesystem::path entryPath_;
  std::filesystem::path executable_;
};

}  // namespace ombrel
