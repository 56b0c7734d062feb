#include "OmbrelKit/mac_key_map.h"

#include <array>

namespace ombrel::MacKeyMap {
namespace {

constexpr Entry kEntries[] = {
    // letters a..z
    {0x04, 0},
    {0x05, 11},
    {0x06, 8},
    {0x07, 2},
    {0x08, 14},
    {0x09, 3},
    {0x0A, 5},
    {0x0B, 4},
    {0x0C, 34},
    {0x0D, 38},
    {0x0E, 40},
    {0x0F, 37},
    {0x10, 46},
    {0x11, 45},
    {0x12, 31},
    {0x13, 35},
    {0x14, 12},
    {0x15, 15},
    {0x16, 1},
    {0x17, 17},
    {0x18, 32},
    {0x19, 9},
    {0x1A, 13},
    {0x1B, 7},
    {0x1C, 16},
    {0x1D, 6},
    // digits 1..9, 0
    {0x1E, 18},
    {0x1F, 19},
    {0x20, 20},
    {0x21, 21},
    {0x22, 23},
    {0x23, 22},
    {0x24, 26},
    {0x25, 28},
    {0x26, 25},
    {0x27, 29},
    // everything else
    {0x28, 36},
    {0x29, 53},
    {0x2A, 51},
    {0x2B, 48},
    {0x2C, 49},
    {0x2D, 27},
    {0x2E, 24},
    {0x2F, 33},
    {0x30, 30},
    {0x31, 42},
    {0x32, 42},
    {0x33, 41},
    {0x34, 39},
    {0x35, 50},
    {0x36, 43},
    {0x37, 47},
    {0x38, 44},
    {0x39, 57},
    {0x3A, 122},
    {0x3B, 120},
    {0x3C, 99},
    {0x3D, 118},
    {0x3E, 96},
    {0x3F, 97},
    {0x40, 98},
    {0x41, 100},
    {0x42, 101},
    {0x43, 109},
    {0x44, 103},
    {0x45, 111},
    {0x49, 114},
    {0x4A, 115},
    {0x4B, 116},
    {0x4C, 117},
    {0x4D, 119},
    {0x4E, 121},
    {0x4F, 124},
    {0x50, 123},
    {0x51, 125},
    {0x52, 126},
    {0x53, 71},
    {0x54, 75},
    {0x55, 67},
    {0x56, 78},
    {0x57, 69},
    {0x58, 76},
    {0x59, 83},
    {0x5A, 84},
    {0x5B, 85},
    {0x5C, 86},
    {0x5D, 87},
    {0x5E, 88},
    {0x5F, 89},
    {0x60, 91},
    {0x61, 92},
    {0x62, 82},
    {0x63, 65},
    {0x67, 81},
    {0x64, 10},
    {0x68, 105},
    {0x69, 107},
    {0x6A, 113},
    {0x6B, 106},
    {0x6C, 64},
    {0x6D, 79},
    {0x6E, 80},
    {0x6F, 90},
    {0x7F, 74},
    {0x80, 72},
    {0x81, 73},
    {0x87, 94},
    {0x89, 93},
    {0x90, 104},
    {0x91, 102},
    {0xE0, 59},
    {0xE1, 56},
    {0xE2, 58},
    {0xE3, 55},
    {0xE4, 62},
    {0xE5, 60},
    {0xE6, 61},
    {0xE7, 54},
};
static_assert(std::size(kEntries) == 118);

}  // namespace

std::span<const Entry> entries() { return kEntries; }

std::optional<std::uint16_t> virtualKey(std::uint16_t hid) {
  // Every listed usage is below 256; -1 marks a usage without a key.
  static const std::array<std::int32_t, 256> byUsage = [] {
    std::array<std::int32_t, 256> table;
    table.fill(-1);
    for (const auto& entry : kEntries) table[entry.hid] = entry.virtualKey;
    return table;
  }();
  if (hid >= byUsage.size() || byUsage[hid] < 0) return std::nullopt;
  return static_cast<std::uint16_t>(byUsage[hid]);
}

}  // namespace ombrel::MacKeyMap
