#include "Ombrel_Remote_Host/screen/privacy_screen.h"

#include "Ombrel_Remote_Host/screen/screen_backends.h"

namespace ombrel {

PrivacyScreen::PrivacyScreen(std::unique_ptr<ColorTransferTables> tables)
    : tables_(std::move(tables)) {}

PrivacyScreen::~PrivacyScreen() { set(false); }

PrivacyScreen& PrivacyScreen::shared() {
  static PrivacyScreen screen(openColorTransferTables());
  return screen;
}

void PrivacyScreen::set(bool on) {
  std::lock_guard lock(mutex_);
  if (on == on_) return;
  on_ = on;
  if (!tables_) return;
  if (on) {
    tables_->blank();
  } else {
    tables_->restore();
  }
}

bool PrivacyScreen::isOn() const {
  std::lock_guard lock(mutex_);
  return on_;
}

}  // namespace ombrel
