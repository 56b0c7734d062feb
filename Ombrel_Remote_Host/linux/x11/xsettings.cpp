#include "Ombrel_Remote_Host/linux/x11/xsettings.h"

namespace ombrel::XSettings {
namespace {

class Reader {
 public:
  Reader(std::span<const uint8_t> data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}

  bool skip(std::size_t n) {
    if (n > data_.size() - pos_) return false;
    pos_ += n;
    return true;
  }
  std::optional<uint32_t> read(std::size_t width) {
    if (width > data_.size() - pos_) return std::nullopt;
    uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const uint32_t byte = data_[pos_ + (bigEndian_ ? i : width - 1 - i)];
      v = (v << 8) | byte;
    }
    pos_ += width;
    return v;
  }
  std::optional<std::string_view> bytes(std::size_t n) {
    if (n > data_.size() - pos_) return std::nullopt;
    std::string_view s(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  std::span<const uint8_t> data_;
  bool bigEndian_;
  std::size_t pos_ = 0;
};

std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

}  // namespace

std::optional<int32_t> integer(std::span<const uint8_t> data, std::string_view name) {
  if (data.size() < 12) return std::nullopt;
  Reader r(data, data[0] != 0);
  r.skip(4);                            // byte order, 3 unused
  if (!r.read(4)) return std::nullopt;  // serial
  const auto count = r.read(4);
  if (!count) return std::nullopt;
  for (uint32_t i = 0; i < *count; ++i) {
    const auto type = r.read(1);
    if (!type || !r.skip(1)) return std::nullopt;
    const auto nameLength = r.read(2);
    if (!nameLength) return std::nullopt;
    const auto settingName = r.bytes(*nameLength);
    if (!settingName || !r.skip(padded(*nameLength) - *nameLength)) return std::nullopt;
    if (!r.read(4)) return std::nullopt;  // last-change serial
    switch (*type) {
      case 0: {  // integer
        const auto value = r.read(4);
        if (!value) return std::nullopt;
        if (*settingName == name) return static_cast<int32_t>(*value);
        break;
      }
      case 1: {  // string
        const auto length = r.read(4);
        if (!length || !r.skip(padded(*length))) return std::nullopt;
        break;
      }
      case 2:  // colour: four 16-bit channels
        if (!r.skip(8)) return std::nullopt;
        break;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace ombrel::XSettings
