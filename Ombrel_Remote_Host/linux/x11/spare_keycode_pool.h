#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

namespace ombrel {

// Keycodes that no key of the keyboard map uses, lent out to type characters the keyboard
// has no key for. A keycode keeps its character after it was typed: the receiving client
// looks the keycode up when it gets to the event, so changing it back at once would make the
// client read the wrong character or none. Keycodes are recycled least recently used first.
// Not thread-safe; its sink owns it.
class SpareKeycodePool {
 public:
  struct Assignment {
    unsigned keycode = 0;
    bool remap = false;  // the keyboard map must be changed to give `keycode` the keysym
  };

  explicit SpareKeycodePool(std::vector<unsigned> keycodes = {});

  bool empty() const { return lru_.empty(); }
  std::size_t size() const { return lru_.size(); }

  // The keycode that types `keysym`: the one already lent out for it, else the least
  // recently used one. Nothing when the pool is empty.
  std::optional<Assignment> assign(uint32_t keysym);

  // Keycodes that were given a keysym, to be cleared when the pool's owner goes away.
  std::vector<unsigned> lentKeycodes() const;

 private:
  std::list<unsigned> lru_;  // least recently used first
  std::unordered_map<unsigned, uint32_t> keysymOf_;
};

}  // namespace ombrel
