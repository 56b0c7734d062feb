#include "OmbrelKit/byte_codec.h"

#include <limits>
#include <stdexcept>

#include "OmbrelKit/nv_error.h"

namespace ombrel {

void ByteWriter::u16(std::uint16_t v) {
  data_.push_back(static_cast<std::uint8_t>(v >> 8));
  data_.push_back(static_cast<std::uint8_t>(v));
}

void ByteWriter::u32(std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    data_.push_back(static_cast<std::uint8_t>(v >> shift));
}

void ByteWriter::u64(std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8)
    data_.push_back(static_cast<std::uint8_t>(v >> shift));
}

void ByteWriter::bytes16(ByteView d) {
  if (d.size() > std::numeric_limits<std::uint16_t>::max()) {
    throw std::length_error("bytes16 block longer than 65535 bytes");
  }
  u16(static_cast<std::uint16_t>(d.size()));
  bytes(d);
}

void ByteWriter::bytes32(ByteView d) {
  if (d.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("bytes32 block longer than 4294967295 bytes");
  }
  u32(static_cast<std::uint32_t>(d.size()));
  bytes(d);
}

std::uint64_t ByteReader::readInteger(std::size_t width) {
  if (remaining() < width) throw NVError::truncated();
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | data_[offset_ + i];
  offset_ += width;
  return value;
}

std::uint8_t ByteReader::u8() { return static_cast<std::uint8_t>(readInteger(1)); }
std::uint16_t ByteReader::u16() { return static_cast<std::uint16_t>(readInteger(2)); }
std::uint32_t ByteReader::u32() { return static_cast<std::uint32_t>(readInteger(4)); }
std::uint64_t ByteReader::u64() { return readInteger(8); }

Bytes ByteReader::bytes(std::int64_t n) {
  if (n < 0 || static_cast<std::uint64_t>(n) > remaining()) throw NVError::truncated();
  auto first = data_.begin() + static_cast<std::ptrdiff_t>(offset_);
  Bytes out(first, first + static_cast<std::ptrdiff_t>(n));
  offset_ += static_cast<std::size_t>(n);
  return out;
}

Bytes ByteReader::bytes16() { return bytes(u16()); }
Bytes ByteReader::bytes32() { return bytes(u32()); }

Bytes ByteReader::rest() { return bytes(static_cast<std::int64_t>(remaining())); }

}  // namespace ombrel
