#include "Ombrel_Remote_Host/linux/x11/spare_keycode_pool.h"

#include <algorithm>

namespace ombrel {

SpareKeycodePool::SpareKeycodePool(std::vector<unsigned> keycodes)
    : lru_(keycodes.begin(), keycodes.end()) {}

std::optional<SpareKeycodePool::Assignment> SpareKeycodePool::assign(uint32_t keysym) {
  if (lru_.empty()) return std::nullopt;
  auto it = std::find_if(lru_.begin(), lru_.end(), [&](unsigned k) {
    auto found = keysymOf_.find(k);
    return found != keysymOf_.end() && found->second == keysym;
  });
  const bool remap = it == lru_.end();
  if (remap) it = lru_.begin();
  const unsigned keycode = *it;
  lru_.splice(lru_.end(), lru_, it);
  keysymOf_[keycode] = keysym;
  return Assignment{.keycode = keycode, .remap = remap};
}

std::vector<unsigned> SpareKeycodePool::lentKeycodes() const {
  std::vector<unsigned> out;
  for (const auto& [keycode, keysym] : keysymOf_) out.push_back(keycode);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace ombrel
