#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace ombrel {

// Big-endian writer over one growable buffer.
class ByteWriter {
 public:
  explicit ByteWriter(std::size_t capacity = 0) { data_.reserve(capacity); }

  void u8(std::uint8_t v) { data_.push_back(v); }
  void u16(std::uint16_t v);
  void u32(std::uint32_t v);
  void u64(std::uint64_t v);
  void bytes(ByteView d) { data_.insert(data_.end(), d.begin(), d.end()); }
  // Length-prefixed blocks. A block longer than its prefix can express is a caller bug:
  // these throw std::length_error rather than write a prefix that lies about the block.
  void bytes16(ByteView d);
  void bytes32(ByteView d);

  const Bytes& data() const& { return data_; }
  Bytes data() && { return std::move(data_); }

 private:
  Bytes data_;
};

// Big-endian reader over bytes it does not own (the caller keeps them alive). Reads never
// return partial values: a short read throws NVError::truncated and leaves `offset` unchanged
// (bytes16/bytes32 leave it after the length field when only the block is short).
// Every block returned is a fresh buffer.
class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return data_.size() - offset_; }

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::uint64_t u64();
  Bytes bytes(std::int64_t n);
  Bytes bytes16();
  Bytes bytes32();
  Bytes rest();

 private:
  std::uint64_t readInteger(std::size_t width);

  ByteView data_;
  std::size_t offset_ = 0;
};

// Big-endian helpers for fixed buffers (frame headers).
inline std::uint32_t readU32BE(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
         std::uint32_t{p[3]};
}
inline void writeU32BE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace ombrel
