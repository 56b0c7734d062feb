#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ombrel {

enum class LoginItemStatus { notRegistered, enabled };

// Starting the host when the owner logs in.
//
// Threading: main queue only (the controller's).
class LoginItem {
 public:
  virtual ~LoginItem() = default;

  virtual LoginItemStatus status() const = 0;
  // Both return nothing on success, else the text the settings view shows
  // ("登入時自動開啟設定失敗：" followed by the reason).
  virtual std::optional<std::string> registerItem() = 0;
  virtual std::optional<std::string> unregisterItem() = 0;

  static std::string failureText(std::string_view reason) {
    return "登入時自動開啟設定失敗：" + std::string(reason);
  }
};

}  // namespace ombrel
