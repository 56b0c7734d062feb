#include "OmbrelKit/quality_preset.h"

namespace ombrel {
namespace {

struct Row {
  std::string_view raw;
  std::string_view title;
  PixelSize maxSize;
  std::int64_t bitrateKbps;
};

// Indexed by the enum's value.
constexpr std::array<Row, 5> kRows = {{
    {"native", "原生解析度（最高 6K）", {6144, 3456}, 90'000},
    {"uhd4k", "4K 超高畫質", {3840, 2400}, 60'000},
    {"qhd", "2K 高畫質", {2560, 1600}, 30'000},
    {"fhd", "1080p 流暢", {1920, 1200}, 15'000},
    {"saver", "省流量 720p", {1280, 800}, 4'000},
}};

const Row& row(QualityPreset preset) { return kRows[static_cast<std::size_t>(preset)]; }

}  // namespace

std::string_view rawValue(QualityPreset preset) { return row(preset).raw; }

std::optional<QualityPreset> qualityPreset(std::string_view raw) {
  for (auto preset : allQualityPresets) {
    if (rawValue(preset) == raw) return preset;
  }
  return std::nullopt;
}

std::string_view title(QualityPreset preset) { return row(preset).title; }
PixelSize maxSize(QualityPreset preset) { return row(preset).maxSize; }
std::int64_t bitrateKbps(QualityPreset preset) { return row(preset).bitrateKbps; }

}  // namespace ombrel
