#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ombrel {

// The quality choices a client offers its user; the raw value doubles as the id.
enum class QualityPreset { native, uhd4k, qhd, fhd, saver };

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const PixelSize&) const = default;
};

inline constexpr std::array<QualityPreset, 5> allQualityPresets = {
    QualityPreset::native, QualityPreset::uhd4k, QualityPreset::qhd, QualityPreset::fhd,
    QualityPreset::saver};

std::string_view rawValue(QualityPreset preset);
std::optional<QualityPreset> qualityPreset(std::string_view raw);
inline std::string_view id(QualityPreset preset) { return rawValue(preset); }
std::string_view title(QualityPreset preset);  // localized, for a picker
PixelSize maxSize(QualityPreset preset);
std::int64_t bitrateKbps(QualityPreset preset);

}  // namespace ombrel
