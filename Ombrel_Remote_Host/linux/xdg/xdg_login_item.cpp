#include "Ombrel_Remote_Host/linux/xdg/xdg_login_item.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

#include "base/atomic_file.h"
#include "base/log.h"
#include "base/xdg_dirs.h"

namespace fs = std::filesystem;

namespace ombrel {
namespace {

fs::path currentExecutable() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path("ombrel-host") : self;
}

// One argument of an Exec key, quoted where the desktop-entry rules require it.
std::string execArgument(const std::string& argument) {
  static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string out;
  bool quote = argument.empty() || argument.find_first_of(reserved) != std::string::npos;
  if (quote) out += '"';
  for (char c : argument) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
  }
  if (quote) out += '"';
  // The value as a whole is a desktop-entry string, where a backslash is written twice.
  std::string escaped;
  for (char c : out) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string trim(std::string text) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
  text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
  return text;
}

}  // namespace

XdgLoginItem::XdgLoginItem(Config config)
    : entryPath_(config.configHome.value_or(XdgDirs::configHome()) / "autostart" /
                 "ombrel-remote.desktop"),
      executable_(config.executable.value_or(currentExecutable())) {}

std::string XdgLoginItem::desktopEntry(const fs::path& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Ombrel Remote\n"
         "Exec=" +
         execArgument(executable.string()) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

LoginItemStatus XdgLoginItem::status() const {
  std::ifstream in(entryPath_);
  if (!in) return LoginItemStatus::notRegistered;
  std::string line;
  bool inEntry = false;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.starts_with('[')) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    auto equals = line.find('=');
    if (!inEntry || equals == std::string::npos) continue;
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    if ((key == "Hidden" && value == "true") ||
        (key == "X-GNOME-Autostart-enabled" && value == "false")) {
      return LoginItemStatus::notRegistered;
    }
  }
  return LoginItemStatus::enabled;
}

std::optional<std::string> XdgLoginItem::registerItem() {
  // The mode of any autostart entry: it holds nothing secret.
  const auto error =
      AtomicFile::write(entryPath_, desktopEntry(executable_), {.mode = 0644, .parentMode = 0777});
  if (error) return failureText(error->text());
  log::line("Ombrel Remote: login item registered");
  return std::nullopt;
}

std::optional<std::string> XdgLoginItem::unregisterItem() {
  std::error_code error;
  fs::remove(entryPath_, error);
  if (error) return failureText(error.message());
  log::line("Ombrel Remote: login item removed");
  return std::nullopt;
}

}  // namespace ombrel
