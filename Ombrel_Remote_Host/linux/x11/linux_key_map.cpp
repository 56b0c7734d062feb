#include "Ombrel_Remote_Host/linux/x11/linux_key_map.h"

#include <algorithm>
#include <array>
#include <utility>

namespace ombrel::LinuxKeyMap {
namespace {

struct Entry {
  uint16_t usage;
  uint16_t evdev;
};

// Codes from <linux/input-event-codes.h>, following the kernel's own HID keyboard table.
constexpr Entry kTable[] = {
    // a to z
    {0x04, 30},
    {0x05, 48},
    {0x06, 46},
    {0x07, 32},
    {0x08, 18},
    {0x09, 33},
    {0x0A, 34},
    {0x0B, 35},
    {0x0C, 23},
    {0x0D, 36},
    {0x0E, 37},
    {0x0F, 38},
    {0x10, 50},
    {0x11, 49},
    {0x12, 24},
    {0x13, 25},
    {0x14, 16},
    {0x15, 19},
    {0x16, 31},
    {0x17, 20},
    {0x18, 22},
    {0x19, 47},
    {0x1A, 17},
    {0x1B, 45},
    {0x1C, 21},
    {0x1D, 44},
    // 1 to 9, 0
    {0x1E, 2},
    {0x1F, 3},
    {0x20, 4},
    {0x21, 5},
    {0x22, 6},
    {0x23, 7},
    {0x24, 8},
    {0x25, 9},
    {0x26, 10},
    {0x27, 11},
    // return, escape, backspace, tab, space, - = [ ] \ non-US # ; ' ` , . /
    {0x28, 28},
    {0x29, 1},
    {0x2A, 14},
    {0x2B, 15},
    {0x2C, 57},
    {0x2D, 12},
    {0x2E, 13},
    {0x2F, 26},
    {0x30, 27},
    {0x31, 43},
    {0x32, 43},
    {0x33, 39},
    {0x34, 40},
    {0x35, 41},
    {0x36, 51},
    {0x37, 52},
    {0x38, 53},
    // caps lock, F1 to F12
    {0x39, 58},
    {0x3A, 59},
    {0x3B, 60},
    {0x3C, 61},
    {0x3D, 62},
    {0x3E, 63},
    {0x3F, 64},
    {0x40, 65},
    {0x41, 66},
    {0x42, 67},
    {0x43, 68},
    {0x44, 87},
    {0x45, 88},
    // insert, home, page up, delete, end, page down, right, left, down, up
    {0x49, 110},
    {0x4A, 102},
    {0x4B, 104},
    {0x4C, 111},
    {0x4D, 107},
    {0x4E, 109},
    {0x4F, 106},
    {0x50, 105},
    {0x51, 108},
    {0x52, 103},
    // num lock (the Mac's keypad clear), keypad / * - + enter 1-9 0 .
    {0x53, 69},
    {0x54, 98},
    {0x55, 55},
    {0x56, 74},
    {0x57, 78},
    {0x58, 96},
    {0x59, 79},
    {0x5A, 80},
    {0x5B, 81},
    {0x5C, 75},
    {0x5D, 76},
    {0x5E, 77},
    {0x5F, 71},
    {0x60, 72},
    {0x61, 73},
    {0x62, 82},
    {0x63, 83},
    // non-US \ (ISO key), keypad =
    {0x64, 86},
    {0x67, 117},
    // F13 to F20
    {0x68, 183},
    {0x69, 184},
    {0x6A, 185},
    {0x6B, 186},
    {0x6C, 187},
    {0x6D, 188},
    {0x6E, 189},
    {0x6F, 190},
    // mute, volume up, volume down
    {0x7F, 113},
    {0x80, 115},
    {0x81, 114},
    // international 1 (ro), international 3 (yen), lang 1, lang 2
    {0x87, 89},
    {0x89, 124},
    {0x90, 122},
    {0x91, 123},
    // left control, shift, alt, GUI; right control, shift, alt, GUI
    {0xE0, 29},
    {0xE1, 42},
    {0xE2, 56},
    {0xE3, 125},
    {0xE4, 97},
    {0xE5, 54},
    {0xE6, 100},
    {0xE7, 126},
};

constexpr auto kUsages = [] {
  std::array<uint16_t, std::size(kTable)> usages{};
  for (std::size_t i = 0; i < std::size(kTable); ++i) usages[i] = kTable[i].usage;
  std::sort(usages.begin(), usages.end());
  return usages;
}();

}  // namespace

std::optional<uint16_t> evdevCode(uint16_t hidUsage) {
  for (const Entry& e : kTable) {
    if (e.usage == hidUsage) return e.evdev;
  }
  return std::nullopt;
}

std::optional<unsigned> xKeycode(uint16_t hidUsage) {
  if (auto code = evdevCode(hidUsage)) return *code + xKeycodeOffset;
  return std::nullopt;
}

const uint16_t* usagesBegin() { return kUsages.data(); }
const uint16_t* usagesEnd() { return kUsages.data() + kUsages.size(); }

}  // namespace ombrel::LinuxKeyMap
